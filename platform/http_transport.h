// The HTTP transport of the custom-monitor side, as the portable request
// object (agent/custom/HTTPRequest.h) sees it: a session with one connection,
// on which one exchange runs at a time. The Windows implementation runs over
// synchronous WinHTTP (win32/winhttp_request); tests hand in a fake.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

namespace platform {

using HttpLog = std::function<void(const std::string& line)>;

// Reads up to `size` bytes of the reply body into `into`. False with `error`
// when the read failed; `got` 0 marks the end of the body.
using HttpRead = std::function<bool(char* into, uint32_t size, uint32_t& got, uint32_t& error)>;

struct HttpExchangeSpec {
  bool post = false;
  std::string object;   // path and query, UTF-8; the transport escapes what must be
  std::string headers;  // "Name: value\r\n" lines, UTF-8
  std::string body;
  uint32_t timeoutSeconds = 50;   // the exchange's own calls time out after this
  bool ignoreCertErrors = false;  // the 0x3300 retry (at most 3) on a refused certificate
};

struct HttpExchangeOutcome {
  uint32_t error = 0;   // of the step that failed, 0 when none
  uint32_t status = 0;  // HTTP status, 0 when none was received
};

// A session and its connection. Exchange runs on the request object's
// exchange thread; Abort may come from any other thread at any time.
class IHttpSession {
 public:
  virtual ~IHttpSession() = default;
  // Connects to `host`:`port`; 0 or the error code.
  virtual uint32_t Connect(const std::string& host, uint16_t port) = 0;
  // One exchange: open the request, add the headers, send, receive the
  // status, then hand `readBody` a read function for the body (only after a
  // status came). Every step logs through `log`.
  virtual void Exchange(const HttpExchangeSpec& spec, const HttpLog& log,
                        const std::function<void(const HttpRead&)>& readBody,
                        HttpExchangeOutcome& outcome) = 0;
  // Closes the running exchange's request so that its blocking call returns
  // (where the system supports that). Harmless when nothing runs.
  virtual void Abort() = 0;
};

enum class HttpProxyMode { Named, Default, None };

class IHttpTransport {
 public:
  virtual ~IHttpTransport() = default;
  // The proxy the current user configured, empty when none.
  virtual std::string UserProxy() = 0;
  // Opens a session with one proxy choice; null with `error` when it fails.
  // (The request object tries the choices in turn.)
  virtual std::unique_ptr<IHttpSession> OpenSession(const std::string& userAgent, HttpProxyMode mode,
                                                    const std::string& proxy, bool secure,
                                                    uint32_t& error) = 0;
  // The system's message for an error code; empty when there is none.
  virtual std::string ErrorText(uint32_t error) = 0;
  // Starts the exchange thread; false with the system's error when no
  // thread could be had.
  virtual bool StartThread(std::function<void()> work, std::thread& thread, uint32_t& error) {
    try {
      thread = std::thread(std::move(work));
      return true;
    } catch (const std::system_error& e) {
      error = static_cast<uint32_t>(e.code().value());
      return false;
    }
  }
};

}  // namespace platform
