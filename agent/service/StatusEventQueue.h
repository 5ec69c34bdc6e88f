// Status events on their way to the control object's clients. The worker fires
// under its own locks, so its listener only enqueues here and returns: one
// dispatcher thread delivers the events in order, and no worker thread ever
// waits for a client. The queue is bounded; when it is full the oldest event
// goes (the latest status matters most) and the drop is reported.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

struct StatusEvent {
  uint32_t code;
  std::string text;
};

class CStatusEventQueue {
 public:
  struct Hooks {
    std::function<void(const StatusEvent&)> deliver;     // on the dispatcher thread, no lock of ours held
    std::function<void(uint64_t droppedSoFar)> dropped;  // under no lock of ours either
    std::function<void()> threadStart, threadEnd;        // e.g. joining and leaving a COM apartment
  };

  static constexpr size_t kDefaultCapacity = 256;

  explicit CStatusEventQueue(Hooks hooks, size_t capacity = kDefaultCapacity)
      : m_hooks(std::move(hooks)), m_capacity(capacity == 0 ? 1 : capacity) {
    m_thread = std::thread([this] { Dispatch(); });
  }
  ~CStatusEventQueue() {
    Signal();
    if (m_thread.joinable()) m_thread.join();
  }
  CStatusEventQueue(const CStatusEventQueue&) = delete;
  CStatusEventQueue& operator=(const CStatusEventQueue&) = delete;

  // Never waits for a delivery. Ignored once stopping.
  void Push(uint32_t code, std::string text) {
    uint64_t dropped = 0;
    {
      std::lock_guard<std::mutex> lock(m_lock);
      if (m_stopping) return;
      if (m_events.size() >= m_capacity) {
        m_events.pop_front();
        dropped = ++m_dropped;
      }
      m_events.push_back(StatusEvent{code, std::move(text)});
    }
    m_wake.notify_one();
    if (dropped != 0 && m_hooks.dropped) m_hooks.dropped(dropped);
  }

  // Stops taking events, lets the dispatcher end after the delivery in
  // progress (what is still queued is not delivered) and waits for it up to
  // `limit`. False when a delivery still runs: the destructor then waits.
  bool StopFor(std::chrono::milliseconds limit) {
    Signal();
    std::unique_lock<std::mutex> lock(m_lock);
    return m_ended.wait_for(lock, limit, [this] { return m_threadDone; });
  }

  uint64_t Dropped() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_dropped;
  }

 private:
  void Signal() {
    {
      std::lock_guard<std::mutex> lock(m_lock);
      m_stopping = true;
    }
    m_wake.notify_all();
  }

  void Dispatch() {
    if (m_hooks.threadStart) m_hooks.threadStart();
    for (;;) {
      StatusEvent event;
      {
        std::unique_lock<std::mutex> lock(m_lock);
        m_wake.wait(lock, [this] { return m_stopping || !m_events.empty(); });
        if (m_stopping) break;
        event = std::move(m_events.front());
        m_events.pop_front();
      }
      if (m_hooks.deliver) m_hooks.deliver(event);
    }
    if (m_hooks.threadEnd) m_hooks.threadEnd();
    {
      std::lock_guard<std::mutex> lock(m_lock);
      m_threadDone = true;
    }
    m_ended.notify_all();
  }

  const Hooks m_hooks;
  const size_t m_capacity;
  mutable std::mutex m_lock;
  std::condition_variable m_wake, m_ended;
  std::deque<StatusEvent> m_events;
  uint64_t m_dropped = 0;
  bool m_stopping = false;
  bool m_threadDone = false;
  std::thread m_thread;  // last: starts after everything it touches
};
