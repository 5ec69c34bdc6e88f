// CHTTPRequest: one HTTP or HTTPS exchange at a time for the custom-monitor
// side (the API client, later plugin downloads). The exchange runs on a thread
// of its own so the caller can bound it; the WinHTTP work is the transport
// seam's (platform/http_transport.h), the rules are here: the time-out, the
// headers, the reply's growth and limit, the error state.
//
// Lifetimes: an exchange thread co-owns its session and its own state, and
// writes only into that state; the object takes the results over only when
// the thread ended in time. A thread that outlives its time-out (a call that
// closing its request does not end, as under Wine) is handed to a process-wide
// list, joined once it ends (by the next exchange of any object, or by
// JoinLeftoverHttpExchanges), so neither the next exchange nor the destructor
// waits for it. No thread is detached or killed.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/http_transport.h"

// The time-out rule: 1..86400 seconds as given, anything else 50.
uint32_t EffectiveTimeoutSeconds(uint32_t seconds);

// Reads a reply body the way the transport grows its buffer: a first buffer
// of `initial` bytes, chunks doubling, one line per read to `log`. Stops at
// the end of the data, at a failed read (its error) or once `limit` bytes are
// in (error 12152; the last read may pass the limit). A failed allocation
// gives 8. What was read stays in `reply` in every case. Returns the error.
uint32_t ReadReplyBody(const platform::HttpRead& read, size_t initial, size_t limit,
                       const platform::HttpLog& log, std::string& reply);

// Exchange threads that outlived their request and have not ended yet.
size_t LeftoverHttpExchanges();
// Joins them all, without limit (the worker's destructor: every exchange
// call is bounded by its own time-outs).
void JoinLeftoverHttpExchanges();

class CHTTPRequest {
 public:
  static constexpr uint32_t kTimeoutError = 12002;    // ERROR_WINHTTP_TIMEOUT
  static constexpr uint32_t kCancelledError = 12017;  // ERROR_WINHTTP_OPERATION_CANCELLED
  static constexpr uint32_t kTooLargeError = 12152;   // ERROR_WINHTTP_INVALID_SERVER_RESPONSE
  static constexpr uint32_t kOutOfMemory = 8;         // ERROR_NOT_ENOUGH_MEMORY

  struct Options {
    std::string proxy;
    bool secure = false;
    size_t initialBuffer = 8192;
    size_t limit = 16777216;
    bool ignoreCertErrors = false;  // Settings "IgnoreCertErrors" is 1
  };

  // Null when no session could be opened. Every line goes to `log`.
  static std::unique_ptr<CHTTPRequest> Create(platform::IHttpTransport& transport, const Options& options,
                                              platform::HttpLog log);
  ~CHTTPRequest();
  CHTTPRequest(const CHTTPRequest&) = delete;
  CHTTPRequest& operator=(const CHTTPRequest&) = delete;

  bool Connect(const std::string& host, uint16_t port);

  // One exchange. The status and reply of the previous one are cleared first.
  // True when it completed without a recorded error; the HTTP status is then
  // whatever the server answered. `email` and `agentName` go into the headers.
  bool MakeRequest(const std::string& url, bool post, const std::string& body, uint32_t timeoutSeconds,
                   const std::string& email, const std::string& agentName);

  uint32_t StatusCode() const { return m_status; }
  bool HasReply() const { return !m_reply.empty(); }
  const std::string& Reply() const { return m_reply; }
  uint32_t LastError() const { return m_error; }
  // The last error with its text: "No Error" for 0, else the system's
  // message, or "Unknown Error." when it has none.
  uint32_t ErrorText(std::string& text) const;

  // From another thread (a stop): ends the running exchange at once and makes
  // every later one fail with kCancelledError.
  void Abort();

  // One exchange's shared state (HTTPRequest.cpp); opaque to callers.
  struct Exchange;

 private:
  CHTTPRequest(platform::IHttpTransport& transport, const Options& options, platform::HttpLog log,
               std::shared_ptr<platform::IHttpSession> session);
  void Log(const std::string& line) const;

  platform::IHttpTransport& m_transport;
  const Options m_options;
  const platform::HttpLog m_log;
  const std::shared_ptr<platform::IHttpSession> m_session;

  uint32_t m_status = 0;
  std::string m_reply;
  uint32_t m_error = 0;

  std::mutex m_abortLock;  // guards m_aborted and m_running
  bool m_aborted = false;
  std::shared_ptr<Exchange> m_running;
  // The last exchange that outlived its time-out: its session is busy until it ends.
  std::weak_ptr<Exchange> m_leftover;
};
