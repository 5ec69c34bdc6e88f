// CCustomMonitor: one job of the custom-monitor API, parsed from its `job`
// element, and owned by the monitor manager (agent/custom/MonitorManager.h)
// from its creation to its end. Add and edit jobs are plugin monitors kept
// under their monitor ID; run-command jobs are kept under their job ID;
// update-plugin jobs are kept on the manager's update list.
//
// The job's threads (the plugin runner: a check thread, a run or an update
// thread) attach through StartCheck/StartUpdate; until they exist a stored
// monitor stays stopped. The manager's contract with a job:
//   - StartCheck/StartUpdate are called by the manager only, never under a
//     lock the job's threads take;
//   - SignalStop asks every thread of the job to end and returns at once;
//     FinishStop waits for them until the deadline; the destructor waits
//     without limit (every wait of a job's thread is bounded);
//   - a run or update job that ends reports Finished() and, for a run job,
//     calls the manager's RemoveJob(this, status) from its own thread; the
//     manager joins and frees it later (never the job itself).
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/xml_document.h"

class CMonitorManager;

struct CustomJob {
  enum Type : int32_t { Unknown = -1, Add = 0, Edit = 1, Delete = 2, UpdatePlugin = 3, RunCommand = 4 };

  uint32_t jobId = 0;
  uint32_t monitorId = 0;
  std::string runnerFile;
  std::string parameters;
  uint32_t interval = 5;  // minutes
  time_t nextCheck = 0;
  int32_t type = Unknown;
  std::string command, user, password;
  std::string setupFile, pluginName, downloadUrl, version;
  uint32_t maxParallelJobs = 1;
};

// Parses one `job` element. `summary` receives the job's summary line (for
// the custom-monitor log); `lines` the separate lines about missing parts.
// A text that cannot be parsed leaves the defaults (type unknown).
CustomJob ParseCustomJob(const std::string& text, time_t now,
                         const std::function<std::unique_ptr<platform::IXmlDocument>(int32_t&)>& makeXml,
                         std::string& summary, std::vector<std::string>& lines);

class CCustomMonitor {
 public:
  using Clock = std::chrono::steady_clock;

  CCustomMonitor(CMonitorManager* manager, CustomJob job) : m_manager(manager), m_job(std::move(job)) {}
  virtual ~CCustomMonitor() = default;
  CCustomMonitor(const CCustomMonitor&) = delete;
  CCustomMonitor& operator=(const CCustomMonitor&) = delete;

  const CustomJob& Job() const { return m_job; }
  uint32_t ThreadIndex() const { return m_threadIndex; }
  void SetThreadIndex(uint32_t index) { m_threadIndex = index; }
  CMonitorManager* Manager() const { return m_manager; }

  // The plugin runner's part. Until it is built a monitor never runs.
  virtual bool IsRunning() const { return false; }
  virtual bool StartCheck() { return false; }
  virtual bool StartUpdate() { return false; }
  virtual void SignalStop() {}
  virtual bool FinishStop(Clock::time_point) { return true; }
  virtual bool Finished() const { return !IsRunning(); }

 private:
  CMonitorManager* const m_manager;
  const CustomJob m_job;
  uint32_t m_threadIndex = 0;
};
