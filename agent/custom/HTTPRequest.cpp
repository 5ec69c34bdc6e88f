#include "agent/custom/HTTPRequest.h"

#include <chrono>
#include <list>
#include <new>
#include <thread>

#include "agent/AgentIdentity.h"
#include "agent/LogFormat.h"
#include "corelib/ExceptionRecord.h"
#include "platform/local_time.h"

namespace {

constexpr const char* kUnit = "SendHTTPRequest";
// After a time-out the request is closed and the thread given this long to
// notice before it is left to the leftover list.
constexpr auto kAfterTimeoutWait = std::chrono::milliseconds(2000);

}  // namespace

// What one exchange thread owns together with its caller.
struct CHTTPRequest::Exchange {
  std::shared_ptr<platform::IHttpSession> session;
  platform::HttpExchangeSpec spec;
  platform::HttpLog log;
  size_t initialBuffer = 0, limit = 0;
  std::thread thread;

  std::mutex lock;
  std::condition_variable changed;
  bool done = false;
  uint32_t status = 0, error = 0;
  std::string reply;

  void Run() {
    uint32_t status = 0, error = 0;
    std::string reply;
    try {
      log(Format("SendHTTPRequest thread ID '%u'", static_cast<unsigned>(platform::current_thread_id())));
      platform::HttpExchangeOutcome outcome;
      uint32_t readError = 0;
      session->Exchange(
          spec, log,
          [&](const platform::HttpRead& read) {
            readError = ReadReplyBody(read, initialBuffer, limit, log, reply);
          },
          outcome);
      status = outcome.status;
      error = outcome.error != 0 ? outcome.error : readError;
    } catch (...) {
      LOG_EXCEPTION_RECORD(kUnit);
      if (error == 0) error = 12000;  // the exchange broke off with no code of its own
    }
    std::lock_guard<std::mutex> hold(lock);
    this->status = status;
    this->error = error;
    this->reply = std::move(reply);
    done = true;
    changed.notify_all();
  }

  bool Done() {
    std::lock_guard<std::mutex> hold(lock);
    return done;
  }
};

namespace {

// Threads past their request's time-out, each with its exchange.
struct Leftovers {
  std::mutex lock;
  std::list<std::shared_ptr<CHTTPRequest::Exchange>> exchanges;
};

}  // namespace

// The list lives as long as the process: a program that ends with an
// exchange still blocked in the system (the console after a stop) exits
// without running destructors, and one that ends normally has joined them.
static Leftovers& leftovers() {
  static Leftovers* list = new Leftovers;
  return *list;
}

uint32_t EffectiveTimeoutSeconds(uint32_t seconds) { return seconds >= 1 && seconds <= 86400 ? seconds : 50; }

uint32_t ReadReplyBody(const platform::HttpRead& read, size_t initial, size_t limit,
                       const platform::HttpLog& log, std::string& reply) {
  reply.clear();
  if (initial < 2) initial = 2;
  size_t chunk = initial, allocated = initial, readSize = chunk - 1, length = 0;
  std::string buffer;
  try {
    buffer.resize(allocated);
  } catch (const std::bad_alloc&) {
    return CHTTPRequest::kOutOfMemory;
  }
  uint32_t error = 0;
  for (;;) {
    uint32_t got = 0, readError = 0;
    const uint32_t ask = static_cast<uint32_t>(std::min<size_t>(readSize, UINT32_MAX));
    if (!read(&buffer[length], ask, got, readError)) {
      error = readError != 0 ? readError : 12000;
      break;
    }
    if (got > ask) got = ask;  // a reader never gives more than asked
    length += got;
    if (log)
      log(Format("Buffer size: '%d', Read size: '%d', Bytes read: '%d', Raw size: '%d'",
                 static_cast<int>(allocated), static_cast<int>(readSize), static_cast<int>(got),
                 static_cast<int>(length)));
    if (got == 0) break;
    if (length >= limit) {
      error = CHTTPRequest::kTooLargeError;
      break;
    }
    if (got < readSize) readSize -= got;
    bool grown = true;
    while (allocated <= readSize + length) {
      chunk *= 2;
      readSize = chunk - 1;
      allocated += chunk;
      grown = false;
    }
    if (!grown) {
      try {
        buffer.resize(allocated);
      } catch (const std::bad_alloc&) {
        error = CHTTPRequest::kOutOfMemory;
        break;
      }
    }
  }
  buffer.resize(length);
  reply = std::move(buffer);
  return error;
}

size_t LeftoverHttpExchanges() {
  Leftovers& list = leftovers();
  std::lock_guard<std::mutex> hold(list.lock);
  size_t running = 0;
  for (auto& exchange : list.exchanges)
    if (!exchange->Done()) ++running;
  return running;
}

namespace {

// Takes the ended ones out under the list's lock and joins them outside it.
void JoinLeftovers(bool all) {
  Leftovers& list = leftovers();
  std::list<std::shared_ptr<CHTTPRequest::Exchange>> ended;
  {
    std::lock_guard<std::mutex> hold(list.lock);
    for (auto it = list.exchanges.begin(); it != list.exchanges.end();) {
      if (all || (*it)->Done()) {
        ended.push_back(*it);
        it = list.exchanges.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& exchange : ended)
    if (exchange->thread.joinable()) exchange->thread.join();
}

}  // namespace

void JoinLeftoverHttpExchanges() { JoinLeftovers(true); }

std::unique_ptr<CHTTPRequest> CHTTPRequest::Create(platform::IHttpTransport& transport,
                                                   const Options& options, platform::HttpLog log) {
  if (!log) log = [](const std::string&) {};
  log(Format("Creating HTTP request. proxyServer '%s', secure '%d'", options.proxy.c_str(), options.secure));
  // The configured proxy, else the user's, else the default; when that
  // cannot be opened, the default, then none.
  std::string proxy = options.proxy.empty() ? transport.UserProxy() : options.proxy;
  const platform::HttpProxyMode first =
      proxy.empty() ? platform::HttpProxyMode::Default : platform::HttpProxyMode::Named;
  uint32_t error = 0;
  std::unique_ptr<platform::IHttpSession> session =
      transport.OpenSession(agent_identity::kUserAgent, first, proxy, options.secure, error);
  if (!session)
    session = transport.OpenSession(agent_identity::kUserAgent, platform::HttpProxyMode::Default,
                                    std::string(), options.secure, error);
  if (!session)
    session = transport.OpenSession(agent_identity::kUserAgent, platform::HttpProxyMode::None, std::string(),
                                    options.secure, error);
  if (!session) {
    log(Format("WinHttpOpen failed with error '%d'", static_cast<int>(error)));
    return nullptr;
  }
  return std::unique_ptr<CHTTPRequest>(
      new CHTTPRequest(transport, options, std::move(log), std::move(session)));
}

CHTTPRequest::CHTTPRequest(platform::IHttpTransport& transport, const Options& options, platform::HttpLog log,
                           std::shared_ptr<platform::IHttpSession> session)
    : m_transport(transport), m_options(options), m_log(std::move(log)), m_session(std::move(session)) {}

CHTTPRequest::~CHTTPRequest() { Abort(); }

void CHTTPRequest::Log(const std::string& line) const { m_log(line); }

bool CHTTPRequest::Connect(const std::string& host, uint16_t port) {
  m_error = m_session->Connect(host, port);
  if (m_error != 0) {
    Log(Format("WinHttpConnect failed with error '%d'", static_cast<int>(m_error)));
    return false;
  }
  Log(Format("Connected with server '%s', port '%d'", host.c_str(), port));
  return true;
}

bool CHTTPRequest::MakeRequest(const std::string& url, bool post, const std::string& body,
                               uint32_t timeoutSeconds, const std::string& email,
                               const std::string& agentName) {
  // A stale reply is never judged as this exchange's.
  m_status = 0;
  m_reply.clear();
  m_error = 0;
  JoinLeftovers(false);
  if (auto previous = m_leftover.lock()) {
    if (!previous->Done()) {
      // The session is still in that exchange's call; a second one on it
      // would share its handles.
      m_error = kTimeoutError;
      Log("HTTP Data sending failed: the previous request has not ended.");
      return false;
    }
  }

  auto exchange = std::make_shared<Exchange>();
  exchange->session = m_session;
  exchange->log = m_log;
  exchange->initialBuffer = m_options.initialBuffer;
  exchange->limit = m_options.limit;
  const uint32_t timeout = EffectiveTimeoutSeconds(timeoutSeconds);
  exchange->spec.post = post;
  exchange->spec.object = url;
  exchange->spec.body = body;
  exchange->spec.timeoutSeconds = timeout;
  exchange->spec.ignoreCertErrors = m_options.ignoreCertErrors;
  exchange->spec.headers = Format(
      "Content-Type: application/x-www-form-urlencoded\r\nMon-Source: Agent\r\nMon-Email: %s\r\nMon-AName: "
      "%s\r\nMon-Platform: %s\r\nMon-Version: %s\r\n",
      email.c_str(), agentName.c_str(), agent_identity::kPlatform, agent_identity::kVersion);

  {
    std::lock_guard<std::mutex> hold(m_abortLock);
    if (m_aborted) {
      m_error = kCancelledError;
      return false;
    }
    uint32_t error = 0;
    if (!m_transport.StartThread([exchange] { exchange->Run(); }, exchange->thread, error)) {
      m_error = error != 0 ? error : kOutOfMemory;
      Log(Format("SendHTTPRequest thread creation failed with error '%d'", static_cast<int>(m_error)));
      return false;
    }
    m_running = exchange;
  }

  bool done, aborted = false;
  {
    std::unique_lock<std::mutex> hold(exchange->lock);
    done = exchange->changed.wait_for(hold, std::chrono::seconds(timeout), [&] {
      if (exchange->done) return true;
      // Abort notifies under the exchange's lock; its flag is read here.
      std::lock_guard<std::mutex> abortHold(m_abortLock);
      aborted = m_aborted;
      return aborted;
    });
    done = exchange->done;
  }
  if (!done) {
    if (!aborted) {
      m_error = kTimeoutError;
      Log(Format("HTTP Data sending timed out after %d seconds.", static_cast<int>(timeout)));
    } else {
      m_error = kCancelledError;
      Log("HTTP Data sending was cancelled.");
    }
    m_session->Abort();
    std::unique_lock<std::mutex> hold(exchange->lock);
    exchange->changed.wait_for(hold, kAfterTimeoutWait, [&] { return exchange->done; });
  }
  {
    std::lock_guard<std::mutex> hold(m_abortLock);
    m_running.reset();
  }
  if (!exchange->Done()) {
    // Left to the list; the next exchange or the program's end joins it.
    Leftovers& list = leftovers();
    std::lock_guard<std::mutex> hold(list.lock);
    list.exchanges.push_back(exchange);
    m_leftover = exchange;
    return false;
  }
  exchange->thread.join();
  if (!done) return false;
  m_status = exchange->status;
  m_reply = std::move(exchange->reply);
  m_error = exchange->error;
  if (m_error != 0) {
    Log(Format("HTTP Data sending failed with error '%d'", static_cast<int>(m_error)));
    return false;
  }
  Log("HTTP Data sending succeeded.");
  return true;
}

uint32_t CHTTPRequest::ErrorText(std::string& text) const {
  if (m_error == 0) {
    text = "No Error";
    return 0;
  }
  text = m_transport.ErrorText(m_error);
  if (text.empty()) text = "Unknown Error.";
  return m_error;
}

void CHTTPRequest::Abort() {
  std::shared_ptr<Exchange> running;
  {
    std::lock_guard<std::mutex> hold(m_abortLock);
    m_aborted = true;
    running = m_running;
  }
  if (!running) return;
  m_session->Abort();
  std::lock_guard<std::mutex> hold(running->lock);
  running->changed.notify_all();
}
