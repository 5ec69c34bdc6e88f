#include "tools/report/report_decoder.h"

#include <zlib.h>

#include <cstring>
#include <vector>

#include "corelib/udc.h"

namespace report {

bool inflate_exact(const uint8_t* data, size_t size, uint64_t expected, std::vector<uint8_t>& out,
                   Error& error) {
  if (expected > UINT32_MAX || size > UINT32_MAX) {
    error = {0, "body too large"};
    return false;
  }
  out.assign(expected, 0);
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) {
    error = {0, "inflate could not start"};
    return false;
  }
  zs.next_in = const_cast<Bytef*>(data);
  zs.avail_in = static_cast<uInt>(size);
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(expected);
  int rc = inflate(&zs, Z_FINISH);
  uint64_t produced = zs.total_out;
  uint64_t consumed = zs.total_in;
  inflateEnd(&zs);
  if (rc == Z_STREAM_END && produced == expected) {
    if (consumed != size) {
      error = {consumed, "bytes after the end of the zlib stream"};
      return false;
    }
    return true;
  }
  if (rc == Z_BUF_ERROR && zs.avail_out == 0) {
    error = {consumed, "inflated data exceeds the declared size of " + std::to_string(expected) + " bytes"};
  } else if (rc == Z_BUF_ERROR || rc == Z_STREAM_END) {
    error = {consumed, "zlib stream ended after " + std::to_string(produced) + " of " +
                           std::to_string(expected) + " bytes"};
  } else {
    error = {consumed, std::string("inflate error: ") + (zs.msg ? zs.msg : zError(rc))};
  }
  return false;
}

bool split_records(const uint8_t* data, size_t size, std::vector<Span>& records, Error& error) {
  records.clear();
  size_t at = 0;
  while (at < size) {
    uint64_t length = 0;
    uint64_t bad = 0;
    const char* reason = nullptr;
    if (!udc_validate(data + at, size - at, &length, &bad, &reason)) {
      error = {at + bad, reason};
      return false;
    }
    records.push_back({at, static_cast<size_t>(length)});
    at += length;
  }
  return true;
}

std::string print_record(const uint8_t* record) {
  // Wrap the block without handing it over: the builder's block pointer is
  // cleared before it is freed.
  _U_D_C_W_* w = nullptr;
  if (!udcw_from_udc(const_cast<_U_D_C_*>(reinterpret_cast<const _U_D_C_*>(record)), &w)) return {};
  char* text = nullptr;
  uint64_t capacity = 0, length = 0;
  udcw_print_data(w, &text, &capacity, &length);
  std::string line = text ? std::string(text, length) : std::string();
  udcw_free_print_data(&text);
  w->udc = nullptr;
  udcw_free(&w);
  return line;
}

bool record_ui32(const uint8_t* record, uint32_t index, uint32_t& value) {
  _U_D_C_ header;
  memcpy(&header, record, sizeof header);
  if (index >= header.ui32Count) return false;
  // The UI32 section follows the header and the I32 section.
  memcpy(&value, record + sizeof header + 4ull * header.i32Count + 4ull * index, sizeof value);
  return true;
}

bool decode_body(const uint8_t* body, size_t size, uint64_t uncompressedSize,
                 std::vector<std::string>& lines, Error& error) {
  std::vector<uint8_t> inflated;
  if (uncompressedSize > 0) {
    if (!inflate_exact(body, size, uncompressedSize, inflated, error)) return false;
    body = inflated.data();
    size = inflated.size();
  }
  std::vector<Span> records;
  if (!split_records(body, size, records, error)) return false;
  lines.clear();
  for (const Span& r : records) lines.push_back(print_record(body + r.offset));
  return true;
}

}  // namespace report
