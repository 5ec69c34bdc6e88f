// Fakes of the worker's seams: a scripted gateway exchange, the system, zlib
// with failure switches, and a recorder of status events.
#pragma once

#include <zlib.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "agent/StatusListener.h"
#include "platform/compression.h"
#include "platform/gateway_exchange.h"
#include "platform/system_info.h"

using namespace std::chrono_literals;

class FakeExchange : public IGatewayExchange {
 public:
  void Post(const GatewayRequest& request, const std::function<bool()>&, const Log&, GatewayReply& reply) override {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_requests.push_back(request);
    m_changed.notify_all();
    if (m_hang) {
      m_aborted = false;
      // An exchange that ignores Abort stands for a call that closing its
      // handles does not end (as under Wine); it returns after its own limit.
      m_changed.wait_for(lock, m_hangLimit, [this] { return m_aborted && !m_ignoreAbort; });
      reply.failure = "Data sending failed on making request.";
      reply.error = 12017;
      return;
    }
    if (!m_replies.empty()) {
      reply = m_replies.front();
      m_replies.pop_front();
    } else {
      reply.status = 200;
    }
  }
  void Abort() override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_aborted = true;
    ++m_aborts;
    m_changed.notify_all();
  }
  std::string ErrorText(uint32_t error) override { return "system text " + std::to_string(error); }

  void Queue(GatewayReply reply) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replies.push_back(std::move(reply));
  }
  void Hang(bool on, bool ignoreAbort = false, std::chrono::milliseconds limit = 60s) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_hang = on;
    m_ignoreAbort = ignoreAbort;
    m_hangLimit = limit;
  }
  bool WaitForRequests(size_t n, std::chrono::milliseconds limit = 10s) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, limit, [&] { return m_requests.size() >= n; });
  }
  std::vector<GatewayRequest> Requests() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::deque<GatewayReply> m_replies;
  std::vector<GatewayRequest> m_requests;
  bool m_hang = false;
  bool m_ignoreAbort = false;
  std::chrono::milliseconds m_hangLimit = 60s;
  bool m_aborted = false;
  int m_aborts = 0;
};

inline GatewayReply SessionReply(const std::string& session, uint32_t status = 200, std::string body = "") {
  GatewayReply r;
  r.status = status;
  r.hasSession = true;
  r.sessionId = session;
  r.body = std::move(body);
  return r;
}

class FakeSystem : public ISystemInfo {
 public:
  std::string HostName() override { return "testhost"; }
  std::string OSVersionString() override { return "Microsoft Windows 7 (build 7601) 64-bit"; }
  bool EnableDebugPrivilege() override { return true; }
  std::string TempFolder() override { return "C:\\Temp\\"; }
  void DeleteFolderTree(const std::string& path) override { deleted.push_back(path); }
  void ReportError(const std::string& text) override { reported.push_back(text); }
  std::string ErrorMessage(uint32_t code) override { return "error " + std::to_string(code); }

  std::vector<std::string> deleted, reported;
};

// zlib itself, with switches for the paths the agent must handle.
class FakeCompression : public ICompression {
 public:
  bool available = true, failCompress = false, zeroChecksum = false;

  bool Available() const override { return available; }
  bool Compress(uint8_t* dest, size_t* destLen, const uint8_t* src, size_t srcLen, int level) override {
    if (failCompress) return false;
    uLongf n = *destLen;
    if (compress2(dest, &n, src, srcLen, level) != Z_OK) return false;
    *destLen = n;
    return true;
  }
  uint32_t Adler32(uint32_t adler, const uint8_t* data, size_t size) override {
    if (zeroChecksum && data) return 0;
    return static_cast<uint32_t>(adler32(adler, data, static_cast<uInt>(size)));
  }
};

class StatusRecorder : public IStatusListener {
 public:
  void StatusChanged(uint32_t code, const std::string& text) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.emplace_back(code, text);
    m_changed.notify_all();
  }
  bool WaitFor(uint32_t code, std::chrono::milliseconds limit = 10s) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, limit, [&] {
      for (auto& e : m_events)
        if (e.first == code) return true;
      return false;
    });
  }
  std::vector<std::pair<uint32_t, std::string>> Events() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
  }
  bool Has(uint32_t code, const std::string& text) {
    for (auto& e : Events())
      if (e.first == code && e.second == text) return true;
    return false;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.clear();
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<std::pair<uint32_t, std::string>> m_events;
};
