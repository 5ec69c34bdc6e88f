// Log collection for support cases: the logs of the last two days from every
// writer are copied into a dated folder in the log folder, the zip tool beside
// the program packs them into a time-stamped archive there, and the folder
// goes again. One local time names the folder and the archive and picks the
// days. The process's current folder is never changed: the tool gets the log
// folder as its own, so the relative names of its command line resolve there.
// Collections run one at a time (they would share names within a second). A
// link at the folder's or the archive's name is removed as a link, never
// followed: the agent runs as SYSTEM, and the log folder's names are known.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/local_time.h"

// The file system, the clock, the writers and the child process as the
// collection sees them; the agent's are in agent/service, tests use fakes.
class ILogCollectionSeams {
 public:
  enum class LogSource { exceptions, customApi, customMonitor, agentAndUpdate };
  struct ChildResult {
    bool started = false;
    bool finished = false;  // within the time limit
    uint32_t exitCode = 255;
  };

  virtual ~ILogCollectionSeams() = default;
  virtual std::string LogFolder() = 0;      // with its trailing separator; empty when there is none
  virtual std::string ProgramFolder() = 0;  // without a trailing separator
  virtual platform::LocalTime Now() = 0;
  virtual bool IsLink(const std::string& path) = 0;  // a reparse point (symbolic link, junction)
  virtual bool RemoveLink(const std::string& path) = 0;
  virtual bool Exists(const std::string& path) = 0;
  virtual bool DeleteTree(const std::string& path) = 0;  // silently, not to a recycle bin
  virtual bool MakeFolder(const std::string& path) = 0;
  virtual bool RemoveFile(const std::string& path) = 0;
  virtual std::vector<std::string> LogFiles(const std::string& folder) = 0;  // names matching "*.log"
  // Copies a writer's files of `days` days up to `today` into `folder`.
  virtual int CopyLogs(LogSource source, const std::string& folder, int days,
                       const platform::LocalTime& today, bool upgradeStarted) = 0;
  // Runs the command line (hidden window, no inherited handles) in
  // `currentFolder`; after `timeoutMs` it is ended with exit code 255.
  virtual ChildResult RunChild(const std::string& commandLine, const std::string& currentFolder,
                               uint32_t timeoutMs) = 0;
  virtual void Log(const std::string& line) = 0;
};

class CLogCollector {
 public:
  enum class Outcome {
    archive,  // `path` names the archive
    noLogs,   // nothing to collect: no folder, no archive
    failed,   // the logs could not be packed; nothing is left behind
  };
  struct Result {
    Outcome outcome = Outcome::failed;
    std::string path;
  };

  static constexpr int kDays = 2;
  static constexpr uint32_t kToolTimeoutMs = 60000;
  static constexpr size_t kMaxPath = 260;

  explicit CLogCollector(ILogCollectionSeams& seams) : m_seams(seams) {}
  Result CollectLogs(bool upgradeStarted);

 private:
  // Removes whatever is at `path` (a link as a link); true when nothing is left.
  bool Clear(const std::string& path, bool folder);

  ILogCollectionSeams& m_seams;
  std::mutex m_lock;  // one collection at a time
};
