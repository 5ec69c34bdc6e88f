// The update procedure: stops and removes the agent's services, ends its
// processes, carries the previous generation's settings over, copies the new
// files over the installation (registering the COM DLLs among them), refreshes
// the start-menu entries, lets the new agent register its service and starts
// it. Every step goes to the Updater's log.
#pragma once

#include <string>
#include <vector>

#include "updater/UpdaterSeams.h"

namespace updater {

// The install base's own names.
constexpr const char* kPreviousVendorKey = "Software\\vendor.example";
constexpr const char* kPreviousSettingsKey = "Software\\vendor.example\\Corvane";
constexpr const char* kSettingsKey = "Software\\Halvren";
constexpr const char* kSupportPage = "https://www.halvren.example/support";

// Longest path the procedure handles, in UTF-16 units (MAX_PATH less the terminator).
constexpr size_t kMaxPathLength = 259;

// Exit codes.
constexpr int kExitUpdated = 0;
constexpr int kExitIncomplete = 1;  // also: the Service Control Manager or the service did not open
constexpr int kExitBadArguments = -1;

class CUpdateProcedure {
 public:
  CUpdateProcedure(const UpdaterSeams& seams, const UpdateLimits& limits = UpdateLimits())
      : m_s(seams), m_limits(limits) {}

  // `commandLine` as the process got it (for the log); `arguments` split from
  // it, the program's own name left out.
  int Run(const std::string& commandLine, const std::vector<std::string>& arguments);

  // Parts of the procedure, each as one step runs it.
  void RemoveService(const std::string& name);
  void EndProcesses(const std::string& exeName);
  // 0 or the first error anywhere in the tree.
  uint32_t CopyRegistryKey(const std::string& from, const std::string& to);
  uint32_t DeleteRegistryTree(const std::string& path);
  // 0 or the first error; every file that can be copied is.
  uint32_t CopyDirectory(const std::string& from, const std::string& to);
  void UpdateStartMenu(const std::string& controllerPath, const std::string& uninstallerPath);
  // Runs and waits (bounded); the fall-back only when the process did not start.
  void RunProcess(const std::string& application, const std::string& commandLine,
                  const std::string& fallbackFile, const std::string& fallbackParameters);

 private:
  void Log(const std::string& text) { m_s.log.Line(text); }
  std::string ErrorMessage(uint32_t code);
  bool TooLong(const std::string& path);
  uint32_t CopyOneFile(const std::string& from, const std::string& to);
  void RegisterIfServer(const std::string& dll);
  int Incomplete(int exitCode);

  UpdaterSeams m_s;
  UpdateLimits m_limits;
};

// Whether `path` has more than kMaxPathLength UTF-16 units.
bool path_too_long(const std::string& path);

// `folder` and `name` with one backslash between them.
std::string combine_path(const std::string& folder, const std::string& name);

}  // namespace updater
