// Windows Sockets must come before windows.h, which the headers bring in.
#include <winsock2.h>

#include "platform/win32/winhttp_request.h"

#include <chrono>
#include <cstdio>
#include <mutex>

#include "platform/win32/wide.h"
#include "platform/win32/winhttp_common.h"

namespace {

std::string Line(const char* format, DWORD value) {
  char text[128];
  snprintf(text, sizeof text, format, static_cast<int>(value));
  return text;
}

// One piece of the request's body; a read cut by Abort reports the cancel.
bool ReadData(win32::ExchangeHandles& handles, char* into, uint32_t size, uint32_t& got, uint32_t& error) {
  DWORD n = 0;
  if (!WinHttpReadData(handles.Get(win32::ExchangeHandles::Request), into, size, &n)) {
    error = handles.Aborted() ? ERROR_WINHTTP_OPERATION_CANCELLED : GetLastError();
    return false;
  }
  got = n;
  return true;
}

class WinHttpSession : public platform::IHttpSession {
 public:
  WinHttpSession(HINTERNET session, bool secure) : secure_(secure) {
    handles_.Keep(win32::ExchangeHandles::Session, session);
  }
  ~WinHttpSession() override { handles_.CloseAll(); }

  uint32_t Connect(const std::string& host, uint16_t port) override {
    HINTERNET connect =
        WinHttpConnect(handles_.Get(win32::ExchangeHandles::Session), win32::Widen(host).c_str(), port, 0);
    if (connect == nullptr) return GetLastError();
    if (!handles_.Keep(win32::ExchangeHandles::Connection, connect)) return ERROR_WINHTTP_OPERATION_CANCELLED;
    return 0;
  }

  void Exchange(const platform::HttpExchangeSpec& spec, const platform::HttpLog& log,
                const std::function<void(const platform::HttpRead&)>& readBody,
                platform::HttpExchangeOutcome& outcome) override {
    win32::WinsockScope winsock(MAKEWORD(2, 0));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(spec.timeoutSeconds);
    // An Abort that came before this point still counts: the mark is
    // cleared only when the exchange ends.
    {
      std::lock_guard<std::mutex> hold(logLock_);
      log_ = &log;
    }
    Run(spec, log, readBody, outcome, deadline);
    handles_.Reopen(false);
    std::lock_guard<std::mutex> hold(logLock_);
    log_ = nullptr;
  }

  void Abort() override { handles_.Abort(false); }

 private:
  HINTERNET Request() { return handles_.Get(win32::ExchangeHandles::Request); }

  uint32_t Failed(const platform::HttpLog& log, const char* format, DWORD error) {
    if (handles_.Aborted()) error = ERROR_WINHTTP_OPERATION_CANCELLED;
    log(Line(format, error));
    return error;
  }

  void Run(const platform::HttpExchangeSpec& spec, const platform::HttpLog& log,
           const std::function<void(const platform::HttpRead&)>& readBody,
           platform::HttpExchangeOutcome& outcome, std::chrono::steady_clock::time_point deadline) {
    const wchar_t* accept[] = {L"text/xml", nullptr};
    HINTERNET request =
        WinHttpOpenRequest(handles_.Get(win32::ExchangeHandles::Connection), spec.post ? L"POST" : nullptr,
                           win32::Widen(spec.object).c_str(), nullptr, WINHTTP_NO_REFERER, accept,
                           WINHTTP_FLAG_REFRESH | (secure_ ? WINHTTP_FLAG_SECURE : 0));
    const DWORD openError = GetLastError();
    if (!handles_.Keep(win32::ExchangeHandles::Request, request)) {
      outcome.error = Failed(log, "WinHttpOpenRequest failed with error '%d'", openError);
      return;
    }
    win32::SetTimeoutsFromDeadline(Request(), deadline);
    WinHttpSetStatusCallback(Request(), &WinHttpSession::StatusCallback,
                             WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS, 0);

    const std::wstring headers = win32::Widen(spec.headers);
    if (!WinHttpAddRequestHeaders(Request(), headers.c_str(), static_cast<DWORD>(headers.size()),
                                  WINHTTP_ADDREQ_FLAG_ADD)) {
      outcome.error = Failed(log, "WinHttpAddRequestHeaders failed with error '%d'", GetLastError());
      return;
    }
    if (spec.body.size() > MAXDWORD) {
      outcome.error = Failed(log, "WinHttpSendRequest failed with error '%d'", ERROR_INVALID_PARAMETER);
      return;
    }
    const DWORD length = static_cast<DWORD>(spec.body.size());
    void* data = spec.body.empty() ? WINHTTP_NO_REQUEST_DATA : const_cast<char*>(spec.body.data());
    for (int retries = 0;; ++retries) {
      if (WinHttpSendRequest(Request(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, data, length, length,
                             reinterpret_cast<DWORD_PTR>(this)))
        break;
      DWORD error = GetLastError();
      log(Line("WinHttpSendRequest failed with error '%d'", error));
      // A certificate the machine does not trust is let through only when
      // the operator asked for it.
      if (retries < 3 && spec.ignoreCertErrors && win32::IsCertificateError(error) && !handles_.Aborted()) {
        win32::RelaxCertificateChecks(Request());
        continue;
      }
      if (error == 0) error = ERROR_WINHTTP_INTERNAL_ERROR;
      outcome.error = Failed(log, "WinHttpSendRequest failed with error '%d'", error);
      return;
    }
    // A failure shows as a missing status and an empty reply.
    WinHttpReceiveResponse(Request(), nullptr);
    DWORD status = 0, size = sizeof status;
    if (!WinHttpQueryHeaders(Request(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
      if (handles_.Aborted()) outcome.error = ERROR_WINHTTP_OPERATION_CANCELLED;
      return;
    }
    outcome.status = status;
    log(Line("HTTP status code is '%d'", status));
    readBody([this](char* into, uint32_t want, uint32_t& got, uint32_t& error) {
      return ReadData(handles_, into, want, got, error);
    });
  }

  static void CALLBACK StatusCallback(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD) {
    if (context == 0) return;
    const std::string line = win32::CallbackLine(status, info);
    if (line.empty()) return;
    auto* self = reinterpret_cast<WinHttpSession*>(context);
    std::lock_guard<std::mutex> hold(self->logLock_);
    if (self->log_ != nullptr && *self->log_) (*self->log_)(line);
  }

  const bool secure_;
  // Lock order: the handles' lock before logLock_ (closing a handle may call
  // the status callback).
  win32::ExchangeHandles handles_;
  std::mutex logLock_;
  const platform::HttpLog* log_ = nullptr;
};

}  // namespace

std::string WinHttpTransport::UserProxy() { return win32::Narrow(win32::UserProxy()); }

std::unique_ptr<platform::IHttpSession> WinHttpTransport::OpenSession(const std::string& userAgent,
                                                                      platform::HttpProxyMode mode,
                                                                      const std::string& proxy, bool secure,
                                                                      uint32_t& error) {
  const std::wstring name = win32::Widen(proxy);
  DWORD access = mode == platform::HttpProxyMode::Named     ? WINHTTP_ACCESS_TYPE_NAMED_PROXY
                 : mode == platform::HttpProxyMode::Default ? WINHTTP_ACCESS_TYPE_DEFAULT_PROXY
                                                            : WINHTTP_ACCESS_TYPE_NO_PROXY;
  HINTERNET session =
      WinHttpOpen(win32::Widen(userAgent).c_str(), access,
                  mode == platform::HttpProxyMode::Named ? name.c_str() : WINHTTP_NO_PROXY_NAME,
                  WINHTTP_NO_PROXY_BYPASS, 0);
  if (session == nullptr) {
    error = GetLastError();
    return nullptr;
  }
  return std::make_unique<WinHttpSession>(session, secure);
}

std::string WinHttpTransport::ErrorText(uint32_t error) { return win32::WinHttpMessage(error); }

namespace {

class WinHttpPackageGet : public platform::IPackageGet {
 public:
  ~WinHttpPackageGet() override { handles_.CloseAll(); }

  platform::PackageGetReply Send(const platform::PackageGetSpec& spec) override {
    platform::PackageGetReply reply;
    auto fail = [&](platform::PackageGetStep step, DWORD error) {
      reply.failed = step;
      reply.error = handles_.Aborted() ? ERROR_WINHTTP_OPERATION_CANCELLED
                                       : error != 0 ? error : ERROR_WINHTTP_INTERNAL_ERROR;
      return reply;
    };
    const std::wstring url = win32::Widen(spec.url);
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof parts;
    parts.dwSchemeLength = parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength =
        static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts) || parts.dwHostNameLength == 0)
      return fail(platform::PackageGetStep::CrackUrl, GetLastError());
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring object(parts.lpszUrlPath, parts.dwUrlPathLength);
    object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (object.empty()) object = L"/";
    const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;

    const std::wstring agent = win32::Widen(spec.userAgent), proxy = win32::Widen(spec.proxy);
    HINTERNET session =
        WinHttpOpen(agent.c_str(), proxy.empty() ? WINHTTP_ACCESS_TYPE_DEFAULT_PROXY : WINHTTP_ACCESS_TYPE_NAMED_PROXY,
                    proxy.empty() ? WINHTTP_NO_PROXY_NAME : proxy.c_str(), WINHTTP_NO_PROXY_BYPASS, 0);
    DWORD error = GetLastError();
    if (!handles_.Keep(win32::ExchangeHandles::Session, session))
      return fail(platform::PackageGetStep::Open, error);
    win32::SetTimeoutsFromDeadline(handles_.Get(win32::ExchangeHandles::Session), spec.deadline);
    HINTERNET connect = WinHttpConnect(handles_.Get(win32::ExchangeHandles::Session), host.c_str(), parts.nPort, 0);
    error = GetLastError();
    if (!handles_.Keep(win32::ExchangeHandles::Connection, connect))
      return fail(platform::PackageGetStep::Connect, error);
    HINTERNET request = WinHttpOpenRequest(handles_.Get(win32::ExchangeHandles::Connection), L"GET", object.c_str(),
                                           nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                           WINHTTP_FLAG_REFRESH | (secure ? WINHTTP_FLAG_SECURE : 0));
    error = GetLastError();
    if (!handles_.Keep(win32::ExchangeHandles::Request, request))
      return fail(platform::PackageGetStep::OpenRequest, error);
    win32::SetTimeoutsFromDeadline(Request(), spec.deadline);

    const std::wstring headers = win32::Widen(spec.headers);
    for (int attempt = 0;; ++attempt) {
      if (WinHttpSendRequest(Request(), headers.c_str(), static_cast<DWORD>(headers.size()),
                             WINHTTP_NO_REQUEST_DATA, 0, 0, 0))
        break;
      error = GetLastError();
      // A certificate the machine does not trust is let through only when the
      // operator asked for it, and only once.
      if (attempt == 0 && spec.ignoreCertErrors && win32::IsCertificateError(error) && !handles_.Aborted()) {
        reply.relaxedRetry = true;
        win32::RelaxCertificateChecks(Request());
        continue;
      }
      return fail(platform::PackageGetStep::Send, error);
    }
    if (!WinHttpReceiveResponse(Request(), nullptr)) return fail(platform::PackageGetStep::Receive, GetLastError());
    DWORD status = 0, size = sizeof status;
    if (!WinHttpQueryHeaders(Request(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
      return fail(platform::PackageGetStep::Receive, GetLastError());
    reply.status = status;
    wchar_t length[32] = {};
    size = sizeof length;
    if (WinHttpQueryHeaders(Request(), WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, length, &size,
                            WINHTTP_NO_HEADER_INDEX)) {
      int64_t n = 0;
      const wchar_t* p = length;
      for (; *p >= L'0' && *p <= L'9' && n < (int64_t{1} << 50); ++p) n = n * 10 + (*p - L'0');
      if (p != length && *p == L'\0') reply.contentLength = n;
    }
    return reply;
  }

  bool Read(char* into, uint32_t size, uint32_t& got, uint32_t& error) override {
    return ReadData(handles_, into, size, got, error);
  }

  void Abort() override { handles_.Abort(true); }

 private:
  HINTERNET Request() { return handles_.Get(win32::ExchangeHandles::Request); }

  win32::WinsockScope winsock_{MAKEWORD(2, 0)};
  win32::ExchangeHandles handles_;
};

}  // namespace

std::unique_ptr<platform::IPackageGet> NewWinHttpPackageGet() { return std::make_unique<WinHttpPackageGet>(); }
