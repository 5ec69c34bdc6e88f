// CMonCheckerBase: what every built-in monitor shares. A check thread ticks
// (first after 2 s, then every 10 s, whatever the check period), results go to
// the owner's cache and log lines to the owner's status channel. Stopping is
// cooperative: a check polls StopRequested() and bounds its own waits, and a
// stop never waits more than a second for it. The monitor is stopped, running,
// stopping (signalled, not yet waited for) or lingering (a check outlasted the
// stop's wait; it is joined later, never killed).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "corelib/ExceptionRecord.h"
#include "corelib/MonResult2.h"

template <class Owner>
class CMonCheckerBase {
 public:
  using Clock = std::chrono::steady_clock;
  // How long a stop waits for the check thread before leaving it to linger.
  static constexpr std::chrono::milliseconds kStopWait{1000};

  CMonCheckerBase() = default;
  // Too late to stop here: the check thread runs the derived MakeCheck, so
  // every most-derived destructor calls Shutdown() first.
  virtual ~CMonCheckerBase() = default;
  CMonCheckerBase(const CMonCheckerBase&) = delete;
  CMonCheckerBase& operator=(const CMonCheckerBase&) = delete;

  virtual bool ProcessTest(const char* text) = 0;

  // The cache copies the record; the caller still owns it. Nothing is posted
  // once a stop has begun.
  virtual void PostResult(CMonResult2* result) {
    Owner* owner = m_owner;
    if (owner && result && !StopRequested()) owner->AddToCache(result);
  }

  // Every monitor line reaches the agent log (when Trace is on) and the
  // listeners as status 10, whatever the level.
  virtual void WriteLog(int32_t /*level*/, const char* text) {
    Owner* owner = m_owner;
    if (owner && text) owner->NotifyStatus(10, std::string(text));
  }

  // Starts the check thread. Refused while the owner is not working (a stop
  // under way must not be undone by a test line it cut short) and while a
  // stop of this monitor is in progress. A check that outlasted the last stop
  // is waited for here.
  virtual bool Start() {
    std::lock_guard<std::mutex> lock(m_stateLock);
    if (m_state == State::Running) return true;
    if (m_state == State::Stopping) return false;
    Owner* owner = m_owner;
    if (owner && !owner->IsWorking()) return false;
    JoinThreadLocked();
    {
      std::lock_guard<std::mutex> tick(m_tickLock);
      m_stopSignalled = false;
      m_threadDone = false;
    }
    m_stopRequested = false;
    try {
      m_thread = std::thread([this] { CheckThread(); });
    } catch (...) {
      std::lock_guard<std::mutex> tick(m_tickLock);
      m_threadDone = true;
      return false;
    }
    m_state = State::Running;
    return true;
  }

  // Bounded: signals the check thread and waits for it up to kStopWait.
  virtual void Stop() {
    SignalStop();
    FinishStop(Clock::now() + kStopWait);
  }

  // The two halves of Stop, so that an owner stopping several monitors signals
  // them all first and then waits for all of them with one deadline.
  void SignalStop() {
    std::lock_guard<std::mutex> lock(m_stateLock);
    ++m_generation;  // also when idle: tests stored without a thread go too
    if (m_state != State::Running) return;
    m_state = State::Stopping;
    m_stopRequested = true;
    std::lock_guard<std::mutex> tick(m_tickLock);
    m_stopSignalled = true;
    m_tick.notify_all();
  }
  // Waits for a signalled check thread until `deadline`. One still running
  // then lingers: it posts nothing more, keeps its own locks until its pass
  // returns, and is joined by the next Start or by Shutdown. Monitors extend
  // this to free their tests.
  virtual void FinishStop(Clock::time_point deadline) {
    std::lock_guard<std::mutex> lock(m_stateLock);
    if (m_state != State::Stopping) return;
    bool ended;
    {
      std::unique_lock<std::mutex> tick(m_tickLock);
      ended = m_tick.wait_until(tick, deadline, [this] { return m_threadDone; });
    }
    if (ended) {
      if (m_thread.joinable()) m_thread.join();
      m_state = State::Stopped;
    } else {
      m_state = State::Lingering;
    }
  }

  // Stops and waits for the check thread without limit. Called by the owner
  // before it goes and by every most-derived destructor, while MakeCheck and
  // the tests still exist.
  void Shutdown() {
    SignalStop();
    {
      std::lock_guard<std::mutex> lock(m_stateLock);
      JoinThreadLocked();
      m_state = State::Stopped;
    }
    ShutdownChecks();
  }

  virtual void MakeCheck() = 0;
  virtual void ResetSchedule() = 0;

 protected:
  // Monitors that run checks on threads of their own wait for them here,
  // without limit (a check runner's Shutdown).
  virtual void ShutdownChecks() {}

 public:
  void SetOwner(Owner* owner) { m_owner = owner; }
  Owner* GetOwner() const { return m_owner; }
  int32_t GetCheckPeriod() const { return m_checkPeriod; }
  void SetCheckPeriod(int32_t seconds) { m_checkPeriod = seconds; }
  bool IsRunning() const {
    std::lock_guard<std::mutex> lock(m_stateLock);
    return m_state == State::Running;
  }
  // True while a check that outlasted its stop is still under way.
  bool Lingers() const {
    std::lock_guard<std::mutex> lock(m_stateLock);
    return m_state == State::Lingering;
  }

 protected:
  bool StopRequested() const { return m_stopRequested; }
  // Bumped by every stop; tests remember the generation they were added in.
  uint32_t Generation() const { return m_generation; }

  // A bounded pause inside a check; false when a stop cut it short.
  bool PauseUnlessStopped(std::chrono::milliseconds pause) {
    std::unique_lock<std::mutex> lock(m_tickLock);
    return !m_tick.wait_for(lock, pause, [this] { return m_stopSignalled; });
  }

  // Tick lengths; tests of the framework shorten them.
  std::chrono::milliseconds m_firstTick{2000};
  std::chrono::milliseconds m_tickInterval{10000};

  const char* m_unitName = "MonCheckerBase";

 private:
  enum class State { Stopped, Running, Stopping, Lingering };

  void CheckThread() {
    auto wait = m_firstTick;
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(m_tickLock);
        if (m_tick.wait_for(lock, wait, [this] { return m_stopSignalled; })) break;
      }
      wait = m_tickInterval;
      try {
        MakeCheck();
      } catch (...) {
        LOG_EXCEPTION_RECORD(m_unitName);
      }
    }
    std::lock_guard<std::mutex> lock(m_tickLock);
    m_threadDone = true;
    m_tick.notify_all();
  }

  // Under m_stateLock: waits for the check thread, however long it takes.
  void JoinThreadLocked() {
    if (m_thread.joinable()) m_thread.join();
  }

  mutable std::mutex m_stateLock;  // guards m_state and m_thread
  State m_state = State::Stopped;
  std::thread m_thread;
  std::atomic<int32_t> m_checkPeriod{300};
  std::atomic<uint32_t> m_generation{0};

  std::mutex m_tickLock;  // the stop event
  std::condition_variable m_tick;
  bool m_stopSignalled = false;
  bool m_threadDone = true;

  std::atomic<bool> m_stopRequested{false};
  std::atomic<Owner*> m_owner{nullptr};
};
