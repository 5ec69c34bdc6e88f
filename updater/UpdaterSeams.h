// What the update procedure needs from the system, as small interfaces over
// UTF-8 paths and Win32 error codes, so that the procedure itself is portable
// logic (tested natively with fakes) and updater/UpdaterSystemWin32.cpp makes
// the real calls. Every wait is bounded by its caller's argument.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/custom_runtime.h"

namespace updater {

// Win32 codes the procedure tells apart.
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorSharingViolation = 32;
constexpr uint32_t kErrorLockViolation = 33;
constexpr uint32_t kErrorFilenameTooLong = 206;  // ERROR_FILENAME_EXCED_RANGE
constexpr uint32_t kErrorNoMoreItems = 259;
constexpr uint32_t kErrorUserMappedFile = 1224;
constexpr uint32_t kErrorServiceAlreadyRunning = 1056;
constexpr uint32_t kErrorServiceDoesNotExist = 1060;
constexpr uint32_t kErrorCantAccessFile = 1920;
constexpr uint32_t kServiceStopped = 1;  // SERVICE_STOPPED

// The log: one line per call; the sink adds the time and thread prefix.
class IUpdateLog {
 public:
  virtual ~IUpdateLog() = default;
  virtual void Line(const std::string& text) = 0;
};

struct ServiceStatus {
  uint32_t state = 0;
  uint32_t processId = 0;  // 0 when not running
};

class IService {
 public:
  virtual ~IService() = default;
  // Each returns 0 or the system's error.
  virtual uint32_t Stop() = 0;
  virtual uint32_t Query(ServiceStatus& status) = 0;
  virtual uint32_t Delete() = 0;
  virtual uint32_t Start() = 0;
};

enum class ServiceAccess { Remove /* stop, query status, delete */, Start };

class IServiceManager {
 public:
  virtual ~IServiceManager() = default;
  virtual std::unique_ptr<IService> Open(const std::string& name, ServiceAccess access, uint32_t& error) = 0;
};

class IServices {
 public:
  virtual ~IServices() = default;
  // The Service Control Manager with all access; null with `error`.
  virtual std::unique_ptr<IServiceManager> OpenManager(uint32_t& error) = 0;
};

class IRunningProcess {
 public:
  virtual ~IRunningProcess() = default;
  virtual uint32_t Terminate(uint32_t exitCode) = 0;
  // True once the process has ended (within `ms`).
  virtual bool WaitForExit(uint32_t ms) = 0;
};

class IProcesses {
 public:
  virtual ~IProcesses() = default;
  // The first process of a fresh snapshot whose executable name equals
  // `exeName` (case-insensitively, any folder), opened with all access; null
  // when there is none or it cannot be opened.
  virtual std::unique_ptr<IRunningProcess> OpenFirstNamed(const std::string& exeName) = 0;
  // A process by id, for waiting only; null when it cannot be opened.
  virtual std::unique_ptr<IRunningProcess> OpenForWait(uint32_t processId) = 0;
};

struct RegistryValue {
  std::string name;  // UTF-8
  uint32_t type = 0;
  std::string data;  // the raw bytes
};

class IRegistryKey {
 public:
  virtual ~IRegistryKey() = default;
  // 0, kErrorNoMoreItems past the end, or another error.
  virtual uint32_t SubKey(uint32_t index, std::string& name) = 0;
  virtual uint32_t Value(uint32_t index, RegistryValue& value) = 0;
  virtual uint32_t SetValue(const RegistryValue& value) = 0;
};

// Keys under HKEY_LOCAL_MACHINE, 64-bit view; paths like "Software\Halvren".
class IRegistry {
 public:
  virtual ~IRegistry() = default;
  virtual std::unique_ptr<IRegistryKey> Create(const std::string& path, uint32_t& error) = 0;
  virtual std::unique_ptr<IRegistryKey> OpenForReading(const std::string& path, uint32_t& error) = 0;
  // Deletes a key that has no sub-keys.
  virtual uint32_t DeleteLeaf(const std::string& path) = 0;
};

constexpr uint32_t kAttributeReadOnly = 0x1;
constexpr uint32_t kAttributeHidden = 0x2;
constexpr uint32_t kAttributeSystem = 0x4;

struct FolderEntry {
  std::string name;
  bool folder = false;
  bool reparsePoint = false;  // a link or mount point: never followed
};

class IFiles {
 public:
  virtual ~IFiles() = default;
  // Every entry of the folder (pattern "*"), "." and ".." included as the
  // system lists them; the listing's error when it cannot start.
  virtual uint32_t List(const std::string& folder, std::vector<FolderEntry>& entries) = 0;
  // 0 also when the folder exists.
  virtual uint32_t CreateFolder(const std::string& path) = 0;
  // False when the path does not exist.
  virtual bool Attributes(const std::string& path, uint32_t& attributes) = 0;
  virtual uint32_t SetNormal(const std::string& path) = 0;
  // Overwrites an existing destination.
  virtual uint32_t Copy(const std::string& from, const std::string& to) = 0;
  // At most `limit` bytes from the start of the file.
  virtual bool ReadHead(const std::string& path, size_t limit, std::string& data) = 0;
  virtual uint32_t Remove(const std::string& path) = 0;
};

class IShell {
 public:
  virtual ~IShell() = default;
  // The all-users start menu; false when it cannot be found.
  virtual bool CommonStartMenu(std::string& folder) = 0;
  // An Internet shortcut file: section "InternetShortcut", keys URL, IconFile, IconIndex.
  virtual uint32_t WriteInternetShortcut(const std::string& path, const std::string& url,
                                         const std::string& iconFile, const std::string& iconIndex) = 0;
  // A shell link to `target`, no description, icon `iconFile` at `iconIndex`.
  virtual uint32_t CreateShellLink(const std::string& path, const std::string& target,
                                   const std::string& iconFile, int iconIndex) = 0;
  virtual void NotifyChanged() = 0;
  // Opens `file` with `parameters` through the shell (verb "open", hidden); not waited for.
  virtual uint32_t Open(const std::string& file, const std::string& parameters) = 0;
};

// The limits of the procedure; tests shorten them.
struct UpdateLimits {
  uint32_t processWaitMs = 60000;  // the agent's "-service" run and each regsvr32
  int servicePolls = 29;           // status polls while a service stops
  int terminateAttempts = 29;      // processes ended per executable name
  int serviceOpenAttempts = 29;    // opening the new service to start it
  uint32_t pauseMs = 1000;         // between polls and attempts
  uint32_t exitWaitMs = 10000;     // for an ended process and the stopped service's process
  int copyAttempts = 20;           // a file in use
  uint32_t copyRetryMs = 500;
  size_t dllReadLimit = 64u << 20;  // bytes of a DLL read to find its exports
};

struct UpdaterSeams {
  IUpdateLog& log;
  IServices& services;
  IProcesses& processes;
  IRegistry& registry;
  IFiles& files;
  IShell& shell;
  platform::ICustomRuntime& runtime;  // process starts and the system folder
  std::function<void(uint32_t ms)> sleep;
  // The system's message for an error code; empty when it has none.
  std::function<std::string(uint32_t code)> errorText;
};

}  // namespace updater
