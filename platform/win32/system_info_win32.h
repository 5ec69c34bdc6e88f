// System information, privileges, temporary files and the event log, from
// the Windows API.
#pragma once

#include "platform/os_version.h"
#include "platform/system_info.h"

class SystemInfoWin32 : public ISystemInfo {
 public:
  std::string HostName() override;
  std::string OSVersionString() override;
  bool EnableDebugPrivilege() override;
  std::string TempFolder() override;
  void DeleteFolderTree(const std::string& path) override;
  void ReportError(const std::string& text) override;
  std::string ErrorMessage(uint32_t code) override;

  // What OSVersionString is made from.
  static OSFacts GatherOSFacts();
};
