#include "platform/posix/system_info_posix.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

std::string SystemInfoPosix::HostName() {
  char name[512] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "Unknown";
  return name;
}

std::string SystemInfoPosix::OSVersionString() {
  utsname u = {};
  if (uname(&u) != 0) return "Unknown Operating System";
  return std::string(u.sysname) + " " + u.release + " (build " + u.version + ") " + u.machine;
}

void SystemInfoPosix::DeleteFolderTree(const std::string& path) {
  if (path.empty()) return;  // never the current folder by accident
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

void SystemInfoPosix::ReportError(const std::string& text) {
  std::fprintf(stderr, "Halvren: %s\n", text.c_str());
}

std::string SystemInfoPosix::ErrorMessage(uint32_t code) { return std::strerror(static_cast<int>(code)); }
