// A monitor of the tests' own over the real framework, with switches for how
// its checks behave. Test lines "TTA/TTM <id> <lid> <value>" and "TTD <id>";
// each check posts a record of type 999 carrying the value.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

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

  bool Start() override { return manual ? true : CMonTestTable<Owner, TestRecord>::Start(); }

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
    ++checks;
    if (duringCheck) duringCheck();
    if (throwInCheck) throw std::runtime_error("probe failed");
    if (checkMillis > 0) {
      if (cooperative) {
        this->PauseUnlessStopped(std::chrono::milliseconds(checkMillis.load()));
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(checkMillis.load()));
      }
    }
    CMonResult2 r;
    r.create(0, 3, 1, 0, 1, 0);
    r.init(999, static_cast<uint32_t>(t.testID), static_cast<uint32_t>(t.lid));
    r.add(t.value);
    this->PostResult(&r);
    return true;
  }
};

