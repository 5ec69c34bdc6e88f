// The HTTP exchange with the agent gateway: one synchronous POST with the
// agent's header block and body, the Mon-SessionID response header and the
// reply body. The Windows implementation runs over WinHTTP; tests use a fake.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct GatewayRequest {
  std::string host;
  uint16_t port = 443;
  std::string path;
  bool secure = true;
  std::string proxy;  // empty: the user's configured proxy, else none
  std::string userAgent;
  std::string headers;  // "Name: value\r\n" lines, UTF-8
  std::vector<uint8_t> body;
  // A failed certificate check is retried once with the checks relaxed only
  // when the operator asked for it (Settings value IgnoreCertErrors = 1).
  bool ignoreCertErrors = false;
};

struct GatewayReply {
  bool abandoned = false;  // the work stopped between two steps: no message, no reply handling
  std::string failure;     // the failing step's message, empty when every step succeeded
  uint32_t error = 0;      // WinHTTP or system error code of the failure, 0 when none
  uint32_t status = 0;     // HTTP status, when one was received
  bool hasSession = false;  // Mon-SessionID present and at most 127 characters
  std::string sessionId;
  std::string body;
  // The body's read failed (at once or part-way), or it ended short of its Content-Length:
  // what came is not the reply and is not to be executed (`failure` says so).
  bool bodyCut = false;
};

// A Mon-SessionID counts only with 1 to 127 characters, each printable ASCII
// other than the blank (0x21-0x7E). It goes back to the gateway in the next
// header block, so anything else (a line break above all) counts as absent.
inline bool IsValidSessionId(const std::string& id) {
  if (id.empty() || id.size() > 127) return false;
  for (unsigned char c : id)
    if (c < 0x21 || c > 0x7E) return false;
  return true;
}

class IGatewayExchange {
 public:
  using Log = std::function<void(const std::string& line)>;
  virtual ~IGatewayExchange() = default;

  // Runs one exchange. `working` is asked between the steps; once it answers
  // false the exchange is abandoned. Every log line goes to `log`.
  virtual void Post(const GatewayRequest& request, const std::function<bool()>& working, const Log& log,
                    GatewayReply& reply) = 0;
  // Called from another thread: closes the running exchange's handles so that
  // its blocking calls return. Harmless when nothing runs.
  virtual void Abort() = 0;
  // The system's text for an error code of an exchange.
  virtual std::string ErrorText(uint32_t error) = 0;
};
