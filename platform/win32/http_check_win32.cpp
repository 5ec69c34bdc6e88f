#include "platform/win32/http_check_win32.h"

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/win32/error_text.h"
#include "platform/win32/wide.h"

namespace {

using Clock = std::chrono::steady_clock;

// Reload, no cache write, no cookies, redirects between HTTP and HTTPS
// allowed, certificate dates and names not checked, no user interface,
// pragma no-cache, asynchronous cache.
constexpr DWORD kRequestFlags = 0x8408F380;
constexpr DWORD kSecureFlag = 0x00800000;  // INTERNET_FLAG_SECURE
// How long a finished check waits for WinINet to report its handles closed.
constexpr auto kClosingWait = std::chrono::milliseconds(500);

// Shared by the check and WinINet's callbacks. It starts with one reference
// for the check; each handle that carries it adds one, given back by that
// handle's closing notification, so it outlives every call WinINet may still
// complete into it. A handle is counted once, whether the check learns of it
// from the call's return or from its creation notice (also one made after its
// wait gave up), and only a counted handle's closing gives its reference back.
struct Context {
  enum class Expect { Nothing, Created, Complete };

  std::mutex lock;
  std::condition_variable changed;
  int refs = 1;
  std::vector<HINTERNET> held;  // the handles counted in refs
  Expect expect = Expect::Nothing;
  bool arrived = false;  // what `expect` names has come
  HINTERNET created = nullptr;
  DWORD_PTR result = 0;
  DWORD error = 0;
  bool stopped = false;

  std::string body;  // sent from here: WinINet may read it after the call returned
  DWORD bytesRead = 0;
  char buffer[HttpCheckLimits::kPieceBytes];

  // The caller holds `lock`; false: this was the last reference.
  bool ReleaseLocked() { return --refs > 0; }

  // The caller holds `lock`.
  void HoldLocked(HINTERNET handle) {
    if (handle == nullptr || std::find(held.begin(), held.end(), handle) != held.end()) return;
    held.push_back(handle);
    ++refs;
  }
  // The caller holds `lock`; false: this was the last reference.
  bool ClosingLocked(HINTERNET handle) {
    auto it = std::find(held.begin(), held.end(), handle);
    if (it == held.end()) return true;
    held.erase(it);
    return ReleaseLocked();
  }
};

void Release(Context* ctx) {
  bool last;
  {
    std::lock_guard<std::mutex> lock(ctx->lock);
    last = !ctx->ReleaseLocked();
  }
  if (last) delete ctx;
}

void CALLBACK StatusCallback(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID info, DWORD length) {
  auto* ctx = reinterpret_cast<Context*>(context);
  if (ctx == nullptr) return;
  bool last = false;
  {
    std::lock_guard<std::mutex> lock(ctx->lock);
    switch (status) {
      case INTERNET_STATUS_HANDLE_CREATED: {
        if (info == nullptr || length < sizeof(INTERNET_ASYNC_RESULT)) break;
        auto created = reinterpret_cast<HINTERNET>(static_cast<INTERNET_ASYNC_RESULT*>(info)->dwResult);
        ctx->HoldLocked(created);
        // Comes also for calls that did not pend: only the awaited one counts.
        if (ctx->expect == Context::Expect::Created) {
          ctx->created = created;
          ctx->arrived = true;
        }
        break;
      }
      case INTERNET_STATUS_REQUEST_COMPLETE:
        if (ctx->expect == Context::Expect::Complete && info != nullptr) {
          ctx->result = static_cast<INTERNET_ASYNC_RESULT*>(info)->dwResult;
          ctx->error = static_cast<INTERNET_ASYNC_RESULT*>(info)->dwError;
          ctx->arrived = true;
        }
        break;
      case INTERNET_STATUS_HANDLE_CLOSING: last = !ctx->ClosingLocked(handle); break;
      default: return;
    }
    ctx->changed.notify_all();
  }
  if (last) delete ctx;
}

class CheckSteps {
 public:
  CheckSteps(const HttpCheckRequest& request, std::chrono::milliseconds budget, IHttpCheckSink& sink)
      : m_request(request), m_deadline(Clock::now() + budget), m_sink(sink), m_ctx(new Context) {
    m_ctx->body = request.body;
  }

  ~CheckSteps() {
    // The request before its connection; both report their closing.
    if (m_requestHandle) InternetCloseHandle(m_requestHandle);
    if (m_connect) InternetCloseHandle(m_connect);
    {
      std::unique_lock<std::mutex> lock(m_ctx->lock);
      m_ctx->changed.wait_for(lock, kClosingWait, [this] { return m_ctx->held.empty(); });
    }
    if (m_session) {
      InternetSetStatusCallbackW(m_session, nullptr);
      InternetCloseHandle(m_session);
    }
    Release(m_ctx);
  }

  // Ends the wait in progress and every later one (from the stopping thread).
  void Cancel() {
    std::lock_guard<std::mutex> lock(m_ctx->lock);
    m_ctx->stopped = true;
    m_ctx->changed.notify_all();
  }

  HttpCheckResult Run() {
    HttpCheckResult r;
    const std::wstring agent = win32::Widen(m_request.userAgent);
    const std::wstring proxy = win32::Widen(m_request.proxy);
    m_session =
        InternetOpenW(agent.c_str(), proxy.empty() ? INTERNET_OPEN_TYPE_PRECONFIG : INTERNET_OPEN_TYPE_PROXY,
                      proxy.empty() ? nullptr : proxy.c_str(), nullptr, INTERNET_FLAG_ASYNC);
    if (!m_session) return Failed(r, GetLastError());
    InternetSetStatusCallbackW(m_session, StatusCallback);

    const std::wstring host = win32::Widen(m_request.host), user = win32::Widen(m_request.user),
                       password = win32::Widen(m_request.password);
    Expect(Context::Expect::Created);
    m_connect = InternetConnectW(m_session, host.c_str(), m_request.port, user.c_str(), password.c_str(),
                                 INTERNET_SERVICE_HTTP, m_request.secure ? INTERNET_FLAG_SECURE : 0, Key());
    if (!m_connect) {
      DWORD error = GetLastError();
      if (error != ERROR_IO_PENDING) return Failed(r, error);
      if (!Wait()) return TimedOut(r);
      m_connect = m_ctx->created;
      if (!m_connect) return Failed(r, m_ctx->error);
    }
    Hold(m_connect);

    const std::wstring method = win32::Widen(m_request.method), path = win32::Widen(m_request.path);
    const wchar_t* accept[] = {L"*/*", nullptr};
    DWORD flags = kRequestFlags | (m_request.secure ? kSecureFlag : 0);
    Expect(Context::Expect::Created);
    m_requestHandle =
        HttpOpenRequestW(m_connect, method.c_str(), path.c_str(), nullptr, nullptr, accept, flags, Key());
    if (!m_requestHandle) {
      DWORD error = GetLastError();
      if (error != ERROR_IO_PENDING) return Failed(r, error);
      if (!Wait()) return TimedOut(r);
      m_requestHandle = m_ctx->created;
      if (!m_requestHandle) return Failed(r, m_ctx->error);
    }
    Hold(m_requestHandle);

    DWORD error = 0;
    for (int attempt = 0;; ++attempt) {
      Outcome sent = Send(error);
      if (sent == Outcome::TimedOut) return TimedOut(r);
      if (sent == Outcome::Done) break;
      // An unknown authority is allowed once: the check measures the server, not its certificate.
      if (error != ERROR_INTERNET_INVALID_CA || attempt > 0) return Failed(r, error);
      DWORD security = 0, size = sizeof security;
      InternetQueryOptionW(m_requestHandle, INTERNET_OPTION_SECURITY_FLAGS, &security, &size);
      security |= SECURITY_FLAG_IGNORE_UNKNOWN_CA;
      InternetSetOptionW(m_requestHandle, INTERNET_OPTION_SECURITY_FLAGS, &security, sizeof security);
    }

    DWORD code = 0, size = sizeof code;
    if (!HttpQueryInfoW(m_requestHandle, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &size,
                        nullptr))
      return Failed(r, GetLastError());
    r.statusCode = code;
    if (!m_sink.StatusReceived(code)) {
      r.outcome = HttpCheckOutcome::Done;
      return r;
    }
    DWORD length = 0;
    size = sizeof length;
    if (HttpQueryInfoW(m_requestHandle, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &length, &size,
                       nullptr))
      r.contentLength = length;
    if (m_request.readBody) {
      for (;;) {
        DWORD got = 0;
        Outcome read = Read(got, error);
        if (read == Outcome::TimedOut) return TimedOut(r);
        if (read == Outcome::Failed) return Failed(r, error);
        if (got == 0) break;
        m_sink.BodyPiece(m_ctx->buffer, got);
      }
    }
    r.outcome = HttpCheckOutcome::Done;
    return r;
  }

 private:
  enum class Outcome { Done, TimedOut, Failed };

  DWORD_PTR Key() const { return reinterpret_cast<DWORD_PTR>(m_ctx); }

  // A handle that carries the context now exists; its closing gives the reference back.
  void Hold(HINTERNET handle) {
    std::lock_guard<std::mutex> lock(m_ctx->lock);
    m_ctx->HoldLocked(handle);
  }

  // Before every call that may pend: what counts as its completion.
  void Expect(Context::Expect what) {
    std::lock_guard<std::mutex> lock(m_ctx->lock);
    m_ctx->expect = what;
    m_ctx->arrived = false;
    m_ctx->created = nullptr;
    m_ctx->result = 0;
    m_ctx->error = 0;
  }

  // False when the budget is spent (below 1 ms left counts as spent) or a stop came first.
  bool Wait() {
    std::unique_lock<std::mutex> lock(m_ctx->lock);
    bool arrived = false;
    if (!m_ctx->stopped && m_deadline - Clock::now() >= std::chrono::milliseconds(1))
      arrived = m_ctx->changed.wait_until(lock, m_deadline, [this] {
        return m_ctx->arrived || m_ctx->stopped;
      }) && !m_ctx->stopped;
    m_ctx->expect = Context::Expect::Nothing;
    return arrived;
  }

  Outcome Send(DWORD& error) {
    Expect(Context::Expect::Complete);
    void* body = m_ctx->body.empty() ? nullptr : &m_ctx->body[0];
    if (HttpSendRequestW(m_requestHandle, nullptr, 0, body, static_cast<DWORD>(m_ctx->body.size()))) {
      NoLongerExpected();
      return Outcome::Done;
    }
    error = GetLastError();
    if (error != ERROR_IO_PENDING) {
      NoLongerExpected();
      return Outcome::Failed;
    }
    if (!Wait()) return Outcome::TimedOut;
    if (m_ctx->result) return Outcome::Done;
    error = m_ctx->error;
    return Outcome::Failed;
  }

  Outcome Read(DWORD& got, DWORD& error) {
    Expect(Context::Expect::Complete);
    {
      std::lock_guard<std::mutex> lock(m_ctx->lock);
      m_ctx->bytesRead = 0;
    }
    if (InternetReadFile(m_requestHandle, m_ctx->buffer, sizeof m_ctx->buffer, &m_ctx->bytesRead)) {
      NoLongerExpected();
      std::lock_guard<std::mutex> lock(m_ctx->lock);
      got = m_ctx->bytesRead;
      return Outcome::Done;
    }
    error = GetLastError();
    if (error != ERROR_IO_PENDING) {
      NoLongerExpected();
      return Outcome::Failed;
    }
    if (!Wait()) return Outcome::TimedOut;
    if (!m_ctx->result) {
      error = m_ctx->error;
      return Outcome::Failed;
    }
    std::lock_guard<std::mutex> lock(m_ctx->lock);
    got = m_ctx->bytesRead;
    return Outcome::Done;
  }

  void NoLongerExpected() {
    std::lock_guard<std::mutex> lock(m_ctx->lock);
    m_ctx->expect = Context::Expect::Nothing;
  }

  static HttpCheckResult& Failed(HttpCheckResult& r, DWORD error) {
    r.outcome = HttpCheckOutcome::Failed;
    r.error = error;
    return r;
  }
  static HttpCheckResult& TimedOut(HttpCheckResult& r) {
    r.outcome = HttpCheckOutcome::TimedOut;
    return r;
  }

  const HttpCheckRequest& m_request;
  const Clock::time_point m_deadline;
  IHttpCheckSink& m_sink;
  Context* const m_ctx;
  HINTERNET m_session = nullptr, m_connect = nullptr, m_requestHandle = nullptr;
};

}  // namespace

HttpCheckResult HttpCheckWin32::Check(const HttpCheckRequest& request, std::chrono::milliseconds budget,
                                      IHttpCheckSink& sink, IHttpCheckStop& stop) {
  CheckSteps check(request, budget, sink);
  HttpCheckResult r;
  if (!stop.SetCancel([&check] { check.Cancel(); })) {
    r.outcome = HttpCheckOutcome::TimedOut;
    return r;
  }
  r = check.Run();
  stop.ClearCancel();
  return r;
}

std::string HttpCheckWin32::ErrorText(uint32_t error) {
  return win32::ErrorText(error, GetModuleHandleW(L"wininet.dll"));
}
