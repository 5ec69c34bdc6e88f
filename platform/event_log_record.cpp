#include "platform/event_log_record.h"

#include <cstdio>

#include "platform/raw_layout.h"
#include "platform/utf16.h"

namespace event_log_record {

namespace {

bool Fail(std::string* reason, const char* why) {
  if (reason) *reason = why;
  return false;
}

// A zero-terminated UTF-16LE string starting at `at` and ending before `end`;
// `next` is the offset after its terminator.
bool ReadWide(const uint8_t* bytes, size_t at, size_t end, std::string& out, size_t& next) {
  std::u16string wide;
  for (size_t p = at; p + 2 <= end; p += 2) {
    const char16_t c = static_cast<char16_t>(ReadLittleEndian<uint16_t>(bytes + p));
    if (c == 0) {
      out = platform::utf16_to_utf8(wide.data(), wide.size());
      next = p + 2;
      return true;
    }
    wide.push_back(c);
  }
  return false;
}

// Whether [offset, offset + length) lies within the first `limit` bytes.
bool Within(uint64_t offset, uint64_t length, uint64_t limit) {
  return offset <= limit && length <= limit - offset;
}

}  // namespace

bool Parse(const uint8_t* bytes, size_t size, EventLogRecord& out, std::string* reason) {
  if (!bytes || size < kHeaderSize) return Fail(reason, "shorter than a record header");
  EventLogRecord r;
  r.length = ReadLittleEndian<uint32_t>(bytes);
  if (r.length < kHeaderSize) return Fail(reason, "record length below the header");
  if (r.length > size) return Fail(reason, "record length beyond the bytes read");
  if (ReadLittleEndian<uint32_t>(bytes + 4) != kSignature) return Fail(reason, "no record signature");
  r.recordNumber = ReadLittleEndian<uint32_t>(bytes + 8);
  r.timeGenerated = ReadLittleEndian<uint32_t>(bytes + 12);
  r.timeWritten = ReadLittleEndian<uint32_t>(bytes + 16);
  r.eventID = ReadLittleEndian<uint32_t>(bytes + 20);
  r.eventType = ReadLittleEndian<uint16_t>(bytes + 24);
  const uint16_t numStrings = ReadLittleEndian<uint16_t>(bytes + 26);
  r.eventCategory = ReadLittleEndian<uint16_t>(bytes + 28);
  const uint32_t stringOffset = ReadLittleEndian<uint32_t>(bytes + 36);
  const uint32_t sidLength = ReadLittleEndian<uint32_t>(bytes + 40);
  const uint32_t sidOffset = ReadLittleEndian<uint32_t>(bytes + 44);
  const uint32_t dataLength = ReadLittleEndian<uint32_t>(bytes + 48);
  const uint32_t dataOffset = ReadLittleEndian<uint32_t>(bytes + 52);
  const size_t end = r.length;

  size_t next = 0;
  if (!ReadWide(bytes, kHeaderSize, end, r.sourceName, next)) return Fail(reason, "source name not ended");
  if (!ReadWide(bytes, next, end, r.computerName, next)) return Fail(reason, "computer name not ended");

  if (sidLength != 0) {
    if (!Within(sidOffset, sidLength, end)) return Fail(reason, "SID outside the record");
    // Revision, sub-authority count, 6 authority bytes, 4 bytes per sub-authority.
    if (sidLength < 8) return Fail(reason, "SID shorter than its head");
    const uint8_t subCount = bytes[sidOffset + 1];
    if (8u + 4u * subCount > sidLength) return Fail(reason, "SID sub-authorities beyond its length");
    r.sid.assign(bytes + sidOffset, bytes + sidOffset + 8 + 4 * subCount);
  }

  if (numStrings != 0) {
    if (stringOffset >= end) return Fail(reason, "strings outside the record");
    size_t at = stringOffset;
    for (uint16_t i = 0; i < numStrings; ++i) {
      std::string s;
      if (!ReadWide(bytes, at, end, s, at)) return Fail(reason, "insertion string not ended");
      r.strings.push_back(std::move(s));
    }
    r.stringsBytes = static_cast<uint32_t>(at - stringOffset);
  }

  if (dataLength != 0) {
    if (!Within(dataOffset, dataLength, end)) return Fail(reason, "data outside the record");
    r.data.assign(bytes + dataOffset, bytes + dataOffset + dataLength);
  }
  out = std::move(r);
  return true;
}

std::string SidText(const std::vector<uint8_t>& sid) {
  if (sid.size() < 8) return std::string();
  const uint8_t subCount = sid[1];
  if (sid.size() < 8u + 4u * subCount) return std::string();
  const uint8_t* a = sid.data() + 2;  // the authority, big-endian
  char part[64];
  std::string text = "S-1-";
  if (a[0] != 0 || a[1] != 0) {
    snprintf(part, sizeof part, "0x%02hx%02hx%02hx%02hx%02hx%02hx", static_cast<unsigned short>(a[0]),
             static_cast<unsigned short>(a[1]), static_cast<unsigned short>(a[2]),
             static_cast<unsigned short>(a[3]), static_cast<unsigned short>(a[4]),
             static_cast<unsigned short>(a[5]));
  } else {
    const uint32_t value = (static_cast<uint32_t>(a[2]) << 24) | (static_cast<uint32_t>(a[3]) << 16) |
                           (static_cast<uint32_t>(a[4]) << 8) | a[5];
    snprintf(part, sizeof part, "%u", value);
  }
  text += part;
  for (uint8_t i = 0; i < subCount; ++i) {
    snprintf(part, sizeof part, "-%u", ReadLittleEndian<uint32_t>(sid.data() + 8 + 4 * i));
    text += part;
  }
  return text;
}

uint32_t MappedType(uint16_t eventType) {
  switch (eventType) {
    case 0: return 1;
    case 1: return 2;
    case 2: return 3;
    case 4: return 4;
    case 8: return 5;
    case 16: return 6;
    default: return 0;
  }
}

std::string DataText(const std::vector<uint8_t>& data, size_t limit) {
  std::string text;
  char part[8];
  for (uint8_t b : data) {
    if (text.size() >= limit) break;
    snprintf(part, sizeof part, "%.2x ", b);
    text += part;
  }
  if (text.size() > limit) text.resize(limit);
  return text;
}

std::string CutCharacters(const std::string& utf8, size_t limit) {
  size_t count = 0;
  for (size_t i = 0; i < utf8.size(); ++i) {
    // A character begins at every byte that is no continuation byte.
    if ((static_cast<uint8_t>(utf8[i]) & 0xC0) != 0x80) {
      if (count == limit) return utf8.substr(0, i);
      ++count;
    }
  }
  return utf8;
}

}  // namespace event_log_record
