// Two records as the agent's monitors make them, concatenated as in a report
// body: a CPU result with a nested per-core record, then a memory result.
#pragma once

#include <string>

#include "corelib/MonResult2.h"

inline std::string SampleRecords() {
  CMonResult2 cpu;
  cpu.create(0, 4, 1, 0, 1, 1);
  cpu.init(44, 7, 107);
  cpu.add(uint32_t{0});
  cpu.add(37.5);
  cpu.add("CPU load");
  CMonResult2 core;
  core.create(0, 1, 0, 0, 1, 0);
  core.add(uint32_t{0});
  core.add(40.0);
  cpu.add(core);
  CMonResult2 mem;
  mem.create(0, 4, 1, 0, 0, 0);
  mem.init(47, 9, 109);
  mem.add(uint32_t{2});
  std::string raw;
  for (const CMonResult2* r : {&cpu, &mem}) raw.append(static_cast<const char*>(r->get_pointer()), r->get_size());
  return raw;
}
