// CResultsSendThread: one of the manager's 33 result senders. Sender 0 takes
// job deletions, senders 1 and up the results of the monitors assigned to
// them. It holds the queues (results at most kMaxResults or kMaxResultBytes
// of text, deletions at most 1000; the oldest dropped first) and the age
// limit of results, and, once started, a thread that drains them through the
// API (addResult, deleteJob), renewing the credentials when refused.
//
// Every operation is thread-safe; the queue lock is never held across a
// request or a call out. The stop is sticky: SignalStop also aborts the
// running request, FinishStop joins until its deadline, the destructor joins
// without limit (every step of a pass is bounded). Nothing is posted after a
// stop; queued records are dropped with the object.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

class ICustomMonitorOwner;
class CMonitorManager;
class CCorvaneAPIRequest;

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
  static constexpr size_t kMaxResults = 10000;
  static constexpr size_t kMaxResultBytes = 16777216;
  static constexpr uint32_t kDefaultAgeLimitMinutes = 180;
  static constexpr uint32_t kInfinite = 4294967295u;
  static constexpr uint32_t kCredentialRetry = 10000;  // ms after a failed renewal
  static constexpr int kPasses = 5;
  using Clock = std::chrono::steady_clock;

  CResultsSendThread() = default;
  virtual ~CResultsSendThread();
  CResultsSendThread(const CResultsSendThread&) = delete;
  CResultsSendThread& operator=(const CResultsSendThread&) = delete;

  // Hooks the sender to its owner and manager; StartThread then runs the
  // sending thread (tests may call SendResults directly instead).
  void Attach(ICustomMonitorOwner* owner, CMonitorManager* manager);
  void StartThread();

  void AddResult(CustomResult result);
  void AddRemoveJobs(const std::string& jobIds, const std::string& status);
  void SetCacheLimitMinutes(uint32_t minutes);
  uint32_t CacheLimitMinutes() const;

  size_t QueuedResults() const;
  size_t QueuedDeletions() const;
  std::deque<JobDeletion> Deletions() const;
  std::deque<CustomResult> Results() const;

  // One pass: the time in ms to wait before the next (kInfinite: until data).
  uint32_t SendResults();

  virtual void SignalStop();
  virtual bool FinishStop(Clock::time_point deadline);

 protected:
  mutable std::mutex m_queueLock;
  std::deque<CustomResult> m_results;
  size_t m_resultBytes = 0;
  std::deque<JobDeletion> m_deletions;
  std::atomic<uint32_t> m_ageLimitMinutes{kDefaultAgeLimitMinutes};

 private:
  void ThreadProc();
  bool Working();
  void Note(uint32_t code, const std::string& text);
  void PushBackResult(CustomResult r);

  ICustomMonitorOwner* m_owner = nullptr;
  CMonitorManager* m_manager = nullptr;
  std::condition_variable m_wake;  // data or stop, under m_queueLock
  bool m_data = false;
  bool m_stop = false;
  bool m_done = true;
  std::condition_variable m_doneCv;
  std::thread m_thread;
  uint32_t m_threadId = 0;
  CCorvaneAPIRequest* m_request = nullptr;  // the running pass's, under m_queueLock
};
