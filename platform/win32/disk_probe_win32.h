// Drives and free space from kernel32. The extended free-space call is looked
// up at run time, so the program still loads on a system without it.
#pragma once

#include <windows.h>

#include "platform/disk_probe.h"

class DiskProbeWin32 : public IDiskProbe {
 public:
  DiskProbeWin32();
  ProbeStatus FreeBytes(const std::string& root, DiskBytes& out, uint32_t& error) override;
  bool FreeClusters(const std::string& root, DiskClusters& out, uint32_t& error) override;
  bool LogicalDrives(std::vector<std::string>& roots, uint32_t& error) override;
  uint32_t DriveType(const std::string& root) override;

 private:
  using FreeSpaceExFn = BOOL(WINAPI*)(LPCWSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);
  FreeSpaceExFn m_freeSpaceEx = nullptr;
};
