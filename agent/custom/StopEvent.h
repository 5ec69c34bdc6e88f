// A sticky stop: once signalled it stays set, and every wait sees it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

class CStopEvent {
 public:
  void Signal() {
    {
      std::lock_guard<std::mutex> hold(m_lock);
      m_set = true;
    }
    m_cv.notify_all();
  }
  bool IsSet() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_set;
  }
  // True when the stop is (or becomes) set within `ms`.
  bool WaitFor(uint32_t ms) {
    std::unique_lock<std::mutex> hold(m_lock);
    return m_cv.wait_for(hold, std::chrono::milliseconds(ms), [this] { return m_set; });
  }
  template <typename TimePoint>
  bool WaitUntil(TimePoint at) {
    std::unique_lock<std::mutex> hold(m_lock);
    return m_cv.wait_until(hold, at, [this] { return m_set; });
  }

 private:
  mutable std::mutex m_lock;
  std::condition_variable m_cv;
  bool m_set = false;
};
