// CSnmpMon: polls SNMP agents and listens for traps. Each due test's check is
// one GET of its OIDs on a thread of the check runner, with a client of its
// own, on a copy of the test; the result carries one nested record per
// requested OID. One trap listener per agent turns SNMPv2c traps and informs
// into records stamped with the testID and lid of the line that started it.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent/Plugins/CheckRunner.h"
#include "agent/Plugins/MonTestTable.h"
#include "corelib/SnmpClient.h"

struct CSnmpTest : CMonTest {
  std::string host;
  uint32_t port = 0;
  std::string community;
  std::string OID;  // one or several separated by semicolons
  uint32_t timeout = 0;
  uint32_t retry = 0;
  int32_t version = 2;
  std::string minmax;
  bool answeredBefore = false;
};

namespace snmp_mon {

// The longest wait a check may ask for; a wait of (retry + 1) x timeout
// seconds past it is clamped, never wrapped.
constexpr uint32_t kLongestWaitMs = 0xFFFFFFFEu;

inline uint32_t CheckWaitMs(uint32_t timeout, uint32_t retry) {
  const uint64_t ms = (static_cast<uint64_t>(retry) + 1) * static_cast<uint64_t>(timeout) * 1000;
  return ms > kLongestWaitMs ? kLongestWaitMs : static_cast<uint32_t>(ms);
}

inline const char* OrNA(const std::string& s) { return s.empty() ? "N/A" : s.c_str(); }

// A field read as an unsigned 32-bit number; what does not fit keeps its low
// bits no more: it becomes a value the client refuses.
inline uint32_t ReadUnsigned(const std::string& field) {
  const long long v = strtoll(field.c_str(), nullptr, 10);
  if (v < 0 || v > 0xFFFFFFFFll) return 0xFFFFFFFFu;
  return static_cast<uint32_t>(v);
}

}  // namespace snmp_mon

template <class Owner>
class CSnmpMon : public CMonTestTable<Owner, CSnmpTest> {
  using Base = CMonTestTable<Owner, CSnmpTest>;

 public:
  // At most this many checks at once: a tick's worth of tests starts in one pass.
  static constexpr size_t kMaxChecks = 256;

  // `trapPort` names the UDP port of the trap listener, read when one starts.
  explicit CSnmpMon(std::function<uint32_t()> trapPort = nullptr)
      : Base("mon_snmp: ", "SP"), m_trapPort(std::move(trapPort)), m_runner(kMaxChecks) {
    this->m_unitName = "Plugins/snmp_mon";
    m_available = init_snmp_lib() != 0;
  }
  ~CSnmpMon() override { this->Shutdown(); }

  bool Available() const { return m_available; }

  bool ProcessTest(const char* text) override {
    if (!text || !*text) return false;
    const std::string line = text;
    const std::string code = line.substr(0, line.find('\t'));
    if (code == "SPA" || code == "SPM") {
      if (!m_available) return false;  // refused without a word
      return Base::ProcessTest(text);
    }
    if (code == "SPD") return Base::ProcessTest(text);
    if (code != "TRA" && code != "TRD") return Base::ProcessTest(text);  // "Incorrect test format!"
    Log(Format("processing test: '%s'", text));
    std::vector<std::string> fields = SplitText(line, '\t');
    if (code == "TRA" && fields.size() == 3)
      return StartTrapListener(ReadNumber(fields[1]), ReadNumber(fields[2]));
    if (code == "TRD" && fields.size() >= 2) {
      StopTrapListener(ReadNumber(fields[1]), true);
      return true;
    }
    return this->IncorrectFormat();
  }

  bool Start() override {
    if (!m_available) return false;
    bool started = Base::Start();
    if (started) m_runner.Start();
    return started;
  }

  // The runner's and the listener's stops come after the table's, outside the table lock.
  void FinishStop(typename Base::Clock::time_point deadline) override {
    Base::FinishStop(deadline);
    m_runner.Stop();
    StopTrapListener(0, false);
  }

  bool TrapListenerRunning() {
    std::lock_guard<std::mutex> lock(m_listenerLock);
    return m_listener != nullptr;
  }
  size_t RunningChecks() const { return m_runner.RunningCount(); }

 protected:
  using Base::Log;

  bool ParseTest(const std::vector<std::string>& f, CSnmpTest& t) override {
    if (f.size() != 16) return false;
    t.host = f[3];
    t.port = snmp_mon::ReadUnsigned(f[4]);
    t.version = ReadNumber(f[5]);
    t.OID = f[6];
    t.community = f[7];
    t.timeout = snmp_mon::ReadUnsigned(f[13]);
    t.retry = snmp_mon::ReadUnsigned(f[14]);
    t.minmax = f[15];
    return true;
  }

  std::string DescribeTest(const CSnmpTest& t) override { return Describe("adding test...", t); }
  std::string DescribeDelete(int32_t testID) override { return Format("removing test... testID:%d", testID); }

  // A modified test keeps what it learnt: whether it was answered before.
  void UpdateTest(CSnmpTest& existing, const CSnmpTest& parsed) override {
    const bool answered = existing.answeredBefore;
    existing = parsed;
    existing.answeredBefore = answered;
  }

  bool CheckTest(CSnmpTest& t) override {
    // No free slot: not begun, the test stays due.
    return m_runner.StartCheck(t.testID,
                               [this, copy = t](CCheckToken& token) { MakeSingleSNMPrequest(copy, token); });
  }

  void ShutdownChecks() override {
    m_runner.Shutdown();
    StopTrapListener(0, false);
  }

 private:
  std::string Describe(const char* what, const CSnmpTest& t) {
    using snmp_mon::OrNA;
    return Format(
        "%s testID:%d, lid:%d, host:%s, port:%d, community:%s, OID:%s, timeout:%d, retry:%d, version:%d, "
        "minmax:%s",
        what, t.testID, t.lid, OrNA(t.host), static_cast<int>(t.port), OrNA(t.community), OrNA(t.OID),
        static_cast<int>(t.timeout), static_cast<int>(t.retry), t.version, OrNA(t.minmax));
  }

  // "mon_smnp": the check's own lines have always carried this tag.
  void CheckLog(const std::string& text) { this->WriteLog(0, ("mon_smnp: " + text).c_str()); }

  void MakeSingleSNMPrequest(const CSnmpTest& t, CCheckToken& token) {
    Log(Describe("checking test...", t));
    const uint32_t waitMs = snmp_mon::CheckWaitMs(t.timeout, t.retry);
    CSnmpClient client(false);
    // The cancel action ends the outstanding request; it must be gone before the client.
    struct CancelGuard {
      CCheckToken& token;
      ~CancelGuard() { token.ClearCancel(); }
    } guard{token};
    bool ok = client.InitInst(t.host.c_str(), t.port, t.community.c_str(), t.OID.c_str(), t.timeout, t.retry,
                              t.version, t.minmax.c_str(), false);
    if (ok && !token.SetCancel([&client] { client.cancelRequest(); })) return;  // stopped already
    if (ok) {
      CheckLog(Format("sending request for testID: %d", t.testID));
      ok = client.SendRequest();
      if (!ok) CheckLog(Format("send request failed for testID: %d", t.testID));
    }
    if (ok) {
      CheckLog(Format("waiting for response for testID: %d", t.testID));
      ok = client.wait(waitMs);
      if (!ok) CheckLog(Format("wait failed for testID: %d", t.testID));
    }
    if (token.StopRequested()) return;
    if (ok) {
      if (client.ResponseTime() >= waitMs) {
        CheckLog(Format("snmp timeout for testID: %d", t.testID));
        ok = false;
      } else if (!client.LastError().empty()) {
        CheckLog(Format("snmp returned error result for testID: %d", t.testID));
        ok = false;
      } else if (client.VariableCount() == 0) {
        CheckLog(Format("snmp returned empty result for testID: %d", t.testID));
        ok = false;
      } else {
        CheckLog(
            Format("snmp returns success for testID: %d, spentTime: %.2f", t.testID, client.ResponseTime()));
      }
    }
    CMonResult2 result;
    result.create(0, 5, 1, 0, 1, 1);
    result.init(57, static_cast<uint32_t>(t.testID), static_cast<uint32_t>(t.lid));
    if (ok) {
      result.add(client.ResponseTime());
      result.add("New results are available.\n");
      result.add(static_cast<uint32_t>(0));
      result.add(static_cast<uint32_t>(t.answeredBefore ? 1 : 0));
      // One nested record per requested OID, in order; an OID the agent left
      // out of its answer is a value that was not there.
      std::vector<std::string> requested = SplitText(t.OID, ';');
      for (size_t i = 0; i < client.OidCount(); ++i) {
        SnmpVariable v;
        if (!client.GetVariable(i, v)) {
          v = SnmpVariable();
          v.oid = i < requested.size() ? requested[i] : "";
          v.syntax = 19;
          v.status = 2;
        }
        CheckLog(Format("OID: '%s', type: %d, value: '%s', status: %d", v.oid.c_str(), v.syntax,
                        v.value.c_str(), static_cast<int>(v.status)));
        CMonResult2 nested;
        nested.create(0, 2, 0, 0, 0, 2);
        nested.add(static_cast<uint32_t>(v.syntax));
        nested.add(v.status);
        nested.add(v.value.c_str());  // empty: "N/A"
        nested.add(v.message.c_str());
        result.add(nested);
      }
      token.Post([&] {
        this->PostResult(&result);
        MarkAnswered(t.testID);
      });
    } else {
      std::string error = client.LastError();
      if (error.empty()) error = "Request timed out.";
      CheckLog(Format("snmp check failed for testID: %d, err: '%s'", t.testID, error.c_str()));
      result.add(0.0);
      result.add(error.c_str());
      result.add(static_cast<uint32_t>(3));
      result.add(static_cast<uint32_t>(client.OidCount()));
      token.Post([&] { this->PostResult(&result); });
    }
  }

  void MarkAnswered(int32_t testID) {
    std::lock_guard<std::timed_mutex> lock(this->m_tableLock);
    auto found = this->m_index.find(testID);
    if (found != this->m_index.end()) (*found->second)->answeredBefore = true;
  }

  // ---- the trap listener ----

  bool StartTrapListener(int32_t testID, int32_t lid) {
    if (!m_available) return false;
    this->Start();  // the listener posts through the running monitor
    std::lock_guard<std::mutex> lock(m_listenerLock);
    if (m_listener) return true;  // one per agent: the first line's testID and lid stay
    auto client = std::make_unique<CSnmpClient>(true);
    client->SetTrapStamp(testID, lid);  // before the first trap can arrive
    uint32_t port = m_trapPort ? m_trapPort() : 162;
    if (port == 0 || port > 65535) port = 162;
    if (!client->InitInst("", 0, "", "", 0, 0, 2, "", false) || !client->RegisterTrap(true, port)) {
      Log(Format("trap listener not started: %s", client->LastError().c_str()));
      return false;
    }
    m_listenerStop = false;
    CSnmpClient* raw = client.get();
    try {
      m_listenerThread = std::thread([this, raw] { SNMP_TRAP_Listener(*raw); });
    } catch (...) {
      LOG_EXCEPTION_RECORD(this->m_unitName);
      return false;  // the client goes, and with it its receiver
    }
    m_listener = std::move(client);
    m_listenerTestID = testID;
    return true;
  }

  // Only for the listener's testID, unless `any` is false (a stop).
  void StopTrapListener(int32_t testID, bool onlyThisTest) {
    std::unique_ptr<CSnmpClient> client;
    std::thread thread;
    {
      std::lock_guard<std::mutex> lock(m_listenerLock);
      if (!m_listener || (onlyThisTest && testID != m_listenerTestID)) return;
      m_listenerStop = true;
      m_listener->cancelRequest();  // wakes the thread at once
      client = std::move(m_listener);
      thread = std::move(m_listenerThread);
    }
    if (thread.joinable()) thread.join();
    client->RegisterTrap(false);
  }

  // Waits for the listener's event, resets it, then posts what came, outside
  // the client's lock.
  void SNMP_TRAP_Listener(CSnmpClient& client) {
    try {
      uint64_t droppedSeen = 0;
      for (;;) {
        client.WaitForTraps(1000);
        if (m_listenerStop) break;
        std::vector<CMonResult2> records = client.TakeTraps();
        for (CMonResult2& r : records) this->PostResult(&r);
        const uint64_t dropped = client.DroppedTraps();
        if (dropped != droppedSeen) {
          Log(Format("%llu traps dropped: too many were waiting.",
                     static_cast<unsigned long long>(dropped - droppedSeen)));
          droppedSeen = dropped;
        }
      }
    } catch (...) {
      LOG_EXCEPTION_RECORD(this->m_unitName);
    }
  }

  bool m_available = false;
  std::function<uint32_t()> m_trapPort;

  std::mutex m_listenerLock;  // the listener's fields
  std::unique_ptr<CSnmpClient> m_listener;
  std::thread m_listenerThread;
  int32_t m_listenerTestID = 0;
  std::atomic<bool> m_listenerStop{false};

  CCheckRunner m_runner;  // last: its checks use the members above
};
