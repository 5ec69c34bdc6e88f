// What the worker asks of the operating system besides the registry and HTTP.
#pragma once

#include <cstdint>
#include <string>

class ISystemInfo {
 public:
  virtual ~ISystemInfo() = default;
  virtual std::string HostName() = 0;         // "Unknown" when it cannot be read
  virtual std::string OSVersionString() = 0;  // "Microsoft Windows ... (build N) 64-bit"
  virtual bool EnableDebugPrivilege() = 0;
  virtual std::string TempFolder() = 0;  // the temporary-files folder, with its trailing backslash
  // Deletes a folder with everything in it, without any confirmation or error display.
  virtual void DeleteFolderTree(const std::string& path) = 0;
  // An error entry in the Windows event log (event id 1, the service's source).
  virtual void ReportError(const std::string& text) = 0;
  virtual std::string ErrorMessage(uint32_t code) = 0;  // the system's text for an error code
};
