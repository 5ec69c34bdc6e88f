#include "corelib/SnmpClient.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "corelib/ExceptionRecord.h"
#include "corelib/snmp_codec.h"
#include "corelib/snmp_socket.h"

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> g_engineStarted{false};

// Errors of the engine, by the codes of its error table.
constexpr int32_t kErrStartup = 18;
constexpr int32_t kErrEntity = 5;
constexpr int32_t kErrTooBig = 109;
constexpr int32_t kErrOid = 9;

constexpr const char* kTimedOut = "Request timed out";

// A receive slice: how long a cancel or an abort may take to be seen.
constexpr uint32_t kSliceMs = 50;
// Pending trap records a listener keeps before it drops new ones.
constexpr size_t kMaxPendingTraps = 1000;

int32_t NextRequestId() {
  static std::atomic<uint32_t> next{static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count())};
  return static_cast<int32_t>(next.fetch_add(1) & 0x3FFFFFFF) + 1;
}

std::vector<std::string> SplitAt(const std::string& text, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(sep, start);
    parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return parts;
}

bool ParseInt32(const std::string& text, int32_t& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  long long v = strtoll(text.c_str(), &end, 10);
  if (*end != '\0' || v < INT32_MIN || v > INT32_MAX) return false;
  out = static_cast<int32_t>(v);
  return true;
}

void AddVariableRecord(const SnmpVariable& v, CMonResult2& out) {
  out.create(0, 2, 0, 0, 0, 2);
  out.add(static_cast<uint32_t>(v.syntax));
  out.add(v.status);
  out.add(v.value.c_str());  // empty: "N/A"
  out.add(v.message.c_str());
}

}  // namespace

extern "C" int init_snmp_lib() {
  if (!snmp_net::Startup()) return 0;
  g_engineStarted = true;
  return 1;
}

struct CSnmpClient::Impl {
  explicit Impl(bool listener) : listener(listener) {}

  const bool listener;
  mutable std::mutex lock;  // everything below

  // The request.
  bool initialised = false;
  snmp_net::Address agent;
  std::string host, community;
  int32_t wireVersion = snmp::kWireV2c;
  std::vector<snmp::Oid> oids;
  std::vector<std::string> oidTexts;
  std::vector<snmp::Limits> limits;
  uint8_t pduType = snmp::kGet;
  uint64_t attemptMs = 0;
  uint32_t retry = 0;
  snmp_net::Socket socket = snmp_net::kNoSocket;
  std::vector<uint8_t> request;
  int32_t requestId = 0;
  bool outstanding = false;  // sent, neither answered nor ended
  bool done = false;         // the done event
  Clock::time_point sentAt;
  double responseTime = 0;
  bool (*abort)(void*) = nullptr;
  void* abortContext = nullptr;

  // The answer.
  std::vector<SnmpVariable> variables;
  std::string responder, answeredCommunity;
  std::string lastError;

  // The listener.
  int32_t trapTestID = 0, trapLid = 0;
  std::thread receiver;
  std::atomic<bool> stopReceiving{false};
  snmp_net::Socket trapSocket = snmp_net::kNoSocket;
  std::vector<CMonResult2> traps;  // pending
  uint64_t droppedTraps = 0;
  bool trapSignal = false;
  std::condition_variable trapEvent;

  void SetError(const std::string& text) { lastError = text; }
  void SetApiError(int32_t code) { lastError = snmp::ApiErrorText(code); }

  // Under the lock: the request ends with whatever was set before.
  void EndRequestLocked() {
    outstanding = false;
    done = true;
  }

  // Under the lock: a datagram that arrived for the outstanding request.
  void TakeAnswerLocked(const uint8_t* data, size_t size, const snmp_net::Address& from) {
    if (!outstanding || !(from == agent)) return;
    snmp::Message m;
    if (snmp::DecodeMessage(data, size, m) != snmp::DecodeResult::kOk) return;
    if (m.pduType != snmp::kResponse || m.requestId != requestId) return;
    responseTime = std::chrono::duration<double, std::milli>(Clock::now() - sentAt).count();
    responder = snmp_net::AddressText(from.ip);
    answeredCommunity = m.community;
    variables.clear();
    if (m.errorStatus != 0) {
      // The agent refused the request: its reason is the answer, with no variables.
      SetError(snmp::PduErrorText(m.errorStatus));
    } else {
      for (size_t i = 0; i < m.bindings.size() && i < oids.size(); ++i) {
        const snmp::VarBind& vb = m.bindings[i];
        SnmpVariable v;
        v.oid = snmp::OidToText(vb.name);
        v.syntax = snmp::SyntaxCode(vb.value.tag);
        v.value = snmp::ValueText(vb.value);
        v.status = snmp::RetStatus(vb.value, v.oid, limits[i], v.message);
        variables.push_back(std::move(v));
      }
    }
    EndRequestLocked();
  }

  void ReceiveTraps();
  void TakeTrap(const uint8_t* data, size_t size, const snmp_net::Address& from);
  void AppendTrapLocked(CMonResult2&& record) {
    if (traps.size() >= kMaxPendingTraps) {
      ++droppedTraps;
      return;
    }
    traps.push_back(std::move(record));
  }
  void StopListenerLocked(std::unique_lock<std::mutex>& held) {
    stopReceiving = true;
    std::thread t = std::move(receiver);
    held.unlock();  // the receiver takes the lock to append
    if (t.joinable()) t.join();
    held.lock();
    snmp_net::Close(trapSocket);
    trapSocket = snmp_net::kNoSocket;
  }
};

CSnmpClient::CSnmpClient(bool listener) : m_impl(new Impl(listener)) {}

CSnmpClient::~CSnmpClient() {
  try {
    std::unique_lock<std::mutex> held(m_impl->lock);
    m_impl->StopListenerLocked(held);
    snmp_net::Close(m_impl->socket);
  } catch (...) {
    LOG_EXCEPTION_RECORD("corelib/SnmpClient");
  }
  delete m_impl;
}

bool CSnmpClient::InitInst(const char* host, uint32_t port, const char* community, const char* oids,
                           uint32_t timeout, uint32_t retry, int32_t version, const char* minmax,
                           bool getNext) {
  Impl& c = *m_impl;
  std::lock_guard<std::mutex> guard(c.lock);
  c.initialised = false;
  c.oids.clear();
  c.oidTexts.clear();
  c.limits.clear();
  if (!g_engineStarted) {
    c.SetApiError(kErrStartup);
    return false;
  }
  c.wireVersion = version == 1 ? snmp::kWireV1 : snmp::kWireV2c;
  const std::string hostText = host ? host : "";
  const std::string communityText = community ? community : "";
  const std::string oidText = oids ? oids : "";
  if (!c.listener) {
    if (hostText.empty()) {
      c.SetError("Host name isn't specified.");
      return false;
    }
    uint32_t ip = 0;
    if (!snmp_net::Resolve(hostText, ip)) {
      c.SetError("Host name resolution failed.");
      return false;
    }
    if (port == 0 || port > 65535) {
      c.SetApiError(kErrEntity);
      return false;
    }
    c.agent = snmp_net::Address{ip, static_cast<uint16_t>(port)};
    c.attemptMs = static_cast<uint64_t>(timeout) * 1000;
    c.retry = retry;
    if (communityText.empty()) {
      c.SetError("Community string isn't specified.");
      return false;
    }
    if (oidText.empty()) {
      c.SetError("Object ID is incorrect.");
      return false;
    }
  }
  if (!oidText.empty()) {
    for (const std::string& item : SplitAt(oidText, ';')) {
      snmp::Oid oid;
      if (!snmp::ParseOid(item, oid)) {
        c.oids.clear();
        c.SetError("Object ID is incorrect.");
        return false;
      }
      if (oid.size() < 2 || oid[0] > 2 || (oid[0] < 2 && oid[1] >= 40)) {
        c.oids.clear();
        c.SetApiError(kErrOid);
        return false;
      }
      c.oids.push_back(std::move(oid));
      c.oidTexts.push_back(snmp::OidToText(c.oids.back()));
    }
  }
  c.limits.assign(c.oids.size(), snmp::Limits());
  const std::string minmaxText = minmax ? minmax : "";
  if (!minmaxText.empty()) {
    std::vector<std::string> items = SplitAt(minmaxText, ';');
    if (items.size() != c.oids.size()) {
      c.SetError("Min/Max specification is incorrect.");
      return false;
    }
    for (size_t i = 0; i < items.size(); ++i) {
      std::vector<std::string> pair = SplitAt(items[i], ',');
      snmp::Limits l;
      if (pair.size() == 2 && ParseInt32(pair[0], l.min) && ParseInt32(pair[1], l.max)) {
        l.set = true;
        c.limits[i] = l;
      }
    }
  }
  c.pduType = getNext ? snmp::kGetNext : snmp::kGet;
  c.host = hostText;
  c.community = communityText;
  c.variables.clear();
  c.lastError.clear();
  c.initialised = true;
  return true;
}

bool CSnmpClient::SendRequest() {
  Impl& c = *m_impl;
  std::lock_guard<std::mutex> guard(c.lock);
  if (!c.initialised || c.listener) return false;
  snmp::Message m;
  m.version = c.wireVersion;
  m.community = c.community;
  m.pduType = c.pduType;
  m.requestId = NextRequestId();
  for (const snmp::Oid& oid : c.oids) m.bindings.push_back(snmp::VarBind{oid, snmp::Value()});
  if (!snmp::EncodeMessage(m, c.request)) {
    c.SetApiError(kErrTooBig);
    return false;
  }
  int32_t error = 0;
  if (c.socket == snmp_net::kNoSocket) {
    c.socket = snmp_net::OpenUdp(0, error);
    if (c.socket == snmp_net::kNoSocket) {
      c.SetApiError(error);
      return false;
    }
  }
  c.requestId = m.requestId;
  c.variables.clear();
  c.lastError.clear();
  c.done = false;
  c.sentAt = Clock::now();
  if (!snmp_net::SendTo(c.socket, c.agent, c.request.data(), c.request.size(), error)) {
    c.SetApiError(error);
    return false;
  }
  c.outstanding = true;
  return true;
}

bool CSnmpClient::wait(uint32_t ms) {
  Impl& c = *m_impl;
  const Clock::time_point begin = Clock::now();
  const Clock::time_point deadline = begin + std::chrono::milliseconds(ms);
  std::vector<uint8_t> buffer(snmp::kMaxMessage);
  std::unique_lock<std::mutex> held(c.lock);
  if (!c.initialised || c.listener) return false;
  if (!c.outstanding && !c.done) return false;
  Clock::time_point attemptEnd = c.sentAt + std::chrono::milliseconds(c.attemptMs);
  uint32_t retriesLeft = c.retry;
  for (;;) {
    if (c.done) {
      c.done = false;  // the event is reset once it has been seen
      return true;
    }
    if (c.abort && c.abort(c.abortContext)) {
      c.EndRequestLocked();
      continue;
    }
    Clock::time_point now = Clock::now();
    if (now >= deadline) {
      c.outstanding = false;
      c.SetError(kTimedOut);
      return false;
    }
    if (now >= attemptEnd) {
      if (retriesLeft == 0) {
        // Out of retransmissions: the engine's own time-out ends the request.
        c.responseTime = std::chrono::duration<double, std::milli>(now - c.sentAt).count();
        c.SetError(kTimedOut);
        c.EndRequestLocked();
        continue;
      }
      --retriesLeft;
      int32_t error = 0;
      snmp_net::SendTo(c.socket, c.agent, c.request.data(), c.request.size(), error);  // same request id
      attemptEnd = now + std::chrono::milliseconds(c.attemptMs);
    }
    const Clock::time_point sliceEnd =
        std::min({deadline, attemptEnd, now + std::chrono::milliseconds(kSliceMs)});
    const auto slice = static_cast<uint32_t>(
        std::max<int64_t>(1, std::chrono::duration_cast<std::chrono::milliseconds>(sliceEnd - now).count()));
    const snmp_net::Socket socket = c.socket;
    held.unlock();
    snmp_net::Address from;
    long n = snmp_net::RecvFrom(socket, buffer.data(), buffer.size(), from, slice);
    held.lock();
    if (n > 0) c.TakeAnswerLocked(buffer.data(), static_cast<size_t>(n), from);
  }
}

void CSnmpClient::cancelRequest() {
  Impl& c = *m_impl;
  std::lock_guard<std::mutex> guard(c.lock);
  if (c.outstanding) c.EndRequestLocked();
  c.trapSignal = true;
  c.trapEvent.notify_all();
}

void CSnmpClient::SetAbortCheck(bool (*abort)(void*), void* context) {
  std::lock_guard<std::mutex> guard(m_impl->lock);
  m_impl->abort = abort;
  m_impl->abortContext = context;
}

bool CSnmpClient::RegisterTrap(bool on, uint32_t port) {
  Impl& c = *m_impl;
  std::unique_lock<std::mutex> held(c.lock);
  if (!c.listener) return false;
  if (!on) {
    c.StopListenerLocked(held);
    return true;
  }
  if (!c.initialised) {
    c.SetApiError(kErrStartup);
    return false;
  }
  if (c.trapSocket != snmp_net::kNoSocket) return true;
  if (port == 0 || port > 65535) port = 162;
  int32_t error = 0;
  c.trapSocket = snmp_net::OpenUdp(static_cast<uint16_t>(port), error);
  if (c.trapSocket == snmp_net::kNoSocket) {
    c.SetApiError(error);
    return false;
  }
  c.stopReceiving = false;
  try {
    c.receiver = std::thread([&c] { c.ReceiveTraps(); });
  } catch (...) {
    snmp_net::Close(c.trapSocket);
    c.trapSocket = snmp_net::kNoSocket;
    c.SetApiError(103);
    return false;
  }
  return true;
}

void CSnmpClient::Impl::ReceiveTraps() {
  try {
    std::vector<uint8_t> buffer(snmp::kMaxMessage);
    while (!stopReceiving) {
      snmp_net::Address from;
      long n = snmp_net::RecvFrom(trapSocket, buffer.data(), buffer.size(), from, 100);
      if (n > 0) TakeTrap(buffer.data(), static_cast<size_t>(n), from);
      if (n < 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));  // no busy loop on a failing socket
    }
  } catch (...) {
    LOG_EXCEPTION_RECORD("corelib/SnmpClient");
  }
}

void CSnmpClient::Impl::TakeTrap(const uint8_t* data, size_t size, const snmp_net::Address& from) {
  snmp::Message m;
  std::string why;
  const snmp::DecodeResult result = snmp::DecodeMessage(data, size, m, &why);
  if (result == snmp::DecodeResult::kMalformed) return;
  if (m.pduType != snmp::kTrapV2 && m.pduType != snmp::kInform) return;  // v1 traps and requests are not ours
  const uint32_t kind = m.pduType == snmp::kInform ? 2 : 1;
  if (kind == 2 && result == snmp::DecodeResult::kOk) {
    // Informs are acknowledged, retransmitted ones again: the sender stops when one answer arrives.
    snmp::Message answer = m;
    answer.pduType = snmp::kResponse;
    answer.errorStatus = 0;
    answer.errorIndex = 0;
    std::vector<uint8_t> bytes;
    int32_t error = 0;
    if (snmp::EncodeMessage(answer, bytes))
      snmp_net::SendTo(trapSocket, from, bytes.data(), bytes.size(), error);
  }
  const std::string responder = snmp_net::AddressText(from.ip);
  const std::string community = m.community.empty() ? "-" : m.community;
  std::lock_guard<std::mutex> guard(lock);
  if (result == snmp::DecodeResult::kBadBindings) {
    CMonResult2 r;
    r.create(0, 6, 1, 0, 0, 5);
    r.init(61, static_cast<uint32_t>(trapTestID), static_cast<uint32_t>(trapLid));
    r.add(static_cast<uint32_t>(19));
    r.add(static_cast<uint32_t>(0));
    r.add(responder.c_str());
    r.add(community.c_str());
    r.add("-");
    r.add("-");
    r.add(snmp::ApiErrorText(19));
    r.add(static_cast<uint32_t>(2));
    AppendTrapLocked(std::move(r));
  } else {
    const char* message = kind == 2 ? "A new INFORM package is obtained." : "A new TRAP package is obtained.";
    for (const snmp::VarBind& vb : m.bindings) {
      CMonResult2 r;
      r.create(0, 6, 1, 0, 0, 5);
      r.init(61, static_cast<uint32_t>(trapTestID), static_cast<uint32_t>(trapLid));
      r.add(static_cast<uint32_t>(snmp::SyntaxCode(vb.value.tag)));
      r.add(kind);
      r.add(responder.c_str());
      r.add(community.c_str());
      r.add(snmp::OidToText(vb.name).c_str());
      r.add(snmp::ValueText(vb.value).c_str());
      r.add(static_cast<uint32_t>(0));
      r.add(message);
      AppendTrapLocked(std::move(r));
    }
    if (m.bindings.empty()) return;
  }
  trapSignal = true;
  trapEvent.notify_all();
}

void CSnmpClient::SetTrapStamp(int32_t testID, int32_t lid) {
  std::lock_guard<std::mutex> guard(m_impl->lock);
  m_impl->trapTestID = testID;
  m_impl->trapLid = lid;
}

bool CSnmpClient::WaitForTraps(uint32_t ms) {
  Impl& c = *m_impl;
  std::unique_lock<std::mutex> held(c.lock);
  bool signalled = c.trapEvent.wait_for(held, std::chrono::milliseconds(ms), [&c] { return c.trapSignal; });
  c.trapSignal = false;
  return signalled;
}

std::vector<CMonResult2> CSnmpClient::TakeTraps() {
  std::vector<CMonResult2> taken;
  std::lock_guard<std::mutex> guard(m_impl->lock);
  taken.swap(m_impl->traps);
  return taken;
}

uint64_t CSnmpClient::DroppedTraps() const {
  std::lock_guard<std::mutex> guard(m_impl->lock);
  return m_impl->droppedTraps;
}

size_t CSnmpClient::OidCount() const {
  std::lock_guard<std::mutex> guard(m_impl->lock);
  return m_impl->oids.size();
}

size_t CSnmpClient::VariableCount() const {
  std::lock_guard<std::mutex> guard(m_impl->lock);
  return m_impl->variables.size();
}

bool CSnmpClient::GetVariable(size_t i, SnmpVariable& out) const {
  std::lock_guard<std::mutex> guard(m_impl->lock);
  if (i >= m_impl->variables.size()) return false;
  out = m_impl->variables[i];
  return true;
}

bool CSnmpClient::GetVariableRecord(size_t i, CMonResult2& out) const {
  SnmpVariable v;
  if (!GetVariable(i, v)) return false;
  AddVariableRecord(v, out);
  return true;
}

double CSnmpClient::ResponseTime() const {
  std::lock_guard<std::mutex> guard(m_impl->lock);
  return m_impl->responseTime;
}

std::string CSnmpClient::LastError() const {
  std::lock_guard<std::mutex> guard(m_impl->lock);
  return m_impl->lastError;
}

std::string CSnmpClient::Responder() const {
  std::lock_guard<std::mutex> guard(m_impl->lock);
  return m_impl->responder;
}

void CSnmpClient::DeleteResult(CMonResult2* result) { delete result; }
