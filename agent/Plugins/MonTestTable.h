// CMonTestTable: the test table and its handling, shared by the monitors that
// keep one: the test-line framing, add-or-modify by testID (keeping the
// table's order), delete, the due rule and the next-check-time rule. A
// monitor supplies its codes, its parsing, its log wording and the check of
// one due test.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "agent/LogFormat.h"
#include "agent/Plugins/MonCheckerBase.h"
#include "agent/TextFields.h"

// The common head of every test record.
struct CMonTest {
  int32_t testID = 0;
  int32_t lid = 0;
  int64_t nextCheckTime = 0;  // seconds since 1970 UTC
};

template <class Owner, class Test>
class CMonTestTable : public CMonCheckerBase<Owner> {
 public:
  // `tag` is the monitor's log prefix ("mon_cpu: "), `prefix` its two-letter code.
  CMonTestTable(const char* tag, const char* prefix) : m_tag(tag), m_prefix(prefix) {}
  ~CMonTestTable() override { this->StopThread(); }

  bool ProcessTest(const char* text) override {
    if (!text || !*text) return false;
    Log(Format("processing test: '%s'", text));
    std::vector<std::string> fields = SplitText(text, '\t');
    const std::string& code = fields[0];
    if (code == m_prefix + "A" || code == m_prefix + "M") return AddOrModify(fields);
    if (code == m_prefix + "D" && fields.size() >= 2) return Delete(ReadNumber(fields[1]));
    return IncorrectFormat();
  }

  // A check that outlasted the stop wait still holds the table: it clears the
  // table itself when its pass ends, so Stop never blocks on it.
  void Stop() override {
    this->StopThread();
    std::unique_lock<std::timed_mutex> lock(m_tableLock, std::chrono::milliseconds(50));
    if (lock.owns_lock()) {
      ClearTestsLocked();
    } else {
      m_clearWhenPassEnds = true;
    }
  }

  void ResetSchedule() override {
    std::lock_guard<std::timed_mutex> lock(m_tableLock);
    int64_t now = Now();
    for (auto& t : m_tests) t->nextCheckTime = now;
  }

  void MakeCheck() override {
    try {
      std::lock_guard<std::timed_mutex> lock(m_tableLock);
      CheckDueTests();
      if (m_clearWhenPassEnds.exchange(false)) ClearTestsLocked();
    } catch (...) {
      LOG_EXCEPTION_RECORD(this->m_unitName);
    }
  }

  size_t TestCount() {
    std::lock_guard<std::timed_mutex> lock(m_tableLock);
    return m_tests.size();
  }
  // For tests and diagnostics: a copy of each test in table order.
  std::vector<Test> Tests() {
    std::lock_guard<std::timed_mutex> lock(m_tableLock);
    std::vector<Test> copy;
    for (auto& t : m_tests) copy.push_back(*t);
    return copy;
  }
  void SetClock(std::function<int64_t()> now) { m_now = std::move(now); }

 protected:
  // A test 3 seconds ahead or less counts as due.
  static bool IsDue(const Test& t, int64_t now) { return t.nextCheckTime - now <= 3; }

  // Fills `test` from an add or modify line; false when the field count is not one the monitor accepts.
  virtual bool ParseTest(const std::vector<std::string>& fields, Test& test) = 0;
  virtual std::string DescribeTest(const Test& test) = 0;  // the "addmodify test..." line, without tag
  virtual std::string DescribeDelete(int32_t testID) { return Format("removing test... testID:%d", testID); }
  // Measures one due test and posts its result, or hands it to a runner. False
  // when the check could not begin: the test then stays due for the next pass.
  virtual bool CheckTest(Test& test) = 0;
  // Monitors that take one system-wide measurement per pass (CPU, memory)
  // return true here: they skip the pass entirely when nothing is due.
  virtual bool MeasuresOncePerPass() { return false; }
  // Around the tests of a pass that has something to check: false from
  // BeginPass skips the pass (its tests stay due); EndPass follows the last test.
  virtual bool BeginPass() { return true; }
  // After the walk of a pass that BeginPass let run, still under the table lock.
  virtual void EndPass() {}
  // Takes a modify line's parameters into an existing test; monitors that keep
  // run-time state in a test override it to keep that state.
  virtual void UpdateTest(Test& existing, const Test& parsed) { existing = parsed; }
  // Called under the table lock when the tests were freed by a stop.
  virtual void OnTestsCleared() {}

  void Log(const std::string& text) { this->WriteLog(0, (m_tag + text).c_str()); }
  int64_t Now() const { return m_now ? m_now() : static_cast<int64_t>(time(nullptr)); }

  bool IncorrectFormat() {
    Log("Incorrect test format!");
    return false;
  }

  void ClearTestsLocked() {
    m_tests.clear();
    OnTestsCleared();
  }

  std::timed_mutex m_tableLock;  // a whole check pass runs under it
  std::list<std::unique_ptr<Test>> m_tests;
  std::atomic<bool> m_clearWhenPassEnds{false};

 private:
  // Under the table lock.
  void CheckDueTests() {
    if (m_tests.empty()) return;
    if (MeasuresOncePerPass() && !AnyDue()) return;
    if (!BeginPass()) return;
    for (auto& test : m_tests) {
      if (this->StopRequested()) break;
      int64_t begin = Now();
      if (!IsDue(*test, begin)) continue;
      if (!CheckTest(*test)) continue;
      // Next check: the time the check began plus the period.
      test->nextCheckTime = begin + this->GetCheckPeriod();
    }
    EndPass();
  }

  bool AnyDue() {
    int64_t now = Now();
    for (auto& t : m_tests)
      if (IsDue(*t, now)) return true;
    return false;
  }

  bool AddOrModify(const std::vector<std::string>& fields) {
    Test parsed;
    if (fields.size() < 3 || !ParseTest(fields, parsed)) return IncorrectFormat();
    parsed.testID = ReadNumber(fields[1]);
    parsed.lid = ReadNumber(fields[2]);
    bool added;
    {
      std::lock_guard<std::timed_mutex> lock(m_tableLock);
      Log(DescribeTest(parsed));
      Test* existing = nullptr;
      for (auto& t : m_tests)
        if (t->testID == parsed.testID) existing = t.get();
      parsed.nextCheckTime = Now();
      added = existing == nullptr;
      if (added) {
        m_tests.push_back(std::make_unique<Test>(parsed));
      } else {
        UpdateTest(*existing, parsed);
        existing->nextCheckTime = parsed.nextCheckTime;
      }
      Log(Format(added ? "test %d added." : "test %d modified.", parsed.testID));
    }
    this->Start();
    return true;
  }

  bool Delete(int32_t testID) {
    if (testID < 1) return false;
    std::lock_guard<std::timed_mutex> lock(m_tableLock);
    Log(DescribeDelete(testID));
    for (auto it = m_tests.begin(); it != m_tests.end(); ++it) {
      if ((*it)->testID == testID) {
        m_tests.erase(it);
        break;
      }
    }
    return true;
  }

  std::string m_tag;
  std::string m_prefix;
  std::function<int64_t()> m_now;
};
