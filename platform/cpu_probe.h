// The processor counters of the native system-information query. The probe
// hands over the system's buffers as they are; the layouts are read here, in
// portable code, so that recorded samples replay natively byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/raw_layout.h"

class ICpuProbe {
 public:
  virtual ~ICpuProbe() = default;
  // False when the query itself is missing: no sample will ever come.
  virtual bool Available() = 0;
  // The basic system information (information class 0), kBasicInformationSize bytes.
  virtual bool QueryBasicInformation(std::vector<uint8_t>& out) = 0;
  // The processor performance information (information class 8),
  // kProcessorTimesSize bytes for each of `processors`.
  virtual bool QueryProcessorTimes(uint32_t processors, std::vector<uint8_t>& out) = 0;
};

namespace cpu_layout {

constexpr size_t kBasicInformationSize = 64;
// The processor count is a signed byte after seven 32-bit values (padded to 32
// bytes) and three pointer-sized ones.
constexpr size_t kProcessorCountOffset = 56;
// Idle, kernel and user time, then two counters and a count nobody here reads.
constexpr size_t kProcessorTimesSize = 48;

}  // namespace cpu_layout

// One processor's times in 100-nanosecond units; kernel time includes idle time.
struct ProcessorTimes {
  int64_t idle = 0;
  int64_t kernel = 0;
  int64_t user = 0;
};

// The processor count of a basic-information buffer; 0 when it is too short
// or the count is not positive.
inline uint32_t ParseProcessorCount(const std::vector<uint8_t>& basic) {
  if (basic.size() < cpu_layout::kBasicInformationSize) return 0;
  const auto count = static_cast<int8_t>(basic[cpu_layout::kProcessorCountOffset]);
  return count > 0 ? static_cast<uint32_t>(count) : 0;
}

// The times of `processors` processors; false when the buffer is too short.
inline bool ParseProcessorTimes(const std::vector<uint8_t>& raw, uint32_t processors,
                                std::vector<ProcessorTimes>& out) {
  if (raw.size() < size_t{processors} * cpu_layout::kProcessorTimesSize) return false;
  out.resize(processors);
  for (uint32_t i = 0; i < processors; ++i) {
    const uint8_t* entry = raw.data() + size_t{i} * cpu_layout::kProcessorTimesSize;
    out[i] = {ReadLittleEndian<int64_t>(entry), ReadLittleEndian<int64_t>(entry + 8),
              ReadLittleEndian<int64_t>(entry + 16)};
  }
  return true;
}
