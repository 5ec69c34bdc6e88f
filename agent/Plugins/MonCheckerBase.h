// CMonCheckerBase: what every built-in monitor shares. A check thread ticks
// (first after 2 s, then every 10 s, whatever the check period), results go to
// the owner's cache and log lines to the owner's status channel. Stopping is
// cooperative: a check polls StopRequested() and bounds its own waits, and a
// stop never waits more than a second for it.
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
  CMonCheckerBase() = default;
  // Derived monitors stop the thread in their own destructor, while their
  // MakeCheck still exists; here only a lingering check is waited for.
  virtual ~CMonCheckerBase() { JoinLingering(); }
  CMonCheckerBase(const CMonCheckerBase&) = delete;
  CMonCheckerBase& operator=(const CMonCheckerBase&) = delete;

  virtual bool ProcessTest(const char* text) = 0;

  // The cache copies the record; the caller still owns it. Nothing is posted
  // once a stop has begun.
  virtual void PostResult(CMonResult2* result) {
    std::lock_guard<std::mutex> lock(m_postLock);
    if (m_owner && result && !m_stopRequested) m_owner->AddToCache(result);
  }

  // Every monitor line reaches the agent log (when Trace is on) and the
  // listeners as status 10, whatever the level.
  virtual void WriteLog(int32_t /*level*/, const char* text) {
    if (m_owner && text) m_owner->NotifyStatus(10, std::string(text));
  }

  virtual bool Start() {
    std::lock_guard<std::mutex> lock(m_stateLock);
    if (m_running) return true;
    JoinLingering();
    {
      std::lock_guard<std::mutex> post(m_postLock);
      m_stopRequested = false;
    }
    {
      std::lock_guard<std::mutex> tick(m_tickLock);
      m_threadDone = false;
    }
    try {
      m_thread = std::thread([this] { CheckThread(); });
    } catch (...) {
      return false;
    }
    m_running = true;
    return true;
  }

  virtual void Stop() { StopThread(); }
  virtual void MakeCheck() = 0;
  virtual void ResetSchedule() = 0;

  void SetOwner(Owner* owner) { m_owner = owner; }
  Owner* GetOwner() const { return m_owner; }
  int32_t GetCheckPeriod() const { return m_checkPeriod; }
  void SetCheckPeriod(int32_t seconds) { m_checkPeriod = seconds; }
  bool IsRunning() const {
    std::lock_guard<std::mutex> lock(m_stateLock);
    return m_running;
  }

 protected:
  bool StopRequested() const {
    std::lock_guard<std::mutex> lock(m_postLock);
    return m_stopRequested;
  }

  // A bounded pause inside a check; false when a stop cut it short.
  bool PauseUnlessStopped(std::chrono::milliseconds pause) {
    std::unique_lock<std::mutex> lock(m_tickLock);
    return !m_tick.wait_for(lock, pause, [this] { return m_stopSignalled; });
  }

  // Tick lengths; tests of the framework shorten them.
  std::chrono::milliseconds m_firstTick{2000};
  std::chrono::milliseconds m_tickInterval{10000};

  // Ends the check thread; called by every Stop override before it frees its tests.
  void StopThread() {
    std::unique_lock<std::mutex> lock(m_stateLock);
    if (!m_running) return;
    m_running = false;
    {
      std::lock_guard<std::mutex> post(m_postLock);
      m_stopRequested = true;
    }
    std::unique_lock<std::mutex> tick(m_tickLock);
    m_stopSignalled = true;
    m_tick.notify_all();
    bool ended = m_tick.wait_for(tick, std::chrono::milliseconds(1000), [this] { return m_threadDone; });
    tick.unlock();
    if (ended) {
      m_thread.join();
    } else {
      // A check that ignores the stop keeps its own locks until it returns; it
      // is joined by the next Start or the destructor, and posts nothing more.
      m_lingering = std::move(m_thread);
    }
  }

 private:
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
    m_stopSignalled = false;
    m_threadDone = true;
    m_tick.notify_all();
  }

  void JoinLingering() {
    if (m_lingering.joinable()) m_lingering.join();
  }

 protected:
  const char* m_unitName = "MonCheckerBase";

 private:
  mutable std::mutex m_stateLock;  // guards m_running and the thread objects
  bool m_running = false;
  std::atomic<int32_t> m_checkPeriod{300};
  std::thread m_thread;
  std::thread m_lingering;

  std::mutex m_tickLock;  // the stop event
  std::condition_variable m_tick;
  bool m_stopSignalled = false;
  bool m_threadDone = true;

  mutable std::mutex m_postLock;
  bool m_stopRequested = false;

  Owner* m_owner = nullptr;
};
