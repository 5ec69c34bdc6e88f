#include <winsock2.h>

#include "platform/win32/winhttp_common.h"

#include <cstdio>

#include "platform/win32/error_text.h"
#include "platform/win32/wide.h"

namespace win32 {

WinsockScope::WinsockScope(WORD version) {
  WSADATA data;
  started_ = WSAStartup(version, &data) == 0;
}

WinsockScope::~WinsockScope() {
  if (started_) WSACleanup();
}

InternetHandle& ExchangeHandles::Member(Which which) {
  return which == Session ? session_ : which == Connection ? connect_ : request_;
}

bool ExchangeHandles::Keep(Which which, HINTERNET handle) {
  if (handle == nullptr) return false;
  {
    std::lock_guard<std::mutex> hold(lock_);
    const bool closed = allClosed_ || (which == Request && requestClosed_);
    if (!closed) {
      Member(which).reset(handle);
      return true;
    }
  }
  WinHttpCloseHandle(handle);
  return false;
}

HINTERNET ExchangeHandles::Get(Which which) {
  std::lock_guard<std::mutex> hold(lock_);
  return Member(which).get();
}

void ExchangeHandles::Abort(bool all) {
  std::lock_guard<std::mutex> hold(lock_);
  requestClosed_ = true;
  request_.reset();
  if (!all) return;
  allClosed_ = true;
  connect_.reset();
  session_.reset();
}

bool ExchangeHandles::Aborted() {
  std::lock_guard<std::mutex> hold(lock_);
  return requestClosed_ || allClosed_;
}

void ExchangeHandles::Reopen(bool all) {
  std::lock_guard<std::mutex> hold(lock_);
  request_.reset();
  requestClosed_ = false;
  if (!all) return;
  allClosed_ = false;
  connect_.reset();
  session_.reset();
}

void ExchangeHandles::CloseAll() {
  std::lock_guard<std::mutex> hold(lock_);
  request_.reset();
  connect_.reset();
  session_.reset();
}

std::wstring UserProxy() {
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config = {};
  if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) return std::wstring();
  std::wstring proxy = config.lpszProxy != nullptr ? config.lpszProxy : L"";
  if (config.lpszAutoConfigUrl != nullptr) GlobalFree(config.lpszAutoConfigUrl);
  if (config.lpszProxy != nullptr) GlobalFree(config.lpszProxy);
  if (config.lpszProxyBypass != nullptr) GlobalFree(config.lpszProxyBypass);
  return proxy;
}

void RelaxCertificateChecks(HINTERNET request) {
  DWORD flags = 0, size = sizeof flags;
  WinHttpQueryOption(request, WINHTTP_OPTION_SECURITY_FLAGS, &flags, &size);
  flags |= kRelaxedCertificateChecks;
  WinHttpSetOption(request, WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags);
}

void SetTimeoutsFromDeadline(HINTERNET handle, std::chrono::steady_clock::time_point deadline) {
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  long long ms = left.count();
  if (ms < 1) ms = 1;
  if (ms > 0x7FFFFFFF) ms = 0x7FFFFFFF;
  const int t = static_cast<int>(ms);
  WinHttpSetTimeouts(handle, t, t, t, t);
}

namespace {

std::string Numbered(const char* prefix, unsigned value) {
  char text[96];
  snprintf(text, sizeof text, "%s%u", prefix, value);
  return text;
}

}  // namespace

std::string CallbackLine(DWORD status, LPVOID info) {
  auto text = [info] { return info != nullptr ? Narrow(static_cast<const wchar_t*>(info)) : std::string(); };
  auto number = [info] {
    return info != nullptr ? static_cast<unsigned>(*static_cast<const DWORD*>(info)) : 0u;
  };
  switch (status) {
    case WINHTTP_CALLBACK_STATUS_NAME_RESOLVED: return "WINHTTP_CALLBACK_STATUS_NAME_RESOLVED: " + text();
    case WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER:
      return "WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER: " + text();
    case WINHTTP_CALLBACK_STATUS_REQUEST_SENT:
      return Numbered("WINHTTP_CALLBACK_STATUS_REQUEST_SENT: ", number());
    case WINHTTP_CALLBACK_STATUS_RESPONSE_RECEIVED:
      return Numbered("WINHTTP_CALLBACK_STATUS_RESPONSE_RECEIVED: ", number());
    case WINHTTP_CALLBACK_STATUS_CONNECTION_CLOSED: return "WINHTTP_CALLBACK_STATUS_CONNECTION_CLOSED";
    case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
      return Numbered("WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE: ", number());
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR: {
      const auto* result = static_cast<const WINHTTP_ASYNC_RESULT*>(info);
      return Numbered("WINHTTP_CALLBACK_STATUS_REQUEST_ERROR: ",
                      result != nullptr ? static_cast<unsigned>(result->dwError) : 0u);
    }
    case WINHTTP_CALLBACK_STATUS_SECURE_FAILURE:
      return "WINHTTP_CALLBACK_STATUS_SECURE_FAILURE: " + SecureFailureText(number());
    default: return std::string();
  }
}

std::string WinHttpMessage(uint32_t error) { return ErrorText(error, GetModuleHandleW(L"winhttp.dll")); }

}  // namespace win32

std::string SecureFailureText(uint32_t flags) {
  static const struct {
    uint32_t bit;
    const char* name;
  } kFlags[] = {
      {WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED, " WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED;"},
      {WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT, " WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT;"},
      {WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED, " WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED;"},
      {WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA, " WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA;"},
      {WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID, " WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID;"},
      {WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID, " WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID;"},
      {WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR,
       " WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR;"},
  };
  char head[32];
  snprintf(head, sizeof head, " (%u)", static_cast<unsigned>(flags));
  std::string text = head;
  for (const auto& flag : kFlags)
    if (flags & flag.bit) text += flag.name;
  return text;
}
