// What the custom-monitor plugin runner needs from the system: process
// starts (hidden, in a new console, suspended, inside a job object that ends
// the whole tree), machine-wide named semaphores and mutexes, files and
// folders, the shell's zip unpacking and the clock. Real ones in
// platform/win32/custom_runtime_win32.cpp; tests hand in a fake.
//
// Every wait here is bounded by its caller's argument; callers that must
// also watch a stop wait in short slices.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

namespace platform {

struct ProcessSpec {
  // Full path of the program; empty: the first token of the command line.
  std::string application;
  std::string commandLine;    // UTF-8
  std::string workingFolder;  // empty: the agent's
  // Non-empty: log on as this local user (domain ".") and run as that user;
  // a failed logon fails the start (fail closed).
  std::string user, password;
  // False: no job object, so the process outlives the handle and its starter.
  bool killOnClose = true;
};

class IProcess {
 public:
  virtual ~IProcess() = default;
  // True once the process ended (within `ms`).
  virtual bool Wait(uint32_t ms) = 0;
  virtual uint32_t ExitCode() = 0;
  // Ends the whole tree (the job object), then the process itself.
  virtual void EndTree(uint32_t exitCode) = 0;
  // 0, or the error that kept the process out of its job object.
  virtual uint32_t JobError() const { return 0; }
};

class INamedLock {
 public:
  virtual ~INamedLock() = default;
  // One unit (a semaphore) or ownership (a mutex) within `ms`.
  virtual bool Acquire(uint32_t ms) = 0;
  virtual void Release() = 0;
};

class ICustomRuntime {
 public:
  virtual ~ICustomRuntime() = default;
  // Null with `error` (the system's error) when the process did not start.
  virtual std::unique_ptr<IProcess> Start(const ProcessSpec& spec, uint32_t& error) = 0;
  // "Global\..." objects shared across processes; null on failure.
  virtual std::unique_ptr<INamedLock> OpenNamedSemaphore(const std::string& name, uint32_t count) = 0;
  virtual std::unique_ptr<INamedLock> OpenNamedMutex(const std::string& name) = 0;

  virtual bool Exists(const std::string& path) = 0;
  virtual bool FolderExists(const std::string& path) = 0;
  virtual bool CreateFolder(const std::string& path) = 0;
  // Reads at most `limit` bytes; `cut` tells whether the file was longer.
  virtual bool ReadFileData(const std::string& path, size_t limit, std::string& data, bool& cut) = 0;
  virtual bool WriteFileData(const std::string& path, const std::string& data) = 0;
  virtual void RemoveFile(const std::string& path) = 0;

  // The roaming application-data folder (empty when unknown), the 64-bit and
  // the 32-bit system folders, the agent program's folder.
  virtual std::string AppDataFolder() = 0;
  virtual std::string SystemFolder() = 0;
  virtual std::string SystemWow64Folder() = 0;
  virtual std::string ProgramFolder() = 0;
  // cmd.exe by full path.
  virtual std::string CommandShell() = 0;

  // The shell's zip unpacking; false with a line in `log` on failure.
  virtual bool ShellUnzip(const std::string& archive, const std::string& folder, std::string& log) = 0;

  virtual time_t Now() = 0;
  // The real milliseconds of a wait of `clockMs` on this runtime's clock (a
  // fake clock compresses them; at least 1).
  virtual uint32_t RealWaitMs(uint32_t clockMs) { return clockMs; }
};

// The system's runtime (Windows); null where there is none.
ICustomRuntime* system_custom_runtime();

}  // namespace platform
