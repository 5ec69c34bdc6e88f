// Windows Sockets must come before windows.h, which the header brings in.
#include <winsock2.h>

#include "platform/win32/winhttp_exchange.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "platform/text_format.h"
#include "platform/win32/error_text.h"
#include "platform/win32/wide.h"

namespace {

constexpr size_t kReadPiece = 1024;
constexpr size_t kBufferStep = 4096;

}  // namespace

// One exchange, step by step. Every step that fails records the gateway
// session's message for it and the error code of the failing call.
class WinHttpExchange::Steps {
 public:
  Steps(WinHttpExchange& exchange, const GatewayRequest& request, const std::function<bool()>& working,
        GatewayReply& reply)
      : x_(exchange), request_(request), working_(working), reply_(reply) {}

  void Run() {
    std::wstring proxy = win32::Widen(request_.proxy);
    if (proxy.empty()) proxy = win32::UserProxy();
    x_.Write("Openning connection...");

    if (Stopped()) return;
    HINTERNET session =
        WinHttpOpen(win32::Widen(request_.userAgent).c_str(),
                    proxy.empty() ? WINHTTP_ACCESS_TYPE_DEFAULT_PROXY : WINHTTP_ACCESS_TYPE_NAMED_PROXY,
                    proxy.empty() ? WINHTTP_NO_PROXY_NAME : proxy.c_str(), WINHTTP_NO_PROXY_BYPASS, 0);
    if (!Keep(win32::ExchangeHandles::Session, session, "Data sending failed on internal initialization."))
      return;

    if (Stopped()) return;
    x_.Write(Format("Connecting to %s:%d...", request_.host.c_str(), request_.port));
    HINTERNET connect = WinHttpConnect(Session(), win32::Widen(request_.host).c_str(), request_.port, 0);
    if (!Keep(win32::ExchangeHandles::Connection, connect,
              "Data sending failed on opening http session for the server."))
      return;

    if (Stopped()) return;
    x_.Write(Format("Openning request to %s...", request_.path.c_str()));
    HINTERNET req = WinHttpOpenRequest(Connection(), L"POST", win32::Widen(request_.path).c_str(), nullptr,
                                       WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                       WINHTTP_FLAG_REFRESH | (request_.secure ? WINHTTP_FLAG_SECURE : 0));
    if (!Keep(win32::ExchangeHandles::Request, req, "Data sending failed on preparing http request.")) return;
    // Diagnostics only: an exchange without its trace lines still works.
    WinHttpSetStatusCallback(Request(), &WinHttpExchange::StatusCallback,
                             WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS, 0);

    if (Stopped()) return;
    if (!AddHeaders()) return;
    if (Stopped()) return;
    if (!Send()) return;
    if (Stopped()) return;
    if (!QueryStatus()) return;
    if (Stopped()) return;
    QuerySession();
    if (Stopped()) return;
    ReadBody();
  }

 private:
  bool Stopped() {
    if (!working_ || working_()) return false;  // nobody to ask: the work goes on
    reply_.abandoned = true;
    return true;
  }

  void Fail(const char* message, DWORD error) {
    reply_.failure = message;
    reply_.error = error;
    // After an abort the calls fail on closed handles; the cause is the abort.
    if (x_.handles_.Aborted()) reply_.error = ERROR_WINHTTP_OPERATION_CANCELLED;
  }

  // Stores a new handle where Abort can reach it. An abort that came first
  // wins: the handle is closed at once and the step fails.
  bool Keep(win32::ExchangeHandles::Which which, HINTERNET handle, const char* message) {
    const DWORD error = GetLastError();
    if (x_.handles_.Keep(which, handle)) return true;
    Fail(message, error);
    return false;
  }

  HINTERNET Session() { return x_.handles_.Get(win32::ExchangeHandles::Session); }
  HINTERNET Connection() { return x_.handles_.Get(win32::ExchangeHandles::Connection); }
  HINTERNET Request() { return x_.handles_.Get(win32::ExchangeHandles::Request); }

  bool AddHeaders() {
    x_.Write("Adding request headers... \r\n" + request_.headers + "\r\n");
    if (request_.headers.empty()) return true;  // WinHTTP refuses an empty block; nothing to add
    const std::wstring headers = win32::Widen(request_.headers);
    if (WinHttpAddRequestHeaders(Request(), headers.c_str(), static_cast<DWORD>(headers.size()),
                                 WINHTTP_ADDREQ_FLAG_ADD))
      return true;
    Fail("Data sending failed when adding http headers.", GetLastError());
    return false;
  }

  bool Send() {
    const std::vector<uint8_t>& body = request_.body;
    x_.Write(Format("Sending data '%d' bytes...", static_cast<int>(body.size())));
    if (body.size() > MAXDWORD) {
      Fail("Data sending failed on making request.", ERROR_INVALID_PARAMETER);
      return false;
    }
    const DWORD length = static_cast<DWORD>(body.size());
    // WinHTTP takes the body as non-const but only reads it.
    void* data = body.empty() ? WINHTTP_NO_REQUEST_DATA : const_cast<uint8_t*>(body.data());
    for (int attempt = 0;; ++attempt) {
      if (WinHttpSendRequest(Request(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, data, length, length,
                             reinterpret_cast<DWORD_PTR>(&x_)))
        break;
      const DWORD error = GetLastError();
      // A certificate the machine does not trust is let through once, and
      // only when the operator asked for it.
      if (attempt == 0 && request_.ignoreCertErrors && win32::IsCertificateError(error)) {
        win32::RelaxCertificateChecks(Request());
        continue;
      }
      x_.Write(Format("Request sending failed with error %d", static_cast<int>(error)));
      Fail("Data sending failed on making request.", error);
      return false;
    }
    // A failure here shows in the status query that follows.
    WinHttpReceiveResponse(Request(), nullptr);
    return true;
  }

  bool QueryStatus() {
    DWORD status = 0, size = sizeof status;
    if (!WinHttpQueryHeaders(Request(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
      Fail("Data sending failed on querying response status code.", GetLastError());
      return false;
    }
    reply_.status = status;
    x_.Write(Format("Received '%d' response...", static_cast<int>(status)));
    return true;
  }

  void QuerySession() {
    // 256 bytes: a session identifier of at most 127 characters; a longer
    // one does not fit and counts as absent. What it may contain is the
    // worker's rule (IsValidSessionId).
    wchar_t value[128] = {};
    DWORD size = sizeof value;
    if (!WinHttpQueryHeaders(Request(), WINHTTP_QUERY_CUSTOM, L"Mon-SessionID", value, &size,
                             WINHTTP_NO_HEADER_INDEX))
      return;
    reply_.hasSession = true;
    reply_.sessionId = win32::Narrow(value, static_cast<int>(size / sizeof(wchar_t)));
  }

  void ReadBody() {
    std::vector<char> buffer(kBufferStep);
    size_t total = 0;
    bool anyRead = false, tooLarge = false;
    DWORD error = 0;
    for (;;) {
      if (total + kReadPiece > buffer.size()) buffer.resize(buffer.size() + kBufferStep);
      DWORD got = 0;
      if (!WinHttpReadData(Request(), buffer.data() + total, kReadPiece, &got)) {
        error = GetLastError();
        break;
      }
      anyRead = true;
      x_.Write(Format("Received '%d' bytes.", static_cast<int>(got)));
      if (got == 0) break;
      total += got;
      if (total > x_.maxReplyBytes_) {
        tooLarge = true;
        break;
      }
    }
    if (tooLarge) {
      x_.Write("Reply larger than " + std::to_string(x_.maxReplyBytes_) + " bytes; it is not accepted.");
      Fail("Data sending failed on reading response from the server.", ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
      return;
    }
    if (total != 0) x_.Write(Format("Total received '%d' bytes.", static_cast<int>(total)));
    reply_.body.assign(buffer.data(), total);
    // The log shows the text as far as a zero byte; the reply keeps it all.
    const std::string text(reply_.body.c_str());
    if (!text.empty()) x_.Write("Received data:\r\n'" + text + "'\r\n");
    DWORD announced = 0, size = sizeof(announced);
    const bool hasLength =
        WinHttpQueryHeaders(Request(), WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &announced, &size,
                            WINHTTP_NO_HEADER_INDEX) != FALSE;
    if (!anyRead || error != 0 || (hasLength && total < announced)) {
      // The gateway answered (its status came); only the body is lost. The
      // error code stays out of the reply, so that the batch still counts as
      // delivered.
      x_.Write(Format("Reply cut after '%d' of '%d' bytes (error %lu); it is not executed.",
                      static_cast<int>(total), hasLength ? static_cast<int>(announced) : -1,
                      static_cast<unsigned long>(error)));
      reply_.failure = "Data sending failed on reading response from the server.";
      reply_.bodyCut = true;
    }
  }

  WinHttpExchange& x_;
  const GatewayRequest& request_;
  const std::function<bool()>& working_;
  GatewayReply& reply_;
};

WinHttpExchange::~WinHttpExchange() { handles_.CloseAll(); }

void WinHttpExchange::Post(const GatewayRequest& request, const std::function<bool()>& working,
                           const Log& log, GatewayReply& reply) {
  reply = GatewayReply();
  win32::WinsockScope winsock(MAKEWORD(2, 2));
  handles_.Reopen(true);  // anything left from an exchange that was cut short
  {
    std::lock_guard<std::mutex> lock(logMutex_);
    log_ = &log;
  }
  Steps(*this, request, working, reply).Run();
  handles_.CloseAll();
  std::lock_guard<std::mutex> lock(logMutex_);
  log_ = nullptr;
}

void WinHttpExchange::Abort() { handles_.Abort(true); }

std::string WinHttpExchange::ErrorText(uint32_t error) {
  std::string text = win32::WinHttpMessage(error);
  // Some WinHTTP builds (Wine's) carry no message table; the status line
  // still has to say something.
  if (text.empty()) text = "WinHTTP error " + std::to_string(error);
  return text;
}

void WinHttpExchange::Write(const std::string& line) {
  std::lock_guard<std::mutex> lock(logMutex_);
  if (log_ != nullptr && *log_) (*log_)(line);
}

void CALLBACK WinHttpExchange::StatusCallback(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info,
                                              DWORD) {
  if (context == 0) return;
  auto* self = reinterpret_cast<WinHttpExchange*>(context);
  const std::string line = win32::CallbackLine(status, info);
  if (!line.empty()) self->Write(line);
}
