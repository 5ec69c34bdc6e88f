// CICMPMon: hosts that must answer ICMP echo. Each due test's check runs on a
// thread of its own (the check runner), on its own copy of the test, so a dead
// host holds up no other test. A check asks the system's echo service first
// and falls back to corelib's raw-socket echo only when that service gave no
// answer and no loss at all (missing, name not resolved, no handle).
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "agent/LogFormat.h"
#include "agent/Plugins/CheckRunner.h"
#include "agent/Plugins/MonTestTable.h"
#include "agent/TextFields.h"
#include "corelib/ExceptionRecord.h"
#include "platform/icmp_echo.h"

struct CICMPTest : CMonTest {
  std::string host;
  int32_t count = 4;      // echoes per check, 1..10
  int32_t size = 32;      // data bytes, 32..4096
  uint32_t timeout = 0;   // ms per echo
  uint32_t max_lost = 0;  // kNoLimit: any number
};

// The judgement of one check, free of the monitor.
namespace icmp_check {

constexpr uint32_t kNoLimit = 0xFFFFFFFF;  // -1 on the test line

struct Verdict {
  uint32_t status;  // 0 within limits, 2 too many lost, 3 no answer
  double average;   // as reported
  std::string text;
};

inline Verdict Judge(int32_t count, int32_t lost, int32_t received, double average, uint32_t maxLost) {
  if (lost >= count || received < 1) return {3, average, "All sent packets were lost"};
  if (maxLost == kNoLimit || static_cast<uint32_t>(lost) <= maxLost) {
    // A loopback answer takes under a millisecond; 0 would read as no answer.
    if (average < 0.01) average = 0.01;
    return {
        0, average,
        Format("ICMP echo results are within acceptable limits.\nPackets: Sent = %d, Received = %d, Lost = "
               "%d.\nAverage round trip time: %.2fms",
               count, count - lost, lost, average)};
  }
  return {2, average,
          Format("Number of lost packets: %d | Max allowed: %d", lost, static_cast<int32_t>(maxLost))};
}

}  // namespace icmp_check

template <class Owner>
class CICMPMon : public CMonTestTable<Owner, CICMPTest> {
  using Base = CMonTestTable<Owner, CICMPTest>;

 public:
  static constexpr uint32_t kResultType = 48;
  // Enough for a gateway's whole set of ping tests to start in one pass.
  static constexpr size_t kMaxChecks = 512;

  explicit CICMPMon(IIcmpEcho& icmp) : Base("mon_icmp: ", "PG"), m_icmp(icmp), m_runner(kMaxChecks) {
    this->m_unitName = "Plugins/icmp_mon";
    m_sockets = m_icmp.StartSockets();
  }
  ~CICMPMon() override {
    this->Shutdown();
    if (m_sockets) m_icmp.StopSockets();
  }

  // An empty host rejects the line with no word beyond the processing line.
  bool ProcessTest(const char* text) override {
    if (text && *text) {
      std::vector<std::string> f = SplitText(text, '\t');
      if ((f[0] == "PGA" || f[0] == "PGM") && f.size() == 8 && f[3].empty()) {
        this->Log(Format("processing test: '%s'", text));
        return false;
      }
    }
    return Base::ProcessTest(text);
  }

  bool Start() override {
    bool started = Base::Start();
    if (started) m_runner.Start();
    return started;
  }
  // The running checks stop after the table, outside its lock.
  void FinishStop(typename Base::Clock::time_point deadline) override {
    Base::FinishStop(deadline);
    m_runner.Stop();
  }

  size_t RunningChecks() const { return m_runner.RunningCount(); }

 protected:
  bool ParseTest(const std::vector<std::string>& f, CICMPTest& t) override {
    // The line gives size before count.
    if (f.size() != 8 || f[3].empty()) return false;
    t.host = f[3];
    t.size = ReadNumber(f[4]);
    t.count = ReadNumber(f[5]);
    t.timeout = static_cast<uint32_t>(ReadNumber(f[6]));
    t.max_lost = static_cast<uint32_t>(ReadNumber(f[7]));
    if (t.count < 1 || t.count > 10) t.count = 4;
    if (t.size < 32 || t.size > 4096) t.size = 32;
    return true;
  }

  std::string DescribeTest(const CICMPTest& t) override {
    return Format("addmodify test... testID:%d, lid:%d, host:'%s'", t.testID, t.lid, t.host.c_str());
  }

  // Hands the check to the runner; false (the test stays due) when no slot is free.
  bool CheckTest(CICMPTest& t) override {
    // An echo nothing can cut short must not hold up a restart.
    bool releasable = !m_icmp.EchoCancellable();
    return m_runner.StartCheck(
        t.testID, [this, copy = t](CCheckToken& token) { MakeSingleEcho(copy, token); }, releasable);
  }

  void ShutdownChecks() override { m_runner.Shutdown(); }

 private:
  // Every line of a check goes through its token: none after a stop.
  void Say(CCheckToken& token, const std::string& text) {
    token.Post([&] { this->Log(text); });
  }

  void MakeSingleEcho(const CICMPTest& t, CCheckToken& token) {
    const char* host = t.host.c_str();
    int32_t received = 0, lost = 0;
    double sum = 0, average = 0;

    if (m_icmp.HelperAvailable()) {
      Say(token, Format("checking testID:%d, lid:%d, host:'%s', method:'IPHLPAPI'", t.testID, t.lid, host));
      uint32_t address = 0;
      std::shared_ptr<IIcmpEchoSession> session;
      if (m_icmp.Resolve(t.host, address)) session = m_icmp.Open();
      if (session) {
        std::vector<uint8_t> data(static_cast<size_t>(t.size), 'W');
        bool going = token.SetCancel([session] { session->Cancel(); });
        for (int32_t i = 0; going && i < t.count; ++i) {
          IcmpEchoResult r = session->Echo(address, data, t.timeout);
          switch (r.kind) {
            case IcmpEchoResult::CallFailed:
              ++lost;
              Say(token, Format("testID:%d, lid:%d, host:'%s'. IcmpSendEcho returned error: %ld", t.testID,
                                t.lid, host, static_cast<long>(r.value)));
              break;
            case IcmpEchoResult::BadStatus:
              ++lost;
              Say(token, Format("testID:%d, lid:%d, host:'%s', status:'%lu' ", t.testID, t.lid, host,
                                static_cast<unsigned long>(r.value)));
              break;
            case IcmpEchoResult::Answered:
              ++received;
              sum += r.value;
              Say(token, Format("testID:%d, lid:%d, host:'%s', roundtrip:'%lu' ", t.testID, t.lid, host,
                                static_cast<unsigned long>(r.value)));
              break;
            case IcmpEchoResult::Cancelled: going = false; break;
          }
          if (token.StopRequested()) going = false;
        }
        token.ClearCancel();
        session.reset();
        if (received > 0) average = sum / received;
      }
    }
    if (token.StopRequested()) return;

    if (received == 0 && lost == 0) {
      Say(token, Format("checking testID:%d, lid:%d, host:'%s', method:'RAWSOCKET'", t.testID, t.lid, host));
      std::vector<double> results(static_cast<size_t>(t.count), 0.0);
      bool pinged = m_icmp.RawPing(t.host, t.timeout, t.count, results.data(), static_cast<uint16_t>(t.size),
                                   static_cast<uint16_t>(t.testID & 0xFFFF),
                                   [&token] { return token.StopRequested(); });
      if (token.StopRequested()) return;
      if (pinged) {
        for (double v : results) {
          Say(token, Format("testID:%d, lid:%d, host:'%s', ping res:'%.2f' ", t.testID, t.lid, host, v));
          if (v != 0) {
            ++received;
            sum += v;
          } else {
            ++lost;
          }
        }
        if (received > 0) average = sum / received;
      } else {
        lost = t.count;
      }
    }

    icmp_check::Verdict v = icmp_check::Judge(t.count, lost, received, average, t.max_lost);
    CMonResult2 result;
    result.create(0, 5, 1, 0, 1, 1);  // the prefix, status, lost; average; text
    result.init(kResultType, static_cast<uint32_t>(t.testID), static_cast<uint32_t>(t.lid));
    result.add(v.status);
    result.add(v.text.c_str());
    result.add(v.average);
    result.add(static_cast<uint32_t>(lost));
    std::string line =
        Format("testID:%d, lid:%d, host:'%s', status:'%d' - '%s', Average:'%.2f', Lost:'%d' ", t.testID,
               t.lid, host, static_cast<int>(v.status), v.text.c_str(), v.average, lost);
    token.Post([&] {
      this->Log(line);
      this->PostResult(&result);
    });
  }

  IIcmpEcho& m_icmp;
  bool m_sockets = false;
  CCheckRunner m_runner;  // last: its checks use the members above
};
