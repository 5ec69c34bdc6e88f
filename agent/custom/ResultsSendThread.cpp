#include "agent/custom/ResultsSendThread.h"

#include <algorithm>
#include <cctype>
#include <functional>
#include <memory>
#include <vector>

#include "agent/LogFormat.h"
#include "agent/custom/CorvaneAPIRequest.h"
#include "agent/custom/CustomOwner.h"
#include "agent/custom/MonitorManager.h"
#include "corelib/ExceptionRecord.h"
#include "platform/local_time.h"

namespace {
constexpr const char* kUnit = "CResultsSendThread";

std::string TrimRightText(std::string text) {
  while (!text.empty() && isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  return text;
}
}  // namespace

CResultsSendThread::~CResultsSendThread() {
  SignalStop();
  std::thread thread;
  {
    std::lock_guard<std::mutex> hold(m_queueLock);
    thread.swap(m_thread);
  }
  if (thread.joinable()) thread.join();
}

void CResultsSendThread::Attach(ICustomMonitorOwner* owner, CMonitorManager* manager) {
  m_owner = owner;
  m_manager = manager;
}

void CResultsSendThread::StartThread() {
  std::lock_guard<std::mutex> hold(m_queueLock);
  if (m_thread.joinable() || m_stop || !m_owner) return;
  m_done = false;
  m_thread = std::thread([this] {
    try {
      ThreadProc();
    } catch (...) {
      LOG_EXCEPTION_RECORD(kUnit);
    }
    std::lock_guard<std::mutex> hold(m_queueLock);
    m_done = true;
    m_doneCv.notify_all();
  });
}

void CResultsSendThread::SignalStop() {
  std::lock_guard<std::mutex> hold(m_queueLock);
  m_stop = true;
  if (m_request) m_request->Abort();
  m_wake.notify_all();
}

bool CResultsSendThread::FinishStop(Clock::time_point deadline) {
  std::unique_lock<std::mutex> hold(m_queueLock);
  if (!m_doneCv.wait_until(hold, deadline, [this] { return m_done; })) return false;
  std::thread thread;
  thread.swap(m_thread);
  hold.unlock();
  if (thread.joinable()) thread.join();
  return true;
}

void CResultsSendThread::ThreadProc() {
  m_threadId = platform::current_thread_id();
  uint32_t wait = kInfinite;
  for (;;) {
    {
      std::unique_lock<std::mutex> hold(m_queueLock);
      // After a credential failure new records wait out the 10 s like the
      // rest, so an unreachable API is not asked once per queued result.
      const bool holdOff = wait == kCredentialRetry;
      auto woken = [this, holdOff] { return m_stop || (m_data && !holdOff); };
      if (wait == kInfinite)
        m_wake.wait(hold, woken);
      else
        m_wake.wait_for(hold, std::chrono::milliseconds(wait), woken);
      if (m_stop) return;
      m_data = false;
    }
    wait = SendResults();
  }
}

void CResultsSendThread::Note(uint32_t code, const std::string& text) {
  if (m_owner) m_owner->NotifyStatus(code, text);
}

bool CResultsSendThread::Working() {
  {
    std::lock_guard<std::mutex> hold(m_queueLock);
    if (m_stop) return false;
  }
  return m_owner && m_owner->IsWorking();
}

void CResultsSendThread::PushBackResult(CustomResult r) {
  // Under m_queueLock. Drops the oldest beyond the caps; returns nothing to
  // log here (the callers log outside the lock).
  m_resultBytes += r.results.size() + r.pluginName.size();
  m_results.push_back(std::move(r));
}

void CResultsSendThread::AddResult(CustomResult result) {
  std::vector<uint32_t> dropped, old;
  // Results past the age limit would be dropped unsent anyway; dropping them
  // here keeps the queue bounded by age while the API is unreachable.
  const int64_t now = m_owner ? static_cast<int64_t>(m_owner->Now()) : 0;
  const int64_t limit = static_cast<int64_t>(CacheLimitMinutes()) * 60;
  {
    std::lock_guard<std::mutex> hold(m_queueLock);
    while (m_owner && !m_results.empty() && now - m_results.front().checkTime > limit) {
      old.push_back(m_results.front().monitorId);
      m_resultBytes -= m_results.front().results.size() + m_results.front().pluginName.size();
      m_results.pop_front();
    }
    PushBackResult(std::move(result));
    while (m_results.size() > 1 && (m_results.size() > kMaxResults || m_resultBytes > kMaxResultBytes)) {
      dropped.push_back(m_results.front().monitorId);
      m_resultBytes -= m_results.front().results.size() + m_results.front().pluginName.size();
      m_results.pop_front();
    }
    m_data = true;
    m_wake.notify_all();
  }
  for (uint32_t id : old)
    Note(10, Format("Result is too old. Skip sending (threadID: %d, monitorid: %d)...",
                    static_cast<int>(m_threadId), static_cast<int>(id)));
  for (uint32_t id : dropped)
    Note(10, Format("Result queue is full. Dropping the oldest result (threadID: %d, monitorid: %lu)...",
                    static_cast<int>(m_threadId), static_cast<unsigned long>(id)));
}

void CResultsSendThread::AddRemoveJobs(const std::string& jobIds, const std::string& status) {
  std::lock_guard<std::mutex> hold(m_queueLock);
  if (m_deletions.size() >= kMaxDeletions) m_deletions.pop_front();
  m_deletions.push_back({jobIds, status});
  m_data = true;
  m_wake.notify_all();
}

void CResultsSendThread::SetCacheLimitMinutes(uint32_t minutes) { m_ageLimitMinutes.store(minutes); }

uint32_t CResultsSendThread::CacheLimitMinutes() const { return m_ageLimitMinutes.load(); }

size_t CResultsSendThread::QueuedResults() const {
  std::lock_guard<std::mutex> hold(m_queueLock);
  return m_results.size();
}

size_t CResultsSendThread::QueuedDeletions() const {
  std::lock_guard<std::mutex> hold(m_queueLock);
  return m_deletions.size();
}

std::deque<JobDeletion> CResultsSendThread::Deletions() const {
  std::lock_guard<std::mutex> hold(m_queueLock);
  return m_deletions;
}

std::deque<CustomResult> CResultsSendThread::Results() const {
  std::lock_guard<std::mutex> hold(m_queueLock);
  return m_results;
}

uint32_t CResultsSendThread::SendResults() {
  if (!m_owner) return kInfinite;
  {
    std::lock_guard<std::mutex> hold(m_queueLock);
    if (m_results.empty() && m_deletions.empty()) return kInfinite;
  }
  CustomCredentials c = m_owner->GetCustomCredentials();
  std::unique_ptr<CCorvaneAPIRequest> api;
  auto attach = [&](CCorvaneAPIRequest* request) {
    std::lock_guard<std::mutex> hold(m_queueLock);
    m_request = request;
    if (m_stop && request) request->Abort();
  };
  auto build = [&] {
    attach(nullptr);
    CCorvaneAPIRequest::Setup setup;
    setup.transport = &m_owner->HttpTransport();
    setup.apiUrl = c.apiHost;
    setup.proxy = c.proxy;
    setup.apiKey = c.apiKey;
    setup.authToken = c.authToken;
    setup.email = c.email;
    setup.agentName = c.agentName;
    setup.ignoreCertErrors = c.ignoreCertErrors;
    setup.now = [this] { return m_owner->Now(); };
    setup.makeXml = [this](int32_t& error) { return m_owner->MakeXml(error); };
    api = std::make_unique<CCorvaneAPIRequest>(setup);
    attach(api.get());
  };
  build();
  struct Detach {
    std::function<void(CCorvaneAPIRequest*)> f;
    ~Detach() { f(nullptr); }
  } detach{attach};

  // Each step's wait from its last run; the pass returns the shortest.
  uint32_t credentialWait = kInfinite, deletionWait = kInfinite, resultWait = kInfinite;
  auto fail = [&](const char* format, int32_t code) {
    if (Working()) Note(9, Format(format, code, api->LastStatus(), api->LastError().c_str()));
    credentialWait = kCredentialRetry;
  };
  // One renewal at a time across the manager; a value another sender stored
  // meanwhile is taken instead of asking again.
  auto renewed = [&](const std::string CustomCredentials::*field, const std::string& had) {
    const CustomCredentials now = m_owner->GetCustomCredentials();
    if (!(now.*field).empty() && now.*field != had) {
      c.apiKey = now.apiKey;
      c.secretKey = now.secretKey;
      c.authToken = now.authToken;
      build();
      return true;
    }
    return false;
  };
  std::unique_lock<std::mutex> renewal(m_manager ? m_manager->RenewalLock() : m_queueLock, std::defer_lock);
  bool renewApiKey = false, renewSecret = false, renewToken = false;
  for (int pass = 0; pass < kPasses; ++pass) {
    if (!Working()) break;
    if (renewApiKey || c.apiKey.empty()) {
      if (m_manager) renewal.lock();
      if (renewed(&CustomCredentials::apiKey, c.apiKey)) {
        renewApiKey = false;
      } else {
        std::string key, secret = c.secretKey;
        const int32_t code = api->RequestApiKey(TrimRightText(c.agentKey), key, secret);
        if (code != 0) {
          fail("Failed getting new API key. (code: %d, status: %d, error: %s)", code);
          break;
        }
        Note(3, "Received New API key.");
        c.apiKey = key;
        m_owner->StoreAPIKey(key);
        renewApiKey = false;
        if (!secret.empty()) {
          Note(3, "Received New Secret key.");
          c.secretKey = secret;
          m_owner->StoreSecretKey(secret);
          renewToken = true;
        } else {
          renewSecret = true;
        }
      }
      if (renewal.owns_lock()) renewal.unlock();
      if (!Working()) break;
    }
    if (renewSecret || c.secretKey.empty()) {
      std::string secret;
      const int32_t code = api->RequestSecretKey(secret);
      if (code == 3) {
        renewApiKey = true;
        continue;
      }
      if (code != 0) {
        fail("Failed getting new Secret key. (code: %d, status: %d, error: %s)", code);
        break;
      }
      Note(3, "Received New Secret key.");
      c.secretKey = secret;
      m_owner->StoreSecretKey(secret);
      renewSecret = false;
      renewToken = true;
      if (!Working()) break;
    }
    if (renewToken || c.authToken.empty()) {
      if (m_manager) renewal.lock();
      if (!renewed(&CustomCredentials::authToken, c.authToken)) {
        std::string token;
        const int32_t code = api->RequestAuthToken(c.apiKey, c.secretKey, token);
        if (code == 1 || code == 3) {
          renewApiKey = true;
          if (renewal.owns_lock()) renewal.unlock();
          continue;
        }
        if (code != 0) {
          fail("Failed getting new auth token. (code: %d, status: %d, error: %s)", code);
          break;
        }
        Note(3, "Received New Auth token.");
        c.authToken = token;
        m_owner->StoreAuthToken(token);
      }
      renewToken = false;
      if (renewal.owns_lock()) renewal.unlock();
      if (!Working()) break;
    }

    // Deletions.
    int32_t last = 0;
    size_t n, sent = 0;
    {
      std::lock_guard<std::mutex> hold(m_queueLock);
      n = m_deletions.size();
    }
    if (n > 0)
      Note(10, Format("Sending remove jobs (threadID: %d, cached jobs: %lu)...", static_cast<int>(m_threadId),
                      static_cast<unsigned long>(n)));
    for (size_t i = 0; i < n; ++i) {
      JobDeletion d;
      {
        std::lock_guard<std::mutex> hold(m_queueLock);
        if (m_deletions.empty()) break;
        d = std::move(m_deletions.front());
        m_deletions.pop_front();
      }
      auto putBack = [&] {
        std::lock_guard<std::mutex> hold(m_queueLock);
        if (m_deletions.size() >= kMaxDeletions) m_deletions.pop_front();
        m_deletions.push_back(std::move(d));
      };
      if (!Working()) {
        putBack();
        last = -1;
        break;
      }
      last = api->RequestDeleteJob(d.jobIds, d.status);
      if (last == 3 || last == 4) {
        (last == 3 ? renewApiKey : renewToken) = true;
        putBack();
        break;
      }
      if (last == 0 || last == 10) {
        ++sent;
        continue;
      }
      if (Working())
        Note(9, Format("Failed sending remove job. (code: %d, status: %d, error: %s)", last,
                       api->LastStatus(), api->LastError().c_str()));
      putBack();
      if (last < 0) break;
    }
    size_t left;
    {
      std::lock_guard<std::mutex> hold(m_queueLock);
      left = m_deletions.size();
    }
    if (sent > 0)
      Note(3, Format("Successfully sent %d remove job(s). (threadID: %d, cached jobs: %lu)",
                     static_cast<int>(sent), static_cast<int>(m_threadId), static_cast<unsigned long>(left)));
    deletionWait = left > 0 ? 60000 : kInfinite;
    if (last == 3 || last == 4) continue;
    if (last != 0 && last != 10) break;

    // Results.
    sent = 0;
    last = 0;
    {
      std::lock_guard<std::mutex> hold(m_queueLock);
      n = m_results.size();
    }
    if (n > 0)
      Note(10, Format("Sending results (threadID: %d, cached results: %lu)...", static_cast<int>(m_threadId),
                      static_cast<unsigned long>(n)));
    for (size_t i = 0; i < n; ++i) {
      CustomResult r;
      {
        std::lock_guard<std::mutex> hold(m_queueLock);
        if (m_results.empty()) break;
        r = std::move(m_results.front());
        m_resultBytes -= r.results.size() + r.pluginName.size();
        m_results.pop_front();
      }
      auto putBack = [&] {
        std::lock_guard<std::mutex> hold(m_queueLock);
        PushBackResult(std::move(r));
      };
      if (!Working()) {
        putBack();
        last = -1;
        break;
      }
      const int64_t age = static_cast<int64_t>(m_owner->Now()) - r.checkTime;
      if (age > static_cast<int64_t>(CacheLimitMinutes()) * 60) {
        Note(10, Format("Result is too old. Skip sending (threadID: %d, monitorid: %d)...",
                        static_cast<int>(m_threadId), static_cast<int>(r.monitorId)));
        last = 0;
        continue;
      }
      last = api->RequestAddResult(r.monitorId, r.jobId, r.pluginName, r.checkTime, r.results, r.isError);
      if (last == 3 || last == 4) {
        (last == 3 ? renewApiKey : renewToken) = true;
        putBack();
        break;
      }
      if (last == 0) {
        ++sent;
      } else if (last == 7) {
        Note(10, Format("Received invalid monitor id error. Removing job (monitorID: %lu)...",
                        static_cast<unsigned long>(r.monitorId)));
        if (m_manager && Working()) m_manager->DeleteMonitorW(r.monitorId);
        ++sent;
      } else if (last == 6) {
        Note(10, Format("Received invalid parameter results error. Removing result (monitorID: %lu)...",
                        static_cast<unsigned long>(r.monitorId)));
        ++sent;
      } else if (last == -2) {
        Note(10, Format("Received invalid result error. Removing result (monitorID: %lu)...",
                        static_cast<unsigned long>(r.monitorId)));
        ++sent;
      } else {
        if (Working())
          Note(9, Format("Failed sending result. (code: %d, status: %d, error: %s)", last, api->LastStatus(),
                         api->LastError().c_str()));
        putBack();
        if (last < 0) break;
      }
    }
    {
      std::lock_guard<std::mutex> hold(m_queueLock);
      left = m_results.size();
    }
    if (sent > 0)
      Note(3, Format("Successfully sent %d result(s). (threadID: %d, cached results: %lu)",
                     static_cast<int>(sent), static_cast<int>(m_threadId), static_cast<unsigned long>(left)));
    resultWait = left > 0 ? 60000 : kInfinite;
    if (last == 3 || last == 4) continue;
    break;
  }
  return std::min(credentialWait, std::min(deletionWait, resultWait));
}
