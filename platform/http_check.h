// What the HTTP monitor asks of the operating system: one request to a web
// server, made within a time budget and cut short by a stop, its body handed
// over in pieces. The monitor keeps the rules (which status codes count, what
// is searched, what the result says); the seam only talks to the server.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

struct HttpCheckRequest {
  std::string host;
  uint16_t port = 80;
  bool secure = false;
  std::string method = "GET";  // "GET", "POST" or "HEAD"
  std::string path;
  std::string body;  // bytes, sent as they are (NULs included)
  std::string user, password;
  std::string proxy;  // empty: the system's preconfigured settings
  std::string userAgent;
  bool readBody = false;
};

// How the seam reaches the caller during a request.
class IHttpCheckSink {
 public:
  virtual ~IHttpCheckSink() = default;
  // The status code has arrived. True: read the Content-Length header and,
  // when the request asks for it, the body; false: read nothing more.
  virtual bool StatusReceived(uint32_t statusCode) = 0;
  // A piece of the body, at most HttpCheckLimits::kPieceBytes long.
  virtual void BodyPiece(const char* data, size_t size) = 0;
};

// How a stop reaches the seam: the seam registers an action that ends its
// waits (it runs on the stopping thread), and clears it before it frees what
// the action touches. SetCancel answers false, having run the action, when the
// stop has already come.
class IHttpCheckStop {
 public:
  virtual ~IHttpCheckStop() = default;
  virtual bool SetCancel(std::function<void()> cancel) = 0;
  virtual void ClearCancel() = 0;
};

struct HttpCheckLimits {
  static constexpr size_t kPieceBytes = 16383;
};

enum class HttpCheckOutcome {
  Done,      // the answer was read as asked
  TimedOut,  // the budget ran out (or a stop came) while a step waited
  Failed,    // a call failed; `error` is its code
};

struct HttpCheckResult {
  HttpCheckOutcome outcome = HttpCheckOutcome::Failed;
  uint32_t error = 0;
  uint32_t statusCode = 0;     // 0 when none was received
  uint32_t contentLength = 0;  // the header's value; 0 when absent or not read
};

class IHttpCheck {
 public:
  virtual ~IHttpCheck() = default;
  virtual HttpCheckResult Check(const HttpCheckRequest& request, std::chrono::milliseconds budget,
                                IHttpCheckSink& sink, IHttpCheckStop& stop) = 0;
  // The system's text for a failure code; empty when it has none.
  virtual std::string ErrorText(uint32_t error) = 0;
};
