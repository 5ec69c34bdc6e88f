// The SNMP engine's message codec: BER encoding and decoding of SNMPv1 and
// SNMPv2c messages (GET, GET-NEXT, Response, InformRequest, SNMPv2-Trap), and
// the texts and codes the agent gives to values. Decoding reads datagrams
// from anywhere on the network: every length is checked against the bytes
// that are left, nesting is fixed by the message's shape, and sizes are
// bounded, so a malformed datagram is refused with a reason, never walked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "corelib/corelib_api.h"

namespace snmp {

// BER tags of the PDUs and values that the engine knows.
enum PduType : uint8_t {
  kGet = 0xA0,
  kGetNext = 0xA1,
  kResponse = 0xA2,
  kSet = 0xA3,
  kTrapV1 = 0xA4,
  kGetBulk = 0xA5,
  kInform = 0xA6,
  kTrapV2 = 0xA7,
  kReport = 0xA8,
};

enum ValueTag : uint8_t {
  kInteger = 0x02,
  kBitString = 0x03,
  kOctetString = 0x04,
  kNull = 0x05,
  kObjectId = 0x06,
  kIpAddress = 0x40,
  kCounter32 = 0x41,
  kGauge32 = 0x42,
  kTimeTicks = 0x43,
  kOpaque = 0x44,
  kNsapAddress = 0x45,
  kCounter64 = 0x46,
  kUInteger32 = 0x47,
  kNoSuchObject = 0x80,
  kNoSuchInstance = 0x81,
  kEndOfMibView = 0x82,
};

// Message versions as carried on the wire.
constexpr int32_t kWireV1 = 0;
constexpr int32_t kWireV2c = 1;

// Largest datagram the engine sends or receives.
constexpr size_t kMaxMessage = 65535;
// An OID of more sub-identifiers than this is refused (as the protocol allows).
constexpr size_t kMaxOidLength = 128;

using Oid = std::vector<uint32_t>;

struct Value {
  uint8_t tag = kNull;
  int64_t integer = 0;  // INTEGER
  uint64_t number = 0;  // Counter32, Gauge32, TimeTicks, UInteger32, Counter64
  std::string bytes;    // OCTET STRING, BITS, Opaque, IpAddress, NsapAddress
  Oid oid;              // OBJECT IDENTIFIER
};

struct VarBind {
  Oid name;
  Value value;
};

struct Message {
  int32_t version = kWireV2c;
  std::string community;
  uint8_t pduType = kGet;
  int32_t requestId = 0;
  int32_t errorStatus = 0;
  int32_t errorIndex = 0;
  std::vector<VarBind> bindings;
};

enum class DecodeResult {
  kOk,
  kMalformed,    // not a well-formed message: drop it
  kBadBindings,  // message and PDU header well formed, the variable bindings not
};

// Encodes `m` into `out` (replaced). False when it does not fit in a datagram
// or holds an OID that cannot be encoded.
CORELIB_API bool EncodeMessage(const Message& m, std::vector<uint8_t>& out);
// Decodes one datagram. On kBadBindings the header fields of `m` are set and
// its bindings are empty. `why`, when given, receives the reason of a refusal.
CORELIB_API DecodeResult DecodeMessage(const uint8_t* data, size_t size, Message& m,
                                       std::string* why = nullptr);

// Dotted text without a leading dot (one is accepted on input). ParseOid is
// false for an empty text, an empty or non-numeric sub-identifier, a
// sub-identifier past 32 bits, and OIDs the protocol cannot carry (fewer than
// two sub-identifiers, a first one above 2, a second one above 39 under 0 or
// 1, more than kMaxOidLength).
CORELIB_API bool ParseOid(const std::string& text, Oid& out);
CORELIB_API std::string OidToText(const Oid& oid);
// Whether `oid` lies inside the subtree `prefix` (on a sub-identifier
// boundary: 1.2.20 is not in 1.2.2).
CORELIB_API bool OidInSubtree(const Oid& oid, const Oid& prefix);
// -1, 0 or 1 by the protocol's lexicographic order.
CORELIB_API int CompareOid(const Oid& a, const Oid& b);

// The agent's syntax code of a value (9 INTEGER32, 8 OCTET STRING, 14
// Counter32, ..., 19 anything else, endOfMibView included).
CORELIB_API int SyntaxCode(uint8_t tag);
// The value as the results show it; an empty OCTET STRING is one blank.
CORELIB_API std::string ValueText(const Value& v);

// Optional limits of one requested OID.
struct Limits {
  bool set = false;
  int32_t min = 0;
  int32_t max = 0;
};
// Status (0 within, 2 out of limits or no such object/instance/end of view)
// and its message for the value of `oidText`.
CORELIB_API uint32_t RetStatus(const Value& v, const std::string& oidText, const Limits& limits,
                               std::string& message);

// Texts of a Response's error-status and of the engine's error codes.
CORELIB_API const char* PduErrorText(int32_t errorStatus);
CORELIB_API const char* ApiErrorText(int32_t code);

}  // namespace snmp
