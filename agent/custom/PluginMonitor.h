// CPluginMonitor: a custom-monitor job at run time. Add and edit jobs run a
// periodic check thread (CheckProc), run jobs one command (RunProc), update
// jobs one plugin update (UpdateProc). The system is reached only through
// platform::ICustomRuntime, the API through the owner's transport.
//
// Stop: the stop is sticky and every wait of the job's threads watches it
// (named locks and processes in short slices, a download by aborting its
// request), so a thread ends within about a second of SignalStop. After a
// stop nothing is posted (results, deletions, plugin restarts): posting and
// signalling share one lock. A named-lock unit is released only by the thread
// that took it, on every way out.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "agent/custom/CustomMonitor.h"
#include "agent/custom/StopEvent.h"
#include "platform/custom_runtime.h"

class CHTTPRequest;
class ICustomMonitorOwner;

class CPluginMonitor : public CCustomMonitor {
 public:
  static constexpr const char* kStopMarker = "{#$Stop$#}";
  static constexpr uint32_t kStopCode = 4294967295u;
  static constexpr size_t kOutputLimit = 1048576;  // plugin output read, 1 MiB

  CPluginMonitor(CMonitorManager* manager, CustomJob job, platform::ICustomRuntime& runtime);
  ~CPluginMonitor() override;

  bool IsRunning() const override;
  bool StartCheck() override;
  bool StartUpdate() override;
  void SignalStop() override;
  bool FinishStop(Clock::time_point deadline) override;
  bool Finished() const override;

  // The runner's parts, public for tests. `stop` is the job's stop.
  std::string RunPlugin(const std::string& folder, const std::string& script, const std::string& params,
                        uint32_t& exitCode, uint32_t timeoutMinutes);
  std::string RunProcess(const std::string& command, const std::string& user, const std::string& password,
                         uint32_t& exitCode, uint32_t timeoutMinutes);
  std::string DownloadPlugin(uint32_t& exitCode, const std::string& runnerFile);
  bool Unzip2Folder(const std::string& archive, const std::string& folder);
  std::string PluginFolder();
  time_t NextCheck() const { return m_nextCheck.load(); }

  // The thread bodies (run on the job's thread).
  void CheckProc();
  void RunProc();
  void UpdateProc();

 private:
  enum class Got { Unit, Stop, Timeout };
  Got AcquireWatching(platform::INamedLock& lock, uint64_t ms);
  bool Launch(std::function<void()> body);
  void Log(const std::string& line);
  bool Stopped() const { return m_stop && m_stop->IsSet(); }
  bool PostResult(int64_t checkTime, const std::string& result, bool isError);
  bool PostRemove(const std::string& status);
  bool WaitForSlot();
  // Waits for a started process in 1-s steps, watching the stop.
  enum class Ended { Yes, Stop, Timeout };
  Ended WaitProcess(platform::IProcess& process, uint32_t timeoutMinutes);

  platform::ICustomRuntime& m_runtime;
  ICustomMonitorOwner& m_owner;

  mutable std::mutex m_lock;  // guards the thread, the stop, m_http and posting
  std::condition_variable m_doneCv;
  std::thread m_thread;
  std::atomic<bool> m_done{true};  // read without the lock (under the manager's)
  bool m_ran = false;              // a run or update job runs once
  std::shared_ptr<CStopEvent> m_stop;
  CHTTPRequest* m_http = nullptr;
  std::atomic<time_t> m_nextCheck;
  std::unique_ptr<platform::INamedLock> m_semaphore, m_downloadMutex;
};
