// Decoding of a gateway report body: an optional zlib stream around a run of
// UDC records, each starting with its own 32-bit total length. Every byte comes
// from outside, so everything is checked before it is walked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace report {

struct Error {
  uint64_t offset = 0;  // in the inflated data when the body was compressed
  std::string reason;
};

// Inflates one zlib stream that must yield exactly `expected` bytes; never
// produces more than that.
bool inflate_exact(const uint8_t* data, size_t size, uint64_t expected, std::vector<uint8_t>& out,
                   Error& error);

// Splits `data` into validated records (offset and length of each).
struct Span {
  size_t offset;
  size_t size;
};
bool split_records(const uint8_t* data, size_t size, std::vector<Span>& records, Error& error);

// A record as udcw_print_data renders it.
std::string print_record(const uint8_t* record);

// UI32 value `index` of a record that passed split_records (UI32 0 is the
// record type, 1 the test identifier); false when the record has fewer.
bool record_ui32(const uint8_t* record, uint32_t index, uint32_t& value);

// The whole decoding: inflate when uncompressedSize > 0, split, print each record.
bool decode_body(const uint8_t* body, size_t size, uint64_t uncompressedSize,
                 std::vector<std::string>& lines, Error& error);

}  // namespace report
