// The memory figures from GetPerformanceInfo, looked up at run time (kernel32
// exports it as K32GetPerformanceInfo since Windows 7, psapi.dll before), and
// GlobalMemoryStatusEx.
#pragma once

#include <windows.h>

#include "platform/memory_probe.h"

class MemoryProbeWin32 : public IMemoryProbe {
 public:
  MemoryProbeWin32();
  ~MemoryProbeWin32() override;
  MemoryProbeWin32(const MemoryProbeWin32&) = delete;
  MemoryProbeWin32& operator=(const MemoryProbeWin32&) = delete;

  bool QueryPerformanceInformation(std::vector<uint8_t>& out) override;
  bool QueryMemoryStatus(std::vector<uint8_t>& out) override;

 private:
  using GetPerformanceInfoFn = BOOL(WINAPI*)(void* info, DWORD size);

  HMODULE m_psapi = nullptr;  // loaded only when kernel32 lacks the function
  GetPerformanceInfoFn m_getPerformanceInfo = nullptr;
};
