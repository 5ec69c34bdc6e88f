#include "platform/win32/disk_probe_win32.h"

#include "platform/win32/proc_address.h"
#include "platform/win32/wide.h"

DiskProbeWin32::DiskProbeWin32() {
  m_freeSpaceEx =
      win32::ResolveFunction<FreeSpaceExFn>(GetModuleHandleW(L"kernel32.dll"), "GetDiskFreeSpaceExW");
}

ProbeStatus DiskProbeWin32::FreeBytes(const std::string& root, DiskBytes& out, uint32_t& error) {
  if (m_freeSpaceEx == nullptr) return ProbeStatus::Unavailable;
  ULARGE_INTEGER available = {}, total = {}, free = {};
  if (!m_freeSpaceEx(win32::Widen(root).c_str(), &available, &total, &free)) {
    error = GetLastError();
    return ProbeStatus::Failed;
  }
  out.total = total.QuadPart;
  out.free = free.QuadPart;
  return ProbeStatus::Ok;
}

bool DiskProbeWin32::FreeClusters(const std::string& root, DiskClusters& out, uint32_t& error) {
  DWORD sectors = 0, bytes = 0, freeClusters = 0, totalClusters = 0;
  if (!GetDiskFreeSpaceW(win32::Widen(root).c_str(), &sectors, &bytes, &freeClusters, &totalClusters)) {
    error = GetLastError();
    return false;
  }
  out = {sectors, bytes, freeClusters, totalClusters};
  return true;
}

bool DiskProbeWin32::LogicalDrives(std::vector<std::string>& roots, uint32_t& error) {
  // 26 letters take 105 characters; the rest is room to spare.
  wchar_t buffer[1024] = {};
  const DWORD n = GetLogicalDriveStringsW(static_cast<DWORD>(sizeof buffer / sizeof buffer[0]), buffer);
  if (n == 0 || n >= sizeof buffer / sizeof buffer[0]) {
    error = n == 0 ? GetLastError() : static_cast<uint32_t>(ERROR_INSUFFICIENT_BUFFER);
    return false;
  }
  roots.clear();
  for (const wchar_t* p = buffer; *p; p += wcslen(p) + 1) roots.push_back(win32::Narrow(p));
  return true;
}

uint32_t DiskProbeWin32::DriveType(const std::string& root) {
  return GetDriveTypeW(win32::Widen(root).c_str());
}
