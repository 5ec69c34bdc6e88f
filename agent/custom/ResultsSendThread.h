// CResultsSendThread: one of the manager's 33 result senders. Sender 0 takes
// job deletions, senders 1 and up the results of the monitors assigned to
// them. This holds the queues (results unbounded, deletions at most 1000,
// oldest dropped first) and the age limit of results; the sending thread
// that drains them through the API attaches to SignalStop/FinishStop.
// Every operation is thread-safe; the queue lock is never held across a
// request.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

struct CustomResult {
  uint32_t monitorId = 0, jobId = 0;
  std::string pluginName;
  int64_t checkTime = 0;
  std::string results;
  bool isError = false;
};

struct JobDeletion {
  std::string jobIds;  // comma-separated decimal IDs
  std::string status;
};

class CResultsSendThread {
 public:
  static constexpr size_t kMaxDeletions = 1000;
  static constexpr uint32_t kDefaultAgeLimitMinutes = 180;
  using Clock = std::chrono::steady_clock;

  CResultsSendThread() = default;
  virtual ~CResultsSendThread() = default;
  CResultsSendThread(const CResultsSendThread&) = delete;
  CResultsSendThread& operator=(const CResultsSendThread&) = delete;

  void AddResult(CustomResult result);
  void AddRemoveJobs(const std::string& jobIds, const std::string& status);
  void SetCacheLimitMinutes(uint32_t minutes);
  uint32_t CacheLimitMinutes() const;

  size_t QueuedResults() const;
  size_t QueuedDeletions() const;
  std::deque<JobDeletion> Deletions() const;

  virtual void SignalStop() {}
  virtual bool FinishStop(Clock::time_point) { return true; }

 protected:
  mutable std::mutex m_queueLock;
  std::deque<CustomResult> m_results;
  std::deque<JobDeletion> m_deletions;
  uint32_t m_ageLimitMinutes = kDefaultAgeLimitMinutes;
};
