// CExchangeInFlight: the one gateway exchange that may be running, on a thread
// of its own. The worker starts at most one at a time; a pass of the main loop
// that finds the previous one still running skips its exchange instead of
// starting a second or waiting for it. The thread is never detached and never
// killed: Cancel() closes what it blocks on, Join() bounds the wait, and the
// destructor waits for it without limit.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/gateway_exchange.h"

class CExchangeInFlight {
 public:
  explicit CExchangeInFlight(IGatewayExchange& exchange) : m_exchange(exchange) {}
  ~CExchangeInFlight() { Join(std::chrono::milliseconds::max()); }
  CExchangeInFlight(const CExchangeInFlight&) = delete;
  CExchangeInFlight& operator=(const CExchangeInFlight&) = delete;

  // Runs `work` on a new thread; false when the previous exchange is still
  // running (or no thread could be had). Not called from the exchange's own thread.
  bool Begin(std::function<void()> work) {
    std::lock_guard<std::mutex> control(m_control);
    if (!JoinFinishedLocked()) return false;
    {
      std::lock_guard<std::mutex> lock(m_lock);
      m_done = false;
    }
    try {
      m_thread = std::thread([this, work = std::move(work)] {
        m_threadId = std::this_thread::get_id();
        work();
        m_threadId = std::thread::id();
        std::lock_guard<std::mutex> lock(m_lock);
        m_done = true;
        m_changed.notify_all();
      });
    } catch (...) {
      std::lock_guard<std::mutex> lock(m_lock);
      m_done = true;
      return false;
    }
    return true;
  }

  // Waits until the exchange is done, `limit` has passed or `stopping` answers
  // true (asked again after every Wake()). True when it is done.
  bool WaitDone(std::chrono::milliseconds limit, const std::function<bool()>& stopping) {
    std::unique_lock<std::mutex> lock(m_lock);
    m_changed.wait_for(lock, limit, [&] { return m_done || stopping(); });
    return m_done;
  }

  // Makes WaitDone look at its stop condition again.
  void Wake() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_changed.notify_all();
  }

  // Closes the running exchange's handles so that its blocking calls return.
  void Cancel() { m_exchange.Abort(); }

  // Waits up to `limit` for the exchange to end and joins its thread. True
  // when no exchange thread remains. From the exchange's own thread it only
  // reports whether that thread is the last one.
  bool Join(std::chrono::milliseconds limit) {
    if (OnExchangeThread()) return false;
    std::lock_guard<std::mutex> control(m_control);
    if (!m_thread.joinable()) return true;
    {
      std::unique_lock<std::mutex> lock(m_lock);
      bool done = limit == std::chrono::milliseconds::max()
                      ? (m_changed.wait(lock, [this] { return m_done; }), true)
                      : m_changed.wait_for(lock, limit, [this] { return m_done; });
      if (!done) return false;
    }
    m_thread.join();
    return true;
  }

  // True while an exchange thread has not ended (also one cut off by a stop).
  bool Running() {
    std::lock_guard<std::mutex> lock(m_lock);
    return !m_done;
  }

  bool OnExchangeThread() const { return m_threadId == std::this_thread::get_id(); }

 private:
  // Under m_control: joins a thread whose exchange has ended; false while it runs.
  bool JoinFinishedLocked() {
    if (!m_thread.joinable()) return true;
    {
      std::lock_guard<std::mutex> lock(m_lock);
      if (!m_done) return false;
    }
    m_thread.join();
    return true;
  }

  IGatewayExchange& m_exchange;
  std::mutex m_control;  // guards m_thread: Begin and Join come from different threads
  std::thread m_thread;
  std::atomic<std::thread::id> m_threadId{};  // the exchange's thread while it runs
  std::mutex m_lock;                          // guards m_done
  std::condition_variable m_changed;
  bool m_done = true;
};
