#include "updater/UpdateProcedure.h"

#include "platform/text_format.h"
#include "updater/PeExports.h"

namespace updater {
namespace {

constexpr const char* kAgentExe = "Halvren.exe";
constexpr const char* kControllerExe = "Controller.exe";
constexpr const char* kUninstallerExe = "Uninstall.exe";
constexpr const char* kServiceName = "Halvren";
constexpr const char* kPreviousServiceName = "Corvane Halvren";
constexpr const char* kPreviousAgentExe = "Corvane.exe";
constexpr const char* kOldHelpEntry = "Programs\\Halvren\\Help.url";
// "Help", a no-break space (U+00A0), ".url".
constexpr const char* kNewHelpEntry = "Programs\\Halvren\\Help\xC2\xA0.url";
constexpr const char* kUninstallEntry = "Programs\\Halvren\\Uninstall.lnk";
constexpr uint32_t kTerminatedExitCode = 0xFFFFFFFF;
constexpr uint32_t kTimedOutExitCode = 255;

// A file another process still has open or mapped: worth a few more tries
// while the processes ended a moment ago let go of it.
bool in_use(uint32_t error) {
  return error == kErrorSharingViolation || error == kErrorLockViolation || error == kErrorUserMappedFile;
}

bool ends_with(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace

bool path_too_long(const std::string& path) {
  size_t units = 0;
  for (unsigned char c : path) {
    if ((c & 0xC0) != 0x80) ++units;  // a character starts here
    if (c >= 0xF0) ++units;           // outside the BMP: a surrogate pair
  }
  return units > kMaxPathLength;
}

std::string combine_path(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  const char last = folder.back();
  return last == '\\' || last == '/' ? folder + name : folder + "\\" + name;
}

std::string CUpdateProcedure::ErrorMessage(uint32_t code) {
  const std::string text = m_s.errorText ? m_s.errorText(code) : std::string();
  if (text.empty()) return "Unknown Error.";
  return Format("Failed with error %d: %s", static_cast<int>(code), text.c_str());
}

bool CUpdateProcedure::TooLong(const std::string& path) {
  if (!path_too_long(path)) return false;
  Log(Format("ERROR. Path too long: '%s'.", path.c_str()));
  return true;
}

int CUpdateProcedure::Incomplete(int exitCode) {
  Log("ERROR. Update incomplete.");
  return exitCode;
}

int CUpdateProcedure::Run(const std::string& commandLine, const std::vector<std::string>& arguments) {
  Log(Format("Starting update... Command line: '%s'", commandLine.c_str()));
  if (arguments.size() < 3 || arguments[0].empty() || arguments[1].empty()) return kExitBadArguments;
  const std::string& updatePath = arguments[0];
  const std::string& installPath = arguments[1];
  const std::string& version = arguments[2];
  const std::string agentPath = combine_path(installPath, kAgentExe);
  const std::string controllerPath = combine_path(installPath, kControllerExe);
  const std::string uninstallerPath = combine_path(installPath, kUninstallerExe);
  // Every path is checked before anything is touched.
  for (const std::string* path : {&updatePath, &installPath, &agentPath, &controllerPath, &uninstallerPath})
    if (TooLong(*path)) return kExitBadArguments;

  Log(Format("Update path: '%s'", updatePath.c_str()));
  Log(Format("Install path: '%s'", installPath.c_str()));
  Log(Format("Version number: '%s'", version.c_str()));
  Log(Format("Agent path: '%s'", agentPath.c_str()));
  Log(Format("Controller path: '%s'", controllerPath.c_str()));

  Log("Stopping applications...");
  RemoveService(kPreviousServiceName);
  RemoveService(kServiceName);
  for (const char* exe : {kPreviousAgentExe, kAgentExe, kControllerExe}) EndProcesses(exe);

  // The previous generation's settings go only once they are all carried over.
  if (CopyRegistryKey(kPreviousSettingsKey, kSettingsKey) == 0) DeleteRegistryTree(kPreviousVendorKey);

  const uint32_t copyError = CopyDirectory(updatePath, installPath);
  if (copyError != 0) {
    Log(Format("ERROR. CopyDirectory failed with error '%d'.", static_cast<int>(copyError)));
  } else {
    Log("CopyDirectory done.");
    UpdateStartMenu(controllerPath, uninstallerPath);
  }

  Log("Starting applications...");
  RunProcess(agentPath, Format("\"%s\" %s", agentPath.c_str(), "-service"), agentPath, "-service");

  Log("Trying to open SC Manager...");
  uint32_t error = 0;
  std::unique_ptr<IServiceManager> manager = m_s.services.OpenManager(error);
  if (!manager) {
    Log(Format("ERROR. OpenSCManager failed with code %lu.", static_cast<unsigned long>(error)));
    return Incomplete(kExitIncomplete);
  }
  Log("Trying to open Halvren service...");
  for (int attempt = 1; attempt <= m_limits.serviceOpenAttempts; ++attempt) {
    std::unique_ptr<IService> service = manager->Open(kServiceName, ServiceAccess::Start, error);
    if (!service) {
      if (attempt < m_limits.serviceOpenAttempts) m_s.sleep(m_limits.pauseMs);
      continue;
    }
    Log("Starting Halvren service...");
    const uint32_t startError = service->Start();
    const bool started = startError == 0 || startError == kErrorServiceAlreadyRunning;
    if (!started)
      Log(Format("ERROR. StartService failed with code %lu.", static_cast<unsigned long>(startError)));
    service.reset();
    manager.reset();
    if (!started || copyError != 0) return Incomplete(kExitIncomplete);
    Log("Halvren sucessfully updated.");
    return kExitUpdated;
  }
  Log("ERROR. Failed registering Halvren service.");
  return Incomplete(kExitIncomplete);
}

void CUpdateProcedure::RemoveService(const std::string& name) {
  Log("Trying to open SC Manager...");
  uint32_t error = 0;
  std::unique_ptr<IServiceManager> manager = m_s.services.OpenManager(error);
  if (!manager) {
    Log(Format("ERROR. OpenSCManager failed with code %lu.", static_cast<unsigned long>(error)));
    return;
  }
  Log(Format("Trying to open service '%s'...", name.c_str()));
  std::unique_ptr<IService> service = manager->Open(name, ServiceAccess::Remove, error);
  if (!service) {
    if (error != kErrorServiceDoesNotExist)
      Log(Format("ERROR. OpenService failed with code %lu.", static_cast<unsigned long>(error)));
    return;
  }
  // The service's process, held from before the stop, so that the wait after
  // it sees that very process (a stopped service reports no process id).
  ServiceStatus status;
  std::unique_ptr<IRunningProcess> serviceProcess;
  if (service->Query(status) == 0 && status.processId != 0)
    serviceProcess = m_s.processes.OpenForWait(status.processId);

  const auto remove = [&] {
    const uint32_t deleteError = service->Delete();
    if (deleteError != 0)
      Log(Format("ERROR. DeleteService failed with code %lu.", static_cast<unsigned long>(deleteError)));
  };
  Log("Stopping service...");
  error = service->Stop();
  if (error != 0) {
    Log(Format("ERROR. ControlService failed with code %lu.", static_cast<unsigned long>(error)));
    remove();
    return;
  }
  for (int poll = 0; poll < m_limits.servicePolls; ++poll) {
    error = service->Query(status);
    if (error != 0) {
      Log(Format("ERROR. ControlService failed with code %lu.", static_cast<unsigned long>(error)));
      return;
    }
    if (status.state == kServiceStopped) {
      Log("Service stopped. Deleting...");
      // A stopped service's process may still hold the installed files.
      if (serviceProcess) serviceProcess->WaitForExit(m_limits.exitWaitMs);
      m_s.sleep(m_limits.pauseMs);
      remove();
      m_s.sleep(m_limits.pauseMs);
      return;
    }
    m_s.sleep(m_limits.pauseMs);
  }
}

void CUpdateProcedure::EndProcesses(const std::string& exeName) {
  Log(Format("Searching for process '%s'...", exeName.c_str()));
  for (int attempt = 0; attempt < m_limits.terminateAttempts; ++attempt) {
    std::unique_ptr<IRunningProcess> process = m_s.processes.OpenFirstNamed(exeName);
    if (!process) return;
    Log("Process found. Terminating...");
    // Termination is asynchronous: its files stay in use until it has ended.
    if (process->Terminate(kTerminatedExitCode) == 0) process->WaitForExit(m_limits.exitWaitMs);
    process.reset();
    m_s.sleep(m_limits.pauseMs);
  }
}

uint32_t CUpdateProcedure::CopyRegistryKey(const std::string& from, const std::string& to) {
  Log(Format("CopyRegKey: '%s' --> '%s'", from.c_str(), to.c_str()));
  uint32_t error = 0;
  std::unique_ptr<IRegistryKey> destination = m_s.registry.Create(to, error);
  if (!destination) return error;
  std::unique_ptr<IRegistryKey> source = m_s.registry.OpenForReading(from, error);
  if (!source) return error;
  uint32_t result = 0;
  std::string name;
  for (uint32_t index = 0;; ++index) {
    error = source->SubKey(index, name);
    if (error == 0) error = CopyRegistryKey(from + "\\" + name, to + "\\" + name);
    if (error != 0) {
      if (error != kErrorNoMoreItems) result = error;
      break;
    }
  }
  RegistryValue value;
  for (uint32_t index = 0;; ++index) {
    error = source->Value(index, value);
    if (error == 0) error = destination->SetValue(value);
    if (error != 0) {
      if (error != kErrorNoMoreItems && result == 0) result = error;
      break;
    }
  }
  return result;
}

uint32_t CUpdateProcedure::DeleteRegistryTree(const std::string& path) {
  if (m_s.registry.DeleteLeaf(path) == 0) return 0;
  uint32_t error = 0;
  std::unique_ptr<IRegistryKey> key = m_s.registry.OpenForReading(path, error);
  if (!key) return error;
  std::string name;
  for (;;) {
    error = key->SubKey(0, name);
    if (error == kErrorNoMoreItems) break;
    if (error == 0) error = DeleteRegistryTree(path + "\\" + name);
    if (error != 0) return error;  // a sub-key that stays would come back at index 0
  }
  key.reset();
  return m_s.registry.DeleteLeaf(path);
}

uint32_t CUpdateProcedure::CopyDirectory(const std::string& from, const std::string& to) {
  Log(Format("CopyDirectory: '%s' --> '%s'", from.c_str(), to.c_str()));
  std::vector<FolderEntry> entries;
  uint32_t error = m_s.files.List(from, entries);
  if (error != 0) {
    Log(Format("ERROR. FindFirstFile failed: %d", static_cast<int>(error)));
    return error;
  }
  // One file that fails does not keep the others from their new version.
  uint32_t first = 0;
  const auto note = [&first](uint32_t e) {
    if (first == 0) first = e;
  };
  for (const FolderEntry& entry : entries) {
    if (entry.name == "." || entry.name == "..") continue;
    const std::string source = combine_path(from, entry.name), destination = combine_path(to, entry.name);
    if (TooLong(source) || TooLong(destination)) {
      note(kErrorFilenameTooLong);
      continue;
    }
    if (entry.reparsePoint) {
      Log(Format("ERROR. Not following the link '%s'.", source.c_str()));
      note(kErrorCantAccessFile);
      continue;
    }
    if (entry.folder) {
      error = m_s.files.CreateFolder(destination);
      if (error != 0) {
        Log(Format("ERROR. CreateDirectory failed with error %d.", static_cast<int>(error)));
        note(error);
        continue;
      }
      note(CopyDirectory(source, destination));
    } else {
      note(CopyOneFile(source, destination));
    }
  }
  return first;
}

uint32_t CUpdateProcedure::CopyOneFile(const std::string& from, const std::string& to) {
  uint32_t attributes = 0;
  if (m_s.files.Attributes(from, attributes) && (attributes & kAttributeReadOnly)) m_s.files.SetNormal(from);
  // An installed file marked read-only, hidden or system refuses to be overwritten.
  if (m_s.files.Attributes(to, attributes) &&
      (attributes & (kAttributeReadOnly | kAttributeHidden | kAttributeSystem)))
    m_s.files.SetNormal(to);
  Log(Format("CopyFile: '%s' --> '%s'", from.c_str(), to.c_str()));
  uint32_t error = 0;
  for (int attempt = 1; attempt <= m_limits.copyAttempts; ++attempt) {
    error = m_s.files.Copy(from, to);
    if (error == 0 || !in_use(error) || attempt == m_limits.copyAttempts) break;
    m_s.sleep(m_limits.copyRetryMs);
  }
  if (error != 0) {
    Log(Format("ERROR. CopyFile failed with error %d.", static_cast<int>(error)));
    return error;
  }
  if (ends_with(to, ".dll")) RegisterIfServer(to);
  return 0;
}

void CUpdateProcedure::RegisterIfServer(const std::string& dll) {
  // The export table is read from the file: loading the DLL would run its code here.
  std::string image;
  if (!m_s.files.ReadHead(dll, m_limits.dllReadLimit, image)) return;
  if (find_pe_export(reinterpret_cast<const uint8_t*>(image.data()), image.size(), "DllRegisterServer") !=
      PeExport::Found)
    return;
  // By full path: a bare name would find a regsvr32.exe planted beside the Updater first.
  const std::string systemFolder = m_s.runtime.SystemFolder();
  if (systemFolder.empty()) return;
  const std::string regsvr32 = combine_path(systemFolder, "regsvr32.exe");
  RunProcess(regsvr32, quoted(regsvr32) + " /s " + quoted(dll), regsvr32, "/s " + quoted(dll));
}

void CUpdateProcedure::RunProcess(const std::string& application, const std::string& commandLine,
                                  const std::string& fallbackFile, const std::string& fallbackParameters) {
  Log(Format("Executing '%s'...", commandLine.c_str()));
  platform::ProcessSpec spec;
  spec.application = application;
  spec.commandLine = commandLine;
  spec.killOnClose = false;
  uint32_t error = 0;
  std::unique_ptr<platform::IProcess> process = m_s.runtime.Start(spec, error);
  if (!process) {
    Log(Format("CreateProcess %s. Trying ShellExecute...", ErrorMessage(error).c_str()));
    m_s.shell.Open(fallbackFile, fallbackParameters);
    return;
  }
  if (!process->Wait(m_limits.processWaitMs)) {
    // Not started again through the shell: a second copy would only hang as well.
    Log("Timed out waiting for process.");
    process->EndTree(kTimedOutExitCode);
    return;
  }
  Log(Format("GetExitCodeProcess returned %d", static_cast<int>(process->ExitCode())));
}

void CUpdateProcedure::UpdateStartMenu(const std::string& controllerPath,
                                       const std::string& uninstallerPath) {
  Log("Checking for old start menu items...");
  std::string menu;
  if (!m_s.shell.CommonStartMenu(menu)) return;
  const std::string oldHelp = combine_path(menu, kOldHelpEntry), newHelp = combine_path(menu, kNewHelpEntry),
                    uninstall = combine_path(menu, kUninstallEntry);
  if (TooLong(oldHelp) || TooLong(newHelp) || TooLong(uninstall)) return;
  m_s.files.Remove(oldHelp);
  uint32_t attributes = 0;
  if (m_s.files.Attributes(newHelp, attributes)) return;
  Log("Updating start menu items...");
  m_s.shell.WriteInternetShortcut(newHelp, kSupportPage, controllerPath, "5");
  m_s.shell.CreateShellLink(uninstall, uninstallerPath, controllerPath, 0);
  m_s.shell.NotifyChanged();
}

}  // namespace updater
