// System information for the native build, so the worker runs in tests on
// the build machine. Texts resemble the Windows ones only in shape.
#pragma once

#include "platform/system_info.h"

class SystemInfoPosix : public ISystemInfo {
 public:
  std::string HostName() override;
  std::string OSVersionString() override;
  bool EnableDebugPrivilege() override { return true; }  // no such privilege here: nothing to enable
  std::string TempFolder() override { return "/tmp/"; }
  void DeleteFolderTree(const std::string& path) override;
  void ReportError(const std::string& text) override;  // to standard error
  std::string ErrorMessage(uint32_t code) override;
};
