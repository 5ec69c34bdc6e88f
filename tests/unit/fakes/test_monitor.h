// A monitor of the tests' own over the real framework, with switches for how
// its checks behave. Test lines "TTA/TTM <id> <lid> <value>" and "TTD <id>";
// each check posts a record of type 999 carrying the value. In per-check mode
// each due test's check runs on a CCheckRunner, on a copy of the test, the way
// the monitors that check every test on a thread of its own do.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "agent/Plugins/CheckRunner.h"
#include "agent/Plugins/MonTestTable.h"

struct TestRecord : CMonTest {
  double value = 0;
};

template <class Owner>
class CTestMon : public CMonTestTable<Owner, TestRecord> {
 public:
  CTestMon() : CMonTestTable<Owner, TestRecord>("mon_test: ", "TT") {
    this->m_unitName = "Plugins/test_mon";
    this->m_firstTick = std::chrono::milliseconds(20);
    this->m_tickInterval = std::chrono::milliseconds(50);
  }
  ~CTestMon() override { this->Shutdown(); }

  std::atomic<int> checkMillis{0};  // how long a check takes
  std::atomic<bool> cooperative{true};
  std::atomic<bool> throwInCheck{false};
  std::atomic<int> checks{0};
  std::atomic<bool> manual{false};  // no check thread: the test calls MakeCheck
  std::function<void()> duringCheck;

  // Per-check mode; set before the first Start.
  void RunChecksOnRunner(size_t slots = 64,
                         std::chrono::milliseconds stopDeadline = std::chrono::milliseconds(1000)) {
    m_runner = std::make_unique<CCheckRunner>(slots, stopDeadline);
  }
  CCheckRunner* Runner() { return m_runner.get(); }

  bool Start() override {
    bool started = manual ? true : CMonTestTable<Owner, TestRecord>::Start();
    if (started && m_runner) m_runner->Start();  // a refused start leaves the runner stopped
    return started;
  }
  // The runner's stop comes after the table's, outside the table lock.
  void FinishStop(typename CMonTestTable<Owner, TestRecord>::Clock::time_point deadline) override {
    CMonTestTable<Owner, TestRecord>::FinishStop(deadline);
    if (m_runner) m_runner->Stop();
  }

 protected:
  bool ParseTest(const std::vector<std::string>& f, TestRecord& t) override {
    if (f.size() != 4) return false;
    t.value = atof(f[3].c_str());
    return true;
  }
  std::string DescribeTest(const TestRecord& t) override {
    return Format("addmodify test... tid:%d, lid:%d, value:%.2f", t.testID, t.lid, t.value);
  }
  bool CheckTest(TestRecord& t) override {
    if (!m_runner) return Measure(t, nullptr);
    // One check of a test at a time: the next check time moves on as usual.
    if (m_runner->IsRunning(t.testID)) {
      this->Log(Format("previous check of testID:%d still running.", t.testID));
      return true;
    }
    // No free slot: not begun, the test stays due for the next pass.
    return m_runner->StartCheck(t.testID, [this, copy = t](CCheckToken& token) { Measure(copy, &token); });
  }

 private:
  bool Measure(const TestRecord& t, CCheckToken* token) {
    ++checks;
    if (duringCheck) duringCheck();
    if (throwInCheck) throw std::runtime_error("probe failed");
    if (checkMillis > 0) {
      if (cooperative && token) {
        token->Pause(std::chrono::milliseconds(checkMillis.load()));
      } else if (cooperative) {
        this->PauseUnlessStopped(std::chrono::milliseconds(checkMillis.load()));
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(checkMillis.load()));
      }
    }
    CMonResult2 r;
    r.create(0, 3, 1, 0, 1, 0);
    r.init(999, static_cast<uint32_t>(t.testID), static_cast<uint32_t>(t.lid));
    r.add(t.value);
    if (token) {
      token->Post([&] { this->PostResult(&r); });
    } else {
      this->PostResult(&r);
    }
    return true;
  }

  void ShutdownChecks() override {
    if (m_runner) m_runner->Shutdown();
  }

  std::unique_ptr<CCheckRunner> m_runner;  // last: its checks use the members above
};
