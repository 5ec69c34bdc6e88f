// The exchange with the agent gateway: one POST per pass of the main loop,
// authorisation headers until a session exists, then batches of results.
#include <cctype>
#include <chrono>

#include "agent/AgentIdentity.h"
#include "agent/LogFormat.h"
#include "agent/LogWriter.h"
#include "agent/MainWorker.h"
#include "corelib/ExceptionRecord.h"

namespace {

constexpr const char* kUnit = "MainWorker";
constexpr auto kExchangeLimit = std::chrono::seconds(50);
constexpr const char* kEmptyPasswordDigest = "d41d8cd98f00b204e9800998ecf8427e";

}  // namespace

bool CMainWorker::JoinSendThread(std::chrono::milliseconds limit) {
  if (!m_sendThread.joinable() || m_sendThread.get_id() == std::this_thread::get_id()) return true;
  std::shared_ptr<SendState> state;
  {
    std::lock_guard<std::mutex> lock(m_sendStateLock);
    state = m_sendState;
  }
  if (state) {
    std::unique_lock<std::mutex> lock(state->lock);
    if (!state->finished.wait_for(lock, limit, [&] { return state->done; })) return false;
  }
  m_sendThread.join();
  return true;
}

void CMainWorker::WakeExchangeWaiter() {
  std::shared_ptr<SendState> state;
  {
    std::lock_guard<std::mutex> lock(m_sendStateLock);
    state = m_sendState;
  }
  if (!state) return;
  std::lock_guard<std::mutex> lock(state->lock);
  state->finished.notify_all();
}

void CMainWorker::authorize() {
  try {
    // An exchange cut off at the time limit had its handles closed, which ends
    // its blocking calls; the next exchange waits for it to be gone.
    JoinSendThread(std::chrono::hours(1));
    auto state = std::make_shared<SendState>();
    {
      std::lock_guard<std::mutex> lock(m_sendStateLock);
      m_sendState = state;
    }
    m_sendThread = std::thread([this, state] {
      SendPerfData();
      std::lock_guard<std::mutex> lock(state->lock);
      state->done = true;
      state->finished.notify_all();
    });
    std::unique_lock<std::mutex> lock(state->lock);
    // A stop under way ends the wait too: the exchange may itself be the one
    // stopping the work (the gateway refused the agent) and waits for this thread.
    bool ended = state->finished.wait_for(lock, kExchangeLimit,
                                          [&] { return state->done || GetWorkState() != Working; });
    bool done = state->done;
    lock.unlock();
    if (!ended) {
      NotifyStatus(9, std::string("Data sending timed out after 50 seconds."));
      m_seams.exchange.Abort();
      return;
    }
    if (done) m_sendThread.join();
  } catch (...) {
    LOG_EXCEPTION_RECORD(kUnit);
  }
}

int CMainWorker::SendPerfData() {
  try {
    if (GetWorkState() != Working) return 0;
    GatewayRequest request;
    request.host = m_gatewayHost;
    request.port = m_gatewayPort;
    request.path = m_gatewayPath;
    request.secure = m_useSecureConnection;
    request.proxy = GetProxy();
    request.userAgent = agent_identity::kUserAgent;
    request.ignoreCertErrors = m_ignoreCertErrors;

    uint32_t checksum = 0, uncompressedSize = 0;
    CResultCache::BatchToken batch = CResultCache::kNoBatch;
    if (m_authorized) {
      std::vector<uint8_t> payload;
      if (m_cache.GetFromCache(payload, batch, GetBufferSize(), GetCacheLimitMinutes(), m_seams.now()))
        BuildBody(payload, request, checksum, uncompressedSize);
    }
    request.headers = BuildRequestHeaders(checksum, uncompressedSize);

    GatewayReply reply;
    // A worker being destroyed may leave this thread behind, blocked in an
    // exchange that ignored the abort: it then touches nothing of the worker.
    auto working = [this] { return g_workerExists && GetWorkState() == Working; };
    m_seams.exchange.Post(request, working, [](const std::string& line) { agent_log().AppendLogLine(line); },
                          reply);
    if (reply.abandoned || !working()) return 0;
    if (reply.hasSession) ProcessAuthorizationResult(reply.sessionId);
    if (!working()) return 0;
    if (!reply.failure.empty()) NotifyStatus(9, reply.failure);
    if (working()) ProcessServerReply(reply.body, reply.error, reply.status, batch);
  } catch (...) {
    LOG_EXCEPTION_RECORD(kUnit);
  }
  return 0;
}

void CMainWorker::BuildBody(const std::vector<uint8_t>& payload, GatewayRequest& request, uint32_t& checksum,
                            uint32_t& uncompressedSize) {
  const size_t n = payload.size();
  checksum = 0;
  uncompressedSize = 0;
  if (!m_zlibAvailable) {
    request.body = payload;
    return;
  }
  std::vector<uint8_t> packed(n + n / 10 + 13, 0);
  size_t packedSize = packed.size();
  ICompression& zlib = m_seams.compression;
  if (zlib.Compress(packed.data(), &packedSize, payload.data(), n, -1)) {
    uint32_t c = zlib.Adler32(zlib.Adler32(0, nullptr, 0), packed.data(), packedSize);
    if (c != 0) {
      packed.resize(packedSize);
      request.body = std::move(packed);
      checksum = c;
      uncompressedSize = static_cast<uint32_t>(n);
      return;
    }
    // A zero checksum reads as "no checksum" at the gateway: send the raw bytes.
    request.body = payload;
    return;
  }
  request.body = payload;
  checksum = zlib.Adler32(zlib.Adler32(0, nullptr, 0), payload.data(), n);
}

std::string CMainWorker::BuildRequestHeaders(uint32_t checksum, uint32_t uncompressedSize) {
  const char* platformTag = agent_identity::kPlatform;
  const char* version = agent_identity::kVersion;
  if (m_authorized) {
    std::string session = GetSessionID();
    return Format(
        "Content-Type: application/octet-stream\r\nMon-SessionID: %s\r\nMon-Compression: %lu\r\nMon-CheckSum: "
        "%lu\r\nMon-Platform: %s\r\nMon-Version: %s\r\n",
        session.c_str(), static_cast<unsigned long>(uncompressedSize), static_cast<unsigned long>(checksum),
        platformTag, version);
  }
  std::string key, email, name;
  {
    std::lock_guard<std::mutex> lock(m_credentialsLock);
    key = m_agentKey;
    email = m_email;
    name = m_agentName;
  }
  std::string identity = Format(
      "Mon-Platform: %s\r\nMon-Version: %s\r\nMon-OSVersion: %s\r\nMon-Hostname: %s\r\nMon-Builddate: %s %s\r\n",
      platformTag, version, m_osVersion.c_str(), m_hostName.c_str(), agent_identity::kBuildDate,
      agent_identity::kBuildTime);
  if (!key.empty()) {
    return Format("Content-Type: application/octet-stream\r\nMon-AKey: %s\r\nMon-AName: %s\r\n", key.c_str(),
                  name.c_str()) +
           identity;
  }
  return Format("Content-Type: application/octet-stream\r\nMon-EMail: %s\r\nMon-Pass: %s\r\nMon-AName: %s\r\n",
                email.c_str(), HashedPassword().c_str(), name.c_str()) +
         identity;
}

std::string CMainWorker::HashedPassword() const {
  std::lock_guard<std::mutex> lock(m_credentialsLock);
  for (unsigned char c : m_password) {
    if (!isspace(c)) return m_password;
  }
  return kEmptyPasswordDigest;
}

void CMainWorker::ProcessAuthorizationResult(const std::string& value) {
  try {
    if (value.empty()) return;
    if (value == "666666") {
      NotifyStatus(1, std::string("Authorization Failed. All monitoring processes are stopped."));
      StopAllWorks();
      return;
    }
    if (value == "111111") {
      NotifyStatus(2, std::string("Internal Error on server during authorization."));
      return;
    }
    NotifyStatus(3, std::string("Authorization succeeded."));
    {
      std::lock_guard<std::mutex> lock(m_credentialsLock);
      m_sessionID = value;
      // The registration is persisted only once the gateway has accepted it.
      if (m_settings.CreateAgentKey()) {
        if (!m_agentKey.empty()) m_settings.SetAgentKey(m_agentKey.c_str());
        if (!m_agentName.empty()) m_settings.SetAgentName(m_agentName.c_str());
      }
    }
    m_authorized = true;
  } catch (...) {
    LOG_EXCEPTION_RECORD(kUnit);
  }
}

void CMainWorker::ProcessServerReply(const std::string& body, uint32_t error, uint32_t status,
                                     CResultCache::BatchToken batch) {
  try {
    if (m_authorized) {
      if (error == 0 && status == 200) {
        if (m_connectionLost.exchange(false)) NotifyStatus(5, std::string("Connection to server re-established."));
        m_cache.EmptyCacheBuffer(batch);
        ProcessCommands(body);
        return;
      }
      m_connectionLost = true;
    }
    if (error != 0) {
      NotifyStatus(9, m_seams.exchange.ErrorText(error));
      return;
    }
    std::string text = body.empty() ? Format("Server error %d received", static_cast<int>(status))
                                    : Format("Server error %d received. %s", static_cast<int>(status), body.c_str());
    NotifyStatus(status == 401 || status == 403 ? 11 : 9, text);
  } catch (...) {
    LOG_EXCEPTION_RECORD(kUnit);
  }
}

void CMainWorker::SetProxy(const char* proxy) {
  {
    std::lock_guard<std::mutex> lock(m_credentialsLock);
    m_settings.SetProxy(proxy);
    m_proxy = proxy ? proxy : "";
    // The HTTP monitor is given the new proxy here as well.
  }
  NotifyStatus(6, std::string("New Proxy Server will be used for HTTP connections."));
}
