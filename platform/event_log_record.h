// An event log record as the system's read hands it over, taken apart. The
// bytes may come from another machine's log, so every offset and length is
// checked against the record's own length and the bytes read before anything
// is looked at.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct EventLogRecord {
  uint32_t length = 0;
  uint32_t recordNumber = 0;
  uint32_t timeGenerated = 0;  // seconds since 1970 UTC
  uint32_t timeWritten = 0;
  uint32_t eventID = 0;
  uint16_t eventType = 0;
  uint16_t eventCategory = 0;
  std::string sourceName;  // UTF-8
  std::string computerName;
  std::vector<uint8_t> sid;  // empty when the record has none
  std::vector<std::string> strings;
  uint32_t stringsBytes = 0;  // the insertion strings' bytes, terminators included
  std::vector<uint8_t> data;
};

namespace event_log_record {

// The fixed part before the source name.
constexpr size_t kHeaderSize = 56;
constexpr uint32_t kSignature = 0x654c664c;  // "LfLe"

// False with a reason when the bytes are no well-formed record: `bytes` is
// what the read returned (`size` of them).
bool Parse(const uint8_t* bytes, size_t size, EventLogRecord& out, std::string* reason = nullptr);

// "S-1-<authority>-<sub>..."; empty when `sid` is no well-formed SID.
std::string SidText(const std::vector<uint8_t>& sid);

// The result type of a record type: 0 -> 1, 1 -> 2, 2 -> 3, 4 -> 4, 8 -> 5,
// 16 -> 6, anything else 0.
uint32_t MappedType(uint16_t eventType);

// "%.2x " per byte, cut at `limit` characters; empty for no data.
std::string DataText(const std::vector<uint8_t>& data, size_t limit);

// At most `limit` characters (code points) of UTF-8 text, never a part of one.
std::string CutCharacters(const std::string& utf8, size_t limit);

}  // namespace event_log_record
