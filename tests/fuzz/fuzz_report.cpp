// Report bodies as the gateway receives them: raw record runs and zlib streams.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/report/report_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the declared uncompressed size: 0 means a raw body.
  uint64_t declared = static_cast<uint64_t>(data[0]) * 64;
  std::vector<std::string> lines;
  report::Error error;
  report::decode_body(data + 1, size - 1, declared, lines, error);
  return 0;
}
