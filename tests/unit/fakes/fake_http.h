// A scripted HTTP transport for the custom-monitor side: every exchange is
// recorded and answered by a handler; a reply may hang until aborted (or,
// standing for a call that closing its request does not end, until its own
// limit), and the session opens and the exchange thread can be made to fail.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/http_transport.h"

class FakeHttpTransport : public platform::IHttpTransport {
 public:
  struct Reply {
    uint32_t error = 0;
    uint32_t status = 200;
    std::string body;
    bool hang = false;
    bool ignoreAbort = false;
    std::chrono::milliseconds hangLimit{60000};
  };
  using Handler = std::function<Reply(const platform::HttpExchangeSpec&)>;

  explicit FakeHttpTransport(Handler h = nullptr) : handler(std::move(h)) {}

  std::string UserProxy() override { return userProxy; }
  std::unique_ptr<platform::IHttpSession> OpenSession(const std::string&, platform::HttpProxyMode mode,
                                                      const std::string& proxy, bool secure,
                                                      uint32_t& error) override {
    std::lock_guard<std::mutex> hold(lock);
    opens.push_back({mode, proxy});
    if (failedOpens > 0) {
      --failedOpens;
      error = 12001;
      return nullptr;
    }
    lastSecure = secure;
    return std::make_unique<Session>(*this);
  }
  std::string ErrorText(uint32_t error) override { return error == 12002 ? "The operation timed out" : ""; }
  bool StartThread(std::function<void()> work, std::thread& thread, uint32_t& error) override {
    if (failThread) {
      error = 1450;
      return false;
    }
    return platform::IHttpTransport::StartThread(std::move(work), thread, error);
  }

  std::vector<platform::HttpExchangeSpec> Requests() {
    std::lock_guard<std::mutex> hold(lock);
    return requests;
  }
  // The action= value of each request, in order.
  std::vector<std::string> Actions() {
    std::vector<std::string> out;
    for (const auto& r : Requests()) {
      size_t at = r.object.find("action=");
      std::string a = at == std::string::npos ? "" : r.object.substr(at + 7);
      out.push_back(a.substr(0, a.find('&')));
    }
    return out;
  }
  bool WaitForRequests(size_t n, std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
    std::unique_lock<std::mutex> hold(lock);
    return changed.wait_for(hold, limit, [&] { return requests.size() >= n; });
  }
  int Aborts() {
    std::lock_guard<std::mutex> hold(lock);
    return aborts;
  }

  Handler handler;
  std::string userProxy;
  int failedOpens = 0;
  bool failThread = false;
  uint32_t connectError = 0;
  bool lastSecure = false;
  std::vector<std::pair<platform::HttpProxyMode, std::string>> opens;
  uint32_t readPiece = 4096;  // the most one read hands over

 private:
  class Session : public platform::IHttpSession {
   public:
    explicit Session(FakeHttpTransport& t) : t_(t) {}
    uint32_t Connect(const std::string&, uint16_t) override { return t_.connectError; }
    void Exchange(const platform::HttpExchangeSpec& spec, const platform::HttpLog&,
                  const std::function<void(const platform::HttpRead&)>& readBody,
                  platform::HttpExchangeOutcome& outcome) override {
      Reply reply;
      {
        std::lock_guard<std::mutex> hold(t_.lock);
        t_.requests.push_back(spec);
        aborted_ = false;
        t_.changed.notify_all();
      }
      if (t_.handler) reply = t_.handler(spec);
      if (reply.hang) {
        std::unique_lock<std::mutex> hold(t_.lock);
        t_.changed.wait_for(hold, reply.hangLimit, [&] { return aborted_ && !reply.ignoreAbort; });
        outcome.error = aborted_ ? 12017 : 12002;
        return;
      }
      outcome.error = reply.error;
      if (reply.error != 0) return;
      outcome.status = reply.status;
      size_t at = 0;
      readBody([&](char* into, uint32_t want, uint32_t& got, uint32_t&) {
        got = static_cast<uint32_t>(std::min<size_t>({want, reply.body.size() - at, t_.readPiece}));
        std::copy(reply.body.data() + at, reply.body.data() + at + got, into);
        at += got;
        return true;
      });
    }
    void Abort() override {
      std::lock_guard<std::mutex> hold(t_.lock);
      aborted_ = true;
      ++t_.aborts;
      t_.changed.notify_all();
    }

   private:
    FakeHttpTransport& t_;
    bool aborted_ = false;
  };

  std::mutex lock;
  std::condition_variable changed;
  std::vector<platform::HttpExchangeSpec> requests;
  int aborts = 0;
};
