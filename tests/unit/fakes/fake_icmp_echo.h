// A fake of the ICMP seam with failure switches and call counters. Echo
// answers come from a script (the last one repeats); an echo or the raw echo
// can be made to block until cancelled or stopped. Safe from several threads.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/icmp_echo.h"

class FakeIcmpEcho : public IIcmpEcho {
 public:
  // Switches; set before the checks run.
  std::atomic<bool> helperMissing{false};
  std::atomic<bool> unresolved{false};
  std::atomic<bool> openFails{false};
  std::atomic<bool> cancellable{true};
  std::atomic<bool> blockEcho{false};  // an echo waits for Cancel (at most 30 s)
  std::atomic<bool> rawFails{false};
  std::atomic<bool> blockRaw{false};  // the raw echo waits for its stop (at most 30 s)

  void ScriptEchoes(std::vector<IcmpEchoResult> script) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_script = std::move(script);
  }
  void RawResults(std::vector<double> results) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_raw = std::move(results);
  }

  // Counters.
  std::atomic<int> socketsStarted{0}, socketsStopped{0};
  std::atomic<int> opens{0}, closes{0}, echoes{0}, cancels{0}, rawCalls{0};
  std::atomic<int> lastEchoBytes{0}, lastRawSize{0}, lastRawIdentifier{-1};
  std::atomic<uint32_t> lastAddress{0};
  std::atomic<bool> dataAllW{false};

  bool StartSockets() override {
    ++socketsStarted;
    return true;
  }
  void StopSockets() override { ++socketsStopped; }
  bool HelperAvailable() override { return !helperMissing; }
  bool EchoCancellable() override { return cancellable; }
  bool Resolve(const std::string& host, uint32_t& address) override {
    if (unresolved) return false;
    address = static_cast<uint32_t>(host.size());  // something to compare
    return true;
  }

  std::shared_ptr<IIcmpEchoSession> Open() override {
    if (openFails) return nullptr;
    ++opens;
    return std::make_shared<Session>(*this);
  }

  bool RawPing(const std::string&, uint32_t, int32_t count, double* results, uint16_t size,
               uint16_t identifier, const std::function<bool()>& stop) override {
    ++rawCalls;
    lastRawSize = size;
    lastRawIdentifier = identifier;
    if (blockRaw) {
      auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (!stop() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (rawFails || count <= 0) return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int32_t i = 0; i < count; ++i) results[i] = i < static_cast<int32_t>(m_raw.size()) ? m_raw[i] : 0.0;
    return true;
  }

 private:
  class Session : public IIcmpEchoSession {
   public:
    explicit Session(FakeIcmpEcho& owner) : m_owner(owner) {}
    ~Session() override { ++m_owner.closes; }
    IcmpEchoResult Echo(uint32_t address, const std::vector<uint8_t>& data, uint32_t) override {
      int n = m_owner.echoes++;
      m_owner.lastAddress = address;
      m_owner.lastEchoBytes = static_cast<int>(data.size());
      bool allW = true;
      for (uint8_t b : data) allW = allW && b == 'W';
      m_owner.dataAllW = allW;
      if (m_owner.blockEcho) {
        std::unique_lock<std::mutex> lock(m_lock);
        m_wake.wait_for(lock, std::chrono::seconds(30), [this] { return m_cancelled; });
      }
      {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_cancelled) return {IcmpEchoResult::Cancelled, 0};
      }
      std::lock_guard<std::mutex> lock(m_owner.m_mutex);
      if (m_owner.m_script.empty()) return {IcmpEchoResult::Answered, 0};
      size_t i = static_cast<size_t>(n) < m_owner.m_script.size() ? static_cast<size_t>(n)
                                                                  : m_owner.m_script.size() - 1;
      return m_owner.m_script[i];
    }
    void Cancel() override {
      ++m_owner.cancels;
      std::lock_guard<std::mutex> lock(m_lock);
      m_cancelled = true;
      m_wake.notify_all();
    }

   private:
    FakeIcmpEcho& m_owner;
    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_cancelled = false;
  };

  std::mutex m_mutex;
  std::vector<IcmpEchoResult> m_script;
  std::vector<double> m_raw;
};
