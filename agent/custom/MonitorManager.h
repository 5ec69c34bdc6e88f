// CMonitorManager: owns the custom monitors. Each GetJobs renews the API
// credentials as far as needed, fetches the jobs above the last job ID and
// turns each into a CCustomMonitor it keeps: plugin monitors under (kind
// monitor, monitor ID), run-command jobs under (kind run, job ID), so the two
// ID spaces never meet. It owns the 33 result senders and routes results and
// job deletions to them.
//
// Threads: the worker creates, uses (GetJobs, StartAllPlugins) and destroys
// the manager on its main-loop thread; Abort comes from the thread that stops
// the work; AddResult, RemoveJob, StartPlugins, StopPlugins and
// DeleteMonitorW come from job and sender threads. The monitors lock and the
// senders lock are never held together, never across a request, and never
// while a job is stopped or joined: entries are taken out under the lock and
// stopped outside it. The manager owns every job object to the end: finished
// run and update jobs wait on a list that the next GetJobs or the destructor
// joins and frees.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "agent/custom/CustomMonitor.h"
#include "agent/custom/CustomOwner.h"
#include "agent/custom/ResultsSendThread.h"

class CCorvaneAPIRequest;

class CMonitorManager {
 public:
  static constexpr size_t kSenders = 33;
  // One deadline for stopping every job and sender.
  static constexpr std::chrono::milliseconds kStopWait{5000};
  static constexpr int kPasses = 5;

  enum class Kind { Monitor = 0, Run = 1 };
  using Key = std::pair<Kind, uint32_t>;
  // Makes the job object for a parsed job (tests and the plugin runner hand
  // in their own).
  using JobFactory = std::function<std::shared_ptr<CCustomMonitor>(CMonitorManager*, CustomJob)>;

  explicit CMonitorManager(ICustomMonitorOwner& owner, JobFactory factory = nullptr);
  ~CMonitorManager();
  CMonitorManager(const CMonitorManager&) = delete;
  CMonitorManager& operator=(const CMonitorManager&) = delete;

  // One credential-and-job fetch; on the worker's main-loop thread.
  void GetJobs();
  // From the thread that stops the work: ends a running request at once;
  // every later fetch step ends silently.
  void Abort();

  void SetCacheLimitMinutes(uint32_t minutes);
  void WriteLogLine(uint32_t code, const std::string& text);
  void AddResult(uint32_t monitorId, uint32_t jobId, const std::string& pluginName, uint64_t threadIndex,
                 int64_t checkTime, const std::string& results, bool isError);
  void RemoveJobs(const std::string& jobIds);
  // A run job that ended: its entry (only its own) leaves the map, its
  // deletion is queued on sender 0; the object waits to be joined and freed.
  void RemoveJob(CCustomMonitor* job, const std::string& status);
  size_t StartAllPlugins();
  void StartPlugins(const std::string& pluginName);
  void StopPlugins(const std::string& pluginName, CCustomMonitor* caller);
  void DeleteMonitorW(uint32_t monitorId);

  ICustomMonitorOwner& Owner() { return m_owner; }
  // Held by a sender while it renews the API credentials.
  std::mutex& RenewalLock() { return m_renewalLock; }
  // When a monitor's first check may start: at most kStartsPerSecond first
  // checks start in each second across the manager, the rest wait their turn.
  static constexpr int kStartsPerSecond = 10;
  CCustomMonitor::Clock::time_point TakeStartSlot(std::chrono::milliseconds second = std::chrono::seconds(1));

  // For tests and diagnostics.
  uint32_t LastJobId() const { return m_lastJobId; }
  size_t MonitorCount() const;
  std::shared_ptr<CCustomMonitor> Find(Kind kind, uint32_t id) const;
  std::vector<std::shared_ptr<CCustomMonitor>> Updates() const;
  const CResultsSendThread* Sender(size_t index) const;

 private:
  using Jobs = std::vector<std::shared_ptr<CCustomMonitor>>;
  bool Working();
  void ProcessJobs(const std::vector<std::string>& texts);
  uint32_t NextThreadIndex();
  // Signals every job, then waits for them against one deadline.
  static void StopJobs(Jobs& jobs, CCustomMonitor::Clock::time_point deadline);
  void ReapFinished();

  ICustomMonitorOwner& m_owner;
  JobFactory m_factory;

  mutable std::mutex m_monitorsLock;
  std::map<Key, std::shared_ptr<CCustomMonitor>> m_monitors;
  Jobs m_updates;   // running update jobs
  Jobs m_finished;  // ended run and update jobs, to be joined and freed
  uint32_t m_lastJobId = 0;

  mutable std::mutex m_sendersLock;
  std::vector<std::unique_ptr<CResultsSendThread>> m_senders;
  uint32_t m_nextThreadIndex = 1;

  std::mutex m_renewalLock;
  std::mutex m_slotLock;
  CCustomMonitor::Clock::time_point m_slot{};
  int m_slotUsed = 0;

  std::mutex m_requestLock;  // guards m_request and m_stopping
  CCorvaneAPIRequest* m_request = nullptr;
  bool m_stopping = false;
};
