// Processes from the Toolhelp snapshot, their times and memory counters, and
// the processor count. Each read opens the process with only the rights its
// call needs, so that more processes (services of other accounts, protected
// ones) can be measured.
#pragma once

#include "platform/process_probe.h"

class ProcessProbeWin32 : public IProcessProbe {
 public:
  bool Snapshot(std::vector<ProcessEntry>& out, SnapshotFailure& failure) override;
  ProcessRead Times(uint32_t pid, ProcessTimes& out) override;
  ProcessRead Memory(uint32_t pid, ProcessMemory& out) override;
  uint32_t ProcessorCount() override;
};
