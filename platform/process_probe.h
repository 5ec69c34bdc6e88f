// What the process monitor asks of the operating system: a snapshot of the
// running processes, one process's processor times and memory counters, and
// the number of processors. Raw answers only; the monitor computes shares and
// sizes from them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ProcessEntry {
  uint32_t pid = 0;
  std::string exeName;  // the executable's file name as the snapshot gives it (UTF-8)
};

// Why a snapshot could not be taken: the snapshot itself, or its first entry.
struct SnapshotFailure {
  enum Step { Create, First } step = Create;
  uint32_t error = 0;
};

struct ProcessTimes {
  int64_t sampleMs = 0;  // UTC wall clock when the times were read, ms since 1970
  uint64_t kernel = 0;   // 100-ns units
  uint64_t user = 0;
};

struct ProcessMemory {
  uint64_t workingSet = 0;  // bytes
  uint64_t pagefile = 0;    // bytes of page-file usage (commit charge)
};

enum class ProcessRead { Ok, NotOpened, Failed };

class IProcessProbe {
 public:
  virtual ~IProcessProbe() = default;
  // All processes in snapshot order.
  virtual bool Snapshot(std::vector<ProcessEntry>& out, SnapshotFailure& failure) = 0;
  virtual ProcessRead Times(uint32_t pid, ProcessTimes& out) = 0;
  virtual ProcessRead Memory(uint32_t pid, ProcessMemory& out) = 0;
  virtual uint32_t ProcessorCount() = 0;
};
