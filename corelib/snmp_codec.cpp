#include "corelib/snmp_codec.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace snmp {

namespace {

constexpr uint8_t kSequence = 0x30;

// ---- encoding ----

void PutLength(std::vector<uint8_t>& out, size_t length) {
  if (length < 0x80) {
    out.push_back(static_cast<uint8_t>(length));
    return;
  }
  uint8_t bytes[4];
  int n = 0;
  for (size_t l = length; l != 0; l >>= 8) bytes[n++] = static_cast<uint8_t>(l & 0xFF);
  out.push_back(static_cast<uint8_t>(0x80 | n));
  while (n > 0) out.push_back(bytes[--n]);
}

// A constructed value whose length is filled in when it ends.
size_t Begin(std::vector<uint8_t>& out, uint8_t tag) {
  out.push_back(tag);
  out.push_back(0);
  return out.size();
}

void End(std::vector<uint8_t>& out, size_t start) {
  const size_t length = out.size() - start;
  if (length < 0x80) {
    out[start - 1] = static_cast<uint8_t>(length);
    return;
  }
  std::vector<uint8_t> prefix;
  PutLength(prefix, length);
  out[start - 1] = prefix[0];
  out.insert(out.begin() + static_cast<std::ptrdiff_t>(start), prefix.begin() + 1, prefix.end());
}

void PutSigned(std::vector<uint8_t>& out, uint8_t tag, int64_t v) {
  uint8_t bytes[8];
  int n = 0;
  // Minimal two's-complement: drop leading bytes that only repeat the sign.
  for (int i = 7; i >= 0; --i) bytes[n++] = static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i));
  int first = 0;
  while (first < 7 && ((bytes[first] == 0x00 && !(bytes[first + 1] & 0x80)) ||
                       (bytes[first] == 0xFF && (bytes[first + 1] & 0x80))))
    ++first;
  out.push_back(tag);
  PutLength(out, static_cast<size_t>(8 - first));
  out.insert(out.end(), bytes + first, bytes + 8);
}

void PutUnsigned(std::vector<uint8_t>& out, uint8_t tag, uint64_t v) {
  uint8_t bytes[9];
  int n = 0;
  bytes[n++] = 0;
  for (int i = 7; i >= 0; --i) bytes[n++] = static_cast<uint8_t>(v >> (8 * i));
  int first = 0;
  while (first < 8 && bytes[first] == 0 && !(bytes[first + 1] & 0x80)) ++first;
  out.push_back(tag);
  PutLength(out, static_cast<size_t>(9 - first));
  out.insert(out.end(), bytes + first, bytes + 9);
}

void PutBytes(std::vector<uint8_t>& out, uint8_t tag, const std::string& bytes) {
  out.push_back(tag);
  PutLength(out, bytes.size());
  out.insert(out.end(), bytes.begin(), bytes.end());
}

void PutSubId(std::vector<uint8_t>& out, uint64_t v) {
  uint8_t bytes[10];
  int n = 0;
  do {
    bytes[n++] = static_cast<uint8_t>(v & 0x7F);
    v >>= 7;
  } while (v != 0);
  while (n > 1) out.push_back(static_cast<uint8_t>(bytes[--n] | 0x80));
  out.push_back(bytes[0]);
}

bool Encodable(const Oid& oid) {
  if (oid.size() < 2 || oid.size() > kMaxOidLength) return false;
  if (oid[0] > 2) return false;
  return oid[0] == 2 || oid[1] < 40;
}

bool PutOid(std::vector<uint8_t>& out, uint8_t tag, const Oid& oid) {
  if (!Encodable(oid)) return false;
  size_t start = Begin(out, tag);
  PutSubId(out, static_cast<uint64_t>(oid[0]) * 40 + oid[1]);
  for (size_t i = 2; i < oid.size(); ++i) PutSubId(out, oid[i]);
  End(out, start);
  return true;
}

bool PutValue(std::vector<uint8_t>& out, const Value& v) {
  switch (v.tag) {
    case kInteger: PutSigned(out, v.tag, v.integer); return true;
    case kCounter32:
    case kGauge32:
    case kTimeTicks:
    case kUInteger32: PutUnsigned(out, v.tag, v.number & 0xFFFFFFFFu); return true;
    case kCounter64: PutUnsigned(out, v.tag, v.number); return true;
    case kObjectId: return PutOid(out, v.tag, v.oid);
    case kNull:
    case kNoSuchObject:
    case kNoSuchInstance:
    case kEndOfMibView:
      out.push_back(v.tag);
      out.push_back(0);
      return true;
    default: PutBytes(out, v.tag, v.bytes); return true;
  }
}

// ---- decoding ----

// A window on the datagram; every read checks what is left.
struct Reader {
  const uint8_t* p;
  size_t left;
  const char* why = nullptr;

  bool Fail(const char* reason) {
    if (!why) why = reason;
    return false;
  }

  // Tag and length of the next element; `body` is a reader over its contents.
  bool Element(uint8_t& tag, Reader& body) {
    if (left < 2) return Fail("truncated element");
    tag = p[0];
    if ((tag & 0x1F) == 0x1F) return Fail("multi-byte tag");
    size_t length = p[1];
    size_t header = 2;
    if (length & 0x80) {
      const size_t n = length & 0x7F;
      if (n == 0 || n > 4) return Fail("unsupported length form");
      if (left < 2 + n) return Fail("truncated length");
      length = 0;
      for (size_t i = 0; i < n; ++i) length = (length << 8) | p[2 + i];
      header += n;
    }
    if (length > left - header) return Fail("length past the end");
    body = Reader{p + header, length};
    p += header + length;
    left -= header + length;
    return true;
  }

  bool Expect(uint8_t want, Reader& body) {
    uint8_t tag;
    if (!Element(tag, body)) return false;
    if (tag != want) return Fail("unexpected tag");
    return true;
  }
};

bool ReadSigned(const Reader& r, int64_t& out, size_t maxBytes) {
  if (r.left == 0 || r.left > maxBytes) return false;
  uint64_t v = (r.p[0] & 0x80) ? ~uint64_t(0) : 0;
  for (size_t i = 0; i < r.left; ++i) v = (v << 8) | r.p[i];
  out = static_cast<int64_t>(v);
  return true;
}

bool ReadInt32(Reader& r, int32_t& out) {
  Reader body{nullptr, 0};
  int64_t v;
  if (!r.Expect(kInteger, body)) return false;
  if (!ReadSigned(body, v, 4)) return r.Fail("bad integer");
  out = static_cast<int32_t>(v);
  return true;
}

bool ReadUnsigned(const Reader& r, uint64_t& out) {
  if (r.left == 0 || r.left > 9) return false;
  if (r.left == 9 && r.p[0] != 0) return false;
  uint64_t v = 0;
  for (size_t i = 0; i < r.left; ++i) v = (v << 8) | r.p[i];
  out = v;
  return true;
}

bool ReadOid(const Reader& r, Oid& out) {
  out.clear();
  if (r.left == 0) return false;
  uint64_t v = 0;
  size_t digits = 0;
  for (size_t i = 0; i < r.left; ++i) {
    if (digits == 0 && r.p[i] == 0x80) return false;  // no padding
    v = (v << 7) | (r.p[i] & 0x7F);
    if (++digits > 5) return false;
    if (r.p[i] & 0x80) continue;
    if (out.empty()) {
      const uint64_t first = v < 40 ? 0 : v < 80 ? 1 : 2;
      const uint64_t second = v - first * 40;
      if (second > 0xFFFFFFFFu) return false;
      out.push_back(static_cast<uint32_t>(first));
      out.push_back(static_cast<uint32_t>(second));
    } else {
      if (v > 0xFFFFFFFFu) return false;
      out.push_back(static_cast<uint32_t>(v));
    }
    if (out.size() > kMaxOidLength) return false;
    v = 0;
    digits = 0;
  }
  return digits == 0;  // the last sub-identifier ended
}

bool ReadValue(uint8_t tag, const Reader& body, Value& v) {
  v = Value();
  v.tag = tag;
  switch (tag) {
    case kInteger: return ReadSigned(body, v.integer, 8);
    case kCounter32:
    case kGauge32:
    case kTimeTicks:
    case kUInteger32:
      if (!ReadUnsigned(body, v.number)) return false;
      return v.number <= 0xFFFFFFFFu;
    case kCounter64: return ReadUnsigned(body, v.number);
    case kObjectId: return ReadOid(body, v.oid);
    case kNull:
    case kNoSuchObject:
    case kNoSuchInstance:
    case kEndOfMibView: return body.left == 0;
    default:
      // Strings and any other primitive: keep the bytes.
      if (tag & 0x20) return false;  // constructed values are not SNMP values
      v.bytes.assign(reinterpret_cast<const char*>(body.p), body.left);
      return true;
  }
}

bool ReadBindings(Reader& list, std::vector<VarBind>& out) {
  while (list.left > 0) {
    Reader bind{nullptr, 0}, name{nullptr, 0}, value{nullptr, 0};
    if (!list.Expect(kSequence, bind)) return false;
    VarBind vb;
    if (!bind.Expect(kObjectId, name)) return false;
    if (!ReadOid(name, vb.name)) return list.Fail("bad name");
    uint8_t tag;
    if (!bind.Element(tag, value)) return list.Fail(bind.why);
    if (bind.left != 0) return list.Fail("trailing bytes in a binding");
    if (!ReadValue(tag, value, vb.value)) return list.Fail("bad value");
    out.push_back(std::move(vb));
  }
  return true;
}

void AppendHex(std::string& out, uint8_t b) {
  static const char kDigits[] = "0123456789ABCDEF";
  out.push_back(kDigits[b >> 4]);
  out.push_back(kDigits[b & 0xF]);
}

}  // namespace

bool EncodeMessage(const Message& m, std::vector<uint8_t>& out) {
  out.clear();
  out.reserve(64 + m.community.size() + m.bindings.size() * 32);
  size_t message = Begin(out, kSequence);
  PutSigned(out, kInteger, m.version);
  PutBytes(out, kOctetString, m.community);
  size_t pdu = Begin(out, m.pduType);
  PutSigned(out, kInteger, m.requestId);
  PutSigned(out, kInteger, m.errorStatus);
  PutSigned(out, kInteger, m.errorIndex);
  size_t list = Begin(out, kSequence);
  for (const VarBind& vb : m.bindings) {
    size_t bind = Begin(out, kSequence);
    if (!PutOid(out, kObjectId, vb.name) || !PutValue(out, vb.value)) return false;
    End(out, bind);
  }
  End(out, list);
  End(out, pdu);
  End(out, message);
  return out.size() <= kMaxMessage;
}

DecodeResult DecodeMessage(const uint8_t* data, size_t size, Message& m, std::string* why) {
  m = Message();
  auto refuse = [why](const char* reason, DecodeResult result) {
    if (why) *why = reason ? reason : "malformed";
    return result;
  };
  if (!data || size == 0) return refuse("empty datagram", DecodeResult::kMalformed);
  if (size > kMaxMessage) return refuse("datagram too large", DecodeResult::kMalformed);
  Reader all{data, size};
  Reader msg{nullptr, 0};
  if (!all.Expect(kSequence, msg)) return refuse(all.why, DecodeResult::kMalformed);
  if (all.left != 0) return refuse("bytes after the message", DecodeResult::kMalformed);
  if (!ReadInt32(msg, m.version)) return refuse(msg.why, DecodeResult::kMalformed);
  if (m.version != kWireV1 && m.version != kWireV2c)
    return refuse("unsupported version", DecodeResult::kMalformed);
  Reader community{nullptr, 0};
  if (!msg.Expect(kOctetString, community)) return refuse(msg.why, DecodeResult::kMalformed);
  m.community.assign(reinterpret_cast<const char*>(community.p), community.left);
  Reader pdu{nullptr, 0};
  if (!msg.Element(m.pduType, pdu)) return refuse(msg.why, DecodeResult::kMalformed);
  if (msg.left != 0) return refuse("bytes after the PDU", DecodeResult::kMalformed);
  switch (m.pduType) {
    case kGet:
    case kGetNext:
    case kResponse:
    case kSet:
    case kGetBulk:
    case kInform:
    case kTrapV2:
    case kReport: break;
    case kTrapV1: return DecodeResult::kOk;  // its layout differs; nobody here reads it
    default: return refuse("unknown PDU type", DecodeResult::kMalformed);
  }
  if (!ReadInt32(pdu, m.requestId) || !ReadInt32(pdu, m.errorStatus) || !ReadInt32(pdu, m.errorIndex))
    return refuse(pdu.why, DecodeResult::kMalformed);
  Reader list{nullptr, 0};
  if (!pdu.Expect(kSequence, list)) return refuse(pdu.why, DecodeResult::kMalformed);
  if (pdu.left != 0) return refuse("bytes after the bindings", DecodeResult::kMalformed);
  if (!ReadBindings(list, m.bindings)) {
    m.bindings.clear();
    return refuse(list.why ? list.why : "bad binding", DecodeResult::kBadBindings);
  }
  return DecodeResult::kOk;
}

bool ParseOid(const std::string& text, Oid& out) {
  out.clear();
  size_t i = 0;
  if (!text.empty() && text[0] == '.') i = 1;
  if (i >= text.size()) return false;
  while (i <= text.size()) {
    size_t end = text.find('.', i);
    if (end == std::string::npos) end = text.size();
    if (end == i) return false;
    uint64_t v = 0;
    for (size_t k = i; k < end; ++k) {
      if (text[k] < '0' || text[k] > '9') return false;
      v = v * 10 + static_cast<uint64_t>(text[k] - '0');
      if (v > 0xFFFFFFFFu) return false;
    }
    out.push_back(static_cast<uint32_t>(v));
    if (out.size() > kMaxOidLength) return false;
    i = end + 1;
  }
  return true;
}

std::string OidToText(const Oid& oid) {
  std::string text;
  char buf[16];
  for (size_t i = 0; i < oid.size(); ++i) {
    snprintf(buf, sizeof buf, i == 0 ? "%u" : ".%u", oid[i]);
    text += buf;
  }
  return text;
}

bool OidInSubtree(const Oid& oid, const Oid& prefix) {
  if (oid.size() < prefix.size()) return false;
  return std::equal(prefix.begin(), prefix.end(), oid.begin());
}

int CompareOid(const Oid& a, const Oid& b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i)
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}

int SyntaxCode(uint8_t tag) {
  switch (tag) {
    case kInteger: return 9;
    case kBitString: return 10;
    case kOctetString: return 8;
    case kNull: return 18;
    case kObjectId: return 11;
    case kIpAddress: return 16;
    case kCounter32: return 14;
    case kGauge32: return 13;
    case kTimeTicks: return 12;
    case kOpaque: return 7;
    case kNsapAddress: return 17;
    case kCounter64: return 3;
    case kUInteger32: return 15;
    case kNoSuchObject: return 20;
    case kNoSuchInstance: return 21;
    default: return 19;
  }
}

std::string ValueText(const Value& v) {
  char buf[32];
  switch (v.tag) {
    case kInteger: snprintf(buf, sizeof buf, "%" PRId64, v.integer); return buf;
    case kCounter32:
    case kGauge32:
    case kTimeTicks:
    case kUInteger32:
    case kCounter64: snprintf(buf, sizeof buf, "%" PRIu64, v.number); return buf;
    case kOctetString:
    case kBitString:
    case kOpaque: {
      if (v.bytes.empty()) return " ";
      std::string text;
      text.reserve(v.bytes.size());
      for (char c : v.bytes) {
        const auto b = static_cast<uint8_t>(c);
        if (b == '\r' || b == '\n' || (b >= 0x20 && b <= 0x7E))
          text.push_back(c);
        else
          AppendHex(text, b);
      }
      return text;
    }
    case kIpAddress:
    case kNsapAddress: {
      std::string text;
      for (size_t i = 0; i < v.bytes.size(); ++i) {
        snprintf(buf, sizeof buf, i == 0 ? "%u" : ".%u",
                 static_cast<unsigned>(static_cast<uint8_t>(v.bytes[i])));
        text += buf;
      }
      return text;
    }
    case kObjectId: return OidToText(v.oid);
    case kNull: return "null";
    case kNoSuchObject: return "no such object";
    case kNoSuchInstance: return "no such instance";
    case kEndOfMibView: return "end of mib";
    default: return "Unknown Type";
  }
}

uint32_t RetStatus(const Value& v, const std::string& oidText, const Limits& limits, std::string& message) {
  // The OID text is joined whole: a name of 128 sub-identifiers runs past any fixed buffer.
  switch (v.tag) {
    case kNoSuchObject: message = "OID: " + oidText + " no such object"; return 2;
    case kNoSuchInstance: message = "OID: " + oidText + " no such instance"; return 2;
    case kEndOfMibView: message = "OID: " + oidText + " end of MIB view"; return 2;
    default: break;
  }
  if (limits.set) {
    char tail[160];
    if (v.tag == kInteger) {
      if (v.integer < limits.min || v.integer > limits.max) {
        snprintf(tail, sizeof tail, "\nValue:     %" PRId64 "\nMin Value: %d\nMax Value: %d\n", v.integer,
                 limits.min, limits.max);
        message = "OID:       " + oidText + tail;
        return 2;
      }
    } else if (v.tag == kCounter32 || v.tag == kGauge32 || v.tag == kTimeTicks || v.tag == kUInteger32 ||
               v.tag == kCounter64) {
      // Compared as numbers: an unsigned value is never below a negative minimum.
      const bool below = limits.min > 0 && v.number < static_cast<uint64_t>(limits.min);
      const bool above = limits.max < 0 || v.number > static_cast<uint64_t>(limits.max);
      if (below || above) {
        snprintf(tail, sizeof tail,
                 v.tag == kCounter64 ? "\nValue:     %" PRIu64 "\nMin Value: %d\nMax Value: %d\n"
                                     : "\nValue:     %" PRIu64 "\nMin value: %d\nMax Value: %d\n",
                 v.number, limits.min, limits.max);
        message = "OID:       " + oidText + tail;
        return 2;
      }
    }
  }
  message = "OID: " + oidText + " the result is available.\n";
  return 0;
}

const char* PduErrorText(int32_t errorStatus) {
  static const char* const kTexts[] = {
      "No errors occurred during transmission.",
      "The agent could not place the results of the requested SNMP operation into a single SNMP message.",
      "The requested SNMP operation identified an unknown variable.",
      "The requested SNMP operation tried to change a variable but it specified either a syntax or value "
      "error.",
      "The requested SNMP operation tried to change a variable that was not allowed to change, according to "
      "the "
      "community profile of the variable.",
      "An unknown error occurred during the requested SNMP operation.",
      "The specified SNMP variable is not accessible.",
      "The value specifies a type that is inconsistent with the type required for the variable.",
      "The value specifies a length that is inconsistent with the length required for the variable.",
      "The value contains an Abstract Syntax Notation One (ASN.1) encoding that is inconsistent with the "
      "ASN.1 tag "
      "of the field.",
      "The value cannot be assigned to the variable.",
      "The variable does not exist, and the agent cannot create it.",
      "The value is inconsistent with values of other managed objects.",
      "Assigning the value to the variable requires allocation of resources that are currently unavailable.",
      "No validation errors occurred, but no variables were updated.",
      "No validation errors occurred. Some variables were updated because it was not possible to undo their "
      "assignment.",
      "An authorization error occurred.",
      "The variable exists but the agent cannot modify it.",
      "The variable does not exist; the agent cannot create it because the named object instance is "
      "inconsistent "
      "with the values of other managed objects.",
  };
  if (errorStatus < 0 || errorStatus >= static_cast<int32_t>(sizeof kTexts / sizeof kTexts[0]))
    return "Unknown Error";
  return kTexts[errorStatus];
}

const char* ApiErrorText(int32_t code) {
  switch (code) {
    case 2: return "Error allocating memory";
    case 3: return "Invalid context parameter";
    case 4: return "Unknown context parameter";
    case 5: return "Invalid entity parameter";
    case 6: return "Unknown entity parameter";
    case 7: return "Invalid VBL index parameter";
    case 8: return "No operation performed";
    case 9: return "Invalid OID parameter";
    case 10: return "Invalid/unsupported operation";
    case 11: return "Insufficient output buf len";
    case 12: return "Invalid PDU parameter";
    case 13: return "Invalid session parameter";
    case 14: return "Invalid syntax in smiVALUE";
    case 15: return "Invalid VBL parameter";
    case 16: return "Invalid mode parameter";
    case 17: return "Invalid size/length parameter";
    case 18: return "SnmpStartup failed/not called";
    case 19: return "Invalid SNMP message format";
    case 20: return "Invalid Window handle";
    case 100: return "TL not initialized";
    case 101: return "TL does not support protocol";
    case 102: return "Network subsystem has failed";
    case 103: return "TL resource error";
    case 104: return "Destination unreachable";
    case 105: return "Source endpoint invalid";
    case 106: return "Input parameter invalid";
    case 107: return "Source endpoint in use";
    case 108: return "No response before timeout";
    case 109: return "PDU too big for send/receive";
    case 199: return "Undefined TL error";
    default: return "Unknown Error";
  }
}

}  // namespace snmp
