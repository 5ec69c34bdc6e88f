// The exchange with the agent gateway: one POST per pass of the main loop,
// authorisation headers until a session exists, then batches of results.
#include <cctype>
#include <chrono>
#include <cstring>

#include "agent/AgentIdentity.h"
#include "agent/LogFormat.h"
#include "agent/LogWriter.h"
#include "agent/MainWorker.h"
#include "corelib/ExceptionRecord.h"

namespace {

constexpr const char* kEmptyPasswordDigest = "d41d8cd98f00b204e9800998ecf8427e";

}  // namespace

// One exchange per pass, on its own thread, waited for at most the exchange
// limit. A pass that finds the previous exchange still running (cut off at the
// limit, its handles closed but its call not yet returned) sends nothing.
void CMainWorker::authorize() {
  try {
    if (!m_exchange.Begin([this] { SendPerfData(); })) {
      AppendLog("The previous exchange is still running; this pass sends nothing.");
      return;
    }
    // A stop under way ends the wait too: the exchange may itself be the one
    // stopping the work (the gateway refused the agent).
    bool done = m_exchange.WaitDone(m_seams.exchangeLimit, [this] { return GetWorkState() != Working; });
    if (done || GetWorkState() != Working) return;
    NotifyStatus(9, std::string("Data sending timed out after 50 seconds."));
    m_exchange.Cancel();
  } catch (...) {
    LOG_EXCEPTION_RECORD(kUnit);
  }
}

// The kind of request is read once, here: it decides the body, the header
// block and what the reply may confirm, whatever the reply does to the session.
int CMainWorker::SendPerfData() {
  try {
    if (GetWorkState() != Working) return 0;
    ExchangePlan plan;
    plan.authorization = !m_authorized;
    GatewayRequest request;
    request.host = m_gatewayHost;
    request.port = m_gatewayPort;
    request.path = m_gatewayPath;
    request.secure = m_useSecureConnection;
    request.proxy = GetProxy();
    request.userAgent = agent_identity::kUserAgent;
    request.ignoreCertErrors = m_ignoreCertErrors;

    uint32_t checksum = 0, uncompressedSize = 0;
    if (plan.authorization) {
      // An authorisation carries no results; a batch handed out before goes
      // back to waiting, whole, for the next data exchange.
      m_cache.DropPending();
    } else {
      std::vector<uint8_t> payload;
      if (m_cache.GetFromCache(payload, plan.batchToken, GetBufferSize(), GetCacheLimitMinutes(), m_seams.now()))
        BuildBody(payload, request, checksum, uncompressedSize);
    }
    request.headers = BuildRequestHeaders(plan.authorization, checksum, uncompressedSize);

    GatewayReply reply;
    auto working = [this] { return GetWorkState() == Working; };
    m_seams.exchange.Post(request, working, [](const std::string& line) { agent_log().AppendLogLine(line); },
                          reply);
    if (reply.abandoned || !working()) return 0;
    // The body ends at its first zero byte, as if one had been added on receipt.
    reply.body.resize(strnlen(reply.body.c_str(), reply.body.size()));
    if (reply.hasSession && IsValidSessionId(reply.sessionId)) ProcessAuthorizationResult(reply.sessionId);
    if (!working()) return 0;
    if (!reply.failure.empty()) NotifyStatus(9, reply.failure);
    if (reply.bodyCut) reply.body.clear();  // confirmed (the gateway said 200), not executed
    if (working()) ProcessServerReply(reply.body, reply.error, reply.status, plan);
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

std::string CMainWorker::BuildRequestHeaders(bool authorization, uint32_t checksum, uint32_t uncompressedSize) {
  const char* platformTag = agent_identity::kPlatform;
  const char* version = agent_identity::kVersion;
  if (!authorization) {
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
                                     const ExchangePlan& plan) {
  try {
    if (m_authorized) {
      if (error == 0 && status == 200) {
        if (m_connectionLost.exchange(false)) NotifyStatus(5, std::string("Connection to server re-established."));
        m_cache.EmptyCacheBuffer(plan.batchToken);
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
    m_httpMon.SetProxy(m_proxy);
  }
  NotifyStatus(6, std::string("New Proxy Server will be used for HTTP connections."));
}
