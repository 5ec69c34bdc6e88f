// What both WinHTTP exchanges of the agent share (the gateway POST in
// winhttp_exchange, the custom-monitor requests in winhttp_request): handle
// ownership, the set of an exchange's handles that another thread may close,
// the proxy and certificate rules, time-outs from a deadline, the status
// callback's lines and the message lookup. Each caller keeps its own texts.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace win32 {

// Windows Sockets for the duration of one exchange.
class WinsockScope {
 public:
  explicit WinsockScope(WORD version);
  ~WinsockScope();
  WinsockScope(const WinsockScope&) = delete;
  WinsockScope& operator=(const WinsockScope&) = delete;

 private:
  bool started_ = false;
};

// Owns one WinHTTP handle.
class InternetHandle {
 public:
  InternetHandle() = default;
  explicit InternetHandle(HINTERNET handle) : handle_(handle) {}
  ~InternetHandle() { reset(); }
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;

  HINTERNET get() const { return handle_; }
  void reset(HINTERNET handle = nullptr) {
    if (handle_ != nullptr) WinHttpCloseHandle(handle_);
    handle_ = handle;
  }

 private:
  HINTERNET handle_ = nullptr;
};

// The session, connection and request handles of an exchange, closed under
// one lock so that another thread can cut the exchange short. Handles are
// read under the lock each time: after a close they are null and a call
// fails at once instead of touching a closed handle. Closing may call the
// status callback: nothing the callback takes may be held around these calls.
class ExchangeHandles {
 public:
  enum Which { Session, Connection, Request };

  // Stores a new handle. A close of `which` that came first wins: the
  // handle is closed at once and false returned.
  bool Keep(Which which, HINTERNET handle);
  HINTERNET Get(Which which);
  // Closes the request (and with `all` the connection and the session) and
  // marks them closed until the next Reopen.
  void Abort(bool all);
  bool Aborted();
  // Clears the marks and closes what is left, for the next exchange.
  void Reopen(bool all);
  void CloseAll();

 private:
  InternetHandle& Member(Which which);
  std::mutex lock_;
  InternetHandle session_, connect_, request_;
  bool requestClosed_ = false, allClosed_ = false;
};

// The proxy the current user configured for Internet Explorer, if any.
std::wstring UserProxy();

// Flags that let a request through a certificate the machine does not trust:
// unknown authority, wrong usage, name mismatch, expired or not yet valid.
constexpr DWORD kRelaxedCertificateChecks =
    SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE |
    SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
static_assert(kRelaxedCertificateChecks == 0x3300, "the documented override");

// Windows reports a certificate it does not accept as a secure failure;
// Wine reports the same condition as a secure-channel error.
inline bool IsCertificateError(DWORD error) {
  return error == ERROR_WINHTTP_SECURE_FAILURE || error == ERROR_WINHTTP_SECURE_CHANNEL_ERROR;
}

// Adds the relaxed checks to a request's security flags.
void RelaxCertificateChecks(HINTERNET request);

// Resolve, connect, send and receive time-outs of `handle` from what is left
// until `deadline` (at least 1 ms).
void SetTimeoutsFromDeadline(HINTERNET handle, std::chrono::steady_clock::time_point deadline);

// The log line of a status notification; empty for the ones not logged.
std::string CallbackLine(DWORD status, LPVOID info);

// The message of a WinHTTP or system error; empty when neither has one.
std::string WinHttpMessage(uint32_t error);

}  // namespace win32

// The flag list of a secure-failure notification as the log line carries it:
// " (flags)" then one entry per set flag.
std::string SecureFailureText(uint32_t flags);
