// The machine's memory figures: the performance information, and the global
// memory status where that is missing. As with the processor counters, the
// probe hands over the system's structures as they are and they are read here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/raw_layout.h"

class IMemoryProbe {
 public:
  virtual ~IMemoryProbe() = default;
  // The performance information, kPerformanceInformationSize bytes; false when
  // the call is missing or fails.
  virtual bool QueryPerformanceInformation(std::vector<uint8_t>& out) = 0;
  // The global memory status, kMemoryStatusSize bytes.
  virtual bool QueryMemoryStatus(std::vector<uint8_t>& out) = 0;
};

namespace memory_layout {

// A 32-bit size, then ten pointer-sized counts (commit total, commit limit,
// commit peak, physical total, physical available, system cache, kernel total,
// paged, non-paged, page size), then three 32-bit counts.
constexpr size_t kPerformanceInformationSize = 104;
constexpr size_t kCommitTotalOffset = 8;
constexpr size_t kCommitLimitOffset = 16;
constexpr size_t kPhysicalTotalOffset = 32;
constexpr size_t kPhysicalAvailableOffset = 40;
constexpr size_t kPageSizeOffset = 80;

// Two 32-bit values, then seven 64-bit sizes in bytes (physical total and
// available, commit limit and available, address space total and available,
// extended).
constexpr size_t kMemoryStatusSize = 64;
constexpr size_t kTotalPhysOffset = 8;
constexpr size_t kAvailPhysOffset = 16;
constexpr size_t kTotalPageFileOffset = 24;
constexpr size_t kAvailPageFileOffset = 32;

}  // namespace memory_layout

// Bytes. "Virtual" is commit: the limit the page files give, and what of it
// is not committed yet.
struct MemorySizes {
  uint64_t totalPhys = 0;
  uint64_t freePhys = 0;
  uint64_t totalVirt = 0;
  uint64_t freeVirt = 0;
};

inline bool ParsePerformanceInformation(const std::vector<uint8_t>& raw, MemorySizes& out) {
  using namespace memory_layout;
  if (raw.size() < kPerformanceInformationSize) return false;
  auto at = [&](size_t offset) { return ReadLittleEndian<uint64_t>(raw.data() + offset); };
  const uint64_t page = at(kPageSizeOffset);
  const uint64_t limit = at(kCommitLimitOffset), committed = at(kCommitTotalOffset);
  out.totalPhys = at(kPhysicalTotalOffset) * page;
  out.freePhys = at(kPhysicalAvailableOffset) * page;
  out.totalVirt = limit * page;
  // A commit total above the limit (counters taken at slightly different
  // moments) means nothing is free, not an unsigned wrap to exabytes.
  out.freeVirt = limit > committed ? (limit - committed) * page : 0;
  return true;
}

// The memory status's commit figures stand for virtual memory, as in the
// performance information; its address-space figures (128 TB on 64-bit
// Windows) would say nothing about how much memory can still be committed.
inline bool ParseMemoryStatus(const std::vector<uint8_t>& raw, MemorySizes& out) {
  using namespace memory_layout;
  if (raw.size() < kMemoryStatusSize) return false;
  auto at = [&](size_t offset) { return ReadLittleEndian<uint64_t>(raw.data() + offset); };
  out.totalPhys = at(kTotalPhysOffset);
  out.freePhys = at(kAvailPhysOffset);
  out.totalVirt = at(kTotalPageFileOffset);
  out.freeVirt = at(kAvailPageFileOffset);
  return true;
}
