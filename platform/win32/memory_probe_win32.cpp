#include "platform/win32/memory_probe_win32.h"

#include <psapi.h>

#include <cstddef>
#include <string>

#include "platform/win32/proc_address.h"

// The portable reader's offsets against the SDK's own declarations.
static_assert(sizeof(PERFORMANCE_INFORMATION) == memory_layout::kPerformanceInformationSize,
              "performance size");
static_assert(offsetof(PERFORMANCE_INFORMATION, CommitTotal) == memory_layout::kCommitTotalOffset &&
                  offsetof(PERFORMANCE_INFORMATION, CommitLimit) == memory_layout::kCommitLimitOffset &&
                  offsetof(PERFORMANCE_INFORMATION, PhysicalTotal) == memory_layout::kPhysicalTotalOffset &&
                  offsetof(PERFORMANCE_INFORMATION, PhysicalAvailable) ==
                      memory_layout::kPhysicalAvailableOffset &&
                  offsetof(PERFORMANCE_INFORMATION, PageSize) == memory_layout::kPageSizeOffset,
              "performance offsets");
static_assert(sizeof(MEMORYSTATUSEX) == memory_layout::kMemoryStatusSize, "memory status size");
static_assert(offsetof(MEMORYSTATUSEX, ullTotalPhys) == memory_layout::kTotalPhysOffset &&
                  offsetof(MEMORYSTATUSEX, ullAvailPhys) == memory_layout::kAvailPhysOffset &&
                  offsetof(MEMORYSTATUSEX, ullTotalPageFile) == memory_layout::kTotalPageFileOffset &&
                  offsetof(MEMORYSTATUSEX, ullAvailPageFile) == memory_layout::kAvailPageFileOffset,
              "memory status offsets");

MemoryProbeWin32::MemoryProbeWin32() {
  m_getPerformanceInfo = win32::ResolveFunction<GetPerformanceInfoFn>(GetModuleHandleW(L"kernel32.dll"),
                                                                      "K32GetPerformanceInfo");
  if (m_getPerformanceInfo != nullptr) return;
  // By full path from the system folder: the agent runs as LocalSystem and
  // must not pick up a planted copy.
  wchar_t folder[MAX_PATH] = {};
  const UINT n = GetSystemDirectoryW(folder, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return;
  m_psapi = LoadLibraryW((std::wstring(folder, n) + L"\\psapi.dll").c_str());
  m_getPerformanceInfo = win32::ResolveFunction<GetPerformanceInfoFn>(m_psapi, "GetPerformanceInfo");
}

MemoryProbeWin32::~MemoryProbeWin32() {
  if (m_psapi != nullptr) FreeLibrary(m_psapi);
}

bool MemoryProbeWin32::QueryPerformanceInformation(std::vector<uint8_t>& out) {
  if (m_getPerformanceInfo == nullptr) return false;
  PERFORMANCE_INFORMATION info = {};
  info.cb = sizeof info;
  if (!m_getPerformanceInfo(&info, sizeof info)) return false;
  const auto* bytes = reinterpret_cast<const uint8_t*>(&info);
  out.assign(bytes, bytes + sizeof info);
  return true;
}

bool MemoryProbeWin32::QueryMemoryStatus(std::vector<uint8_t>& out) {
  MEMORYSTATUSEX status = {};
  status.dwLength = sizeof status;
  if (!GlobalMemoryStatusEx(&status)) return false;
  const auto* bytes = reinterpret_cast<const uint8_t*>(&status);
  out.assign(bytes, bytes + sizeof status);
  return true;
}
