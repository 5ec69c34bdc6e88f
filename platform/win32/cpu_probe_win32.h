// The processor counters from ntdll's NtQuerySystemInformation, looked up at
// run time: it is not part of the documented import libraries.
#pragma once

#include <windows.h>

#include "platform/cpu_probe.h"

class CpuProbeWin32 : public ICpuProbe {
 public:
  CpuProbeWin32();

  bool Available() override { return m_query != nullptr; }
  bool QueryBasicInformation(std::vector<uint8_t>& out) override;
  bool QueryProcessorTimes(uint32_t processors, std::vector<uint8_t>& out) override;

 private:
  using QueryFn = LONG(WINAPI*)(ULONG infoClass, PVOID buffer, ULONG length, PULONG returned);
  bool Query(ULONG infoClass, size_t size, std::vector<uint8_t>& out);

  QueryFn m_query = nullptr;  // ntdll stays loaded for the life of every process
};
