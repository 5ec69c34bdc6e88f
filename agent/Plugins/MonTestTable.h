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
#include <unordered_map>
#include <vector>

#include "agent/LogFormat.h"
#include "agent/Plugins/MonCheckerBase.h"
#include "agent/TextFields.h"

// The common head of every test record.
struct CMonTest {
  int32_t testID = 0;
  int32_t lid = 0;
  int64_t nextCheckTime = 0;  // seconds since 1970 UTC
  uint32_t generation = 0;    // the monitor's stop generation when the test arrived
};

template <class Owner, class Test>
class CMonTestTable : public CMonCheckerBase<Owner> {
  using Base = CMonCheckerBase<Owner>;

 public:
  // `tag` is the monitor's log prefix ("mon_cpu: "), `prefix` its two-letter code.
  CMonTestTable(const char* tag, const char* prefix) : m_tag(tag), m_prefix(prefix) {}
  ~CMonTestTable() override { this->Shutdown(); }

  // A gateway that sends ever more tests must not grow the agent without end.
  static constexpr size_t kMaxTests = 10000;

  bool ProcessTest(const char* text) override {
    if (!text || !*text) return false;
    Log(Format("processing test: '%s'", text));
    std::vector<std::string> fields = SplitText(text, '\t');
    const std::string& code = fields[0];
    if (code == m_prefix + "A" || code == m_prefix + "M") return AddOrModify(fields);
    if (code == m_prefix + "D" && fields.size() >= 2) return Delete(ReadNumber(fields[1]));
    return IncorrectFormat();
  }

  // Frees the tests that arrived before this stop. A check that outlasted the
  // wait still holds the table: its pass frees them when it ends, so a stop
  // never blocks on it, and a test added after a restart is never freed by it.
  void FinishStop(typename Base::Clock::time_point deadline) override {
    m_clearBelow = this->Generation();
    Base::FinishStop(deadline);
    if (this->Lingers()) return;
    std::lock_guard<std::timed_mutex> lock(m_tableLock);
    ClearStoppedTestsLocked();
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
      ClearStoppedTestsLocked();
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
  // Called under the table lock when tests were freed by a stop.
  virtual void OnTestsCleared() {}
  // After parsing and before the table lock is taken: work that may block (a
  // remote call) and must not hold up the checks. `lines` are logged after the
  // "addmodify" line; false rejects the line once they are logged.
  virtual bool PrepareTest(Test& /*parsed*/, std::vector<std::string>& /*lines*/) { return true; }
  // True for a monitor whose modify frees the old record and appends the new
  // one at the end instead of updating it in place.
  virtual bool ModifyReplaces() const { return false; }

  void Log(const std::string& text) { this->WriteLog(0, (m_tag + text).c_str()); }
  int64_t Now() const { return m_now ? m_now() : static_cast<int64_t>(time(nullptr)); }

  bool IncorrectFormat() {
    Log("Incorrect test format!");
    return false;
  }

  using TestList = std::list<std::unique_ptr<Test>>;

  // Frees the tests older than the last stop, once.
  void ClearStoppedTestsLocked() {
    uint32_t below = m_clearBelow.exchange(0);
    if (below == 0) return;
    for (auto it = m_tests.begin(); it != m_tests.end();) {
      if ((*it)->generation < below) {
        m_index.erase((*it)->testID);
        it = m_tests.erase(it);
      } else {
        ++it;
      }
    }
    OnTestsCleared();
  }

  std::timed_mutex m_tableLock;                                      // a whole check pass runs under it
  TestList m_tests;                                                  // in arrival order
  std::unordered_map<int32_t, typename TestList::iterator> m_index;  // by testID

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
    parsed.generation = this->Generation();
    std::vector<std::string> prepareLines;
    const bool prepared = PrepareTest(parsed, prepareLines);
    bool added;
    {
      std::lock_guard<std::timed_mutex> lock(m_tableLock);
      // A line that arrived before a stop is not stored after that stop's clear.
      if (parsed.generation != this->Generation()) return false;
      auto found = m_index.find(parsed.testID);
      added = found == m_index.end();
      if (added && m_tests.size() >= kMaxTests) {
        Log(Format("test %d refused: the monitor holds %u tests.", parsed.testID,
                   static_cast<unsigned>(kMaxTests)));
        return false;
      }
      Log(DescribeTest(parsed));
      for (const std::string& line : prepareLines) Log(line);
      if (!prepared) return false;
      parsed.nextCheckTime = Now();
      if (added) {
        m_index.emplace(parsed.testID, m_tests.insert(m_tests.end(), std::make_unique<Test>(parsed)));
      } else if (ModifyReplaces()) {
        m_tests.erase(found->second);
        found->second = m_tests.insert(m_tests.end(), std::make_unique<Test>(parsed));
      } else {
        Test& existing = **found->second;
        UpdateTest(existing, parsed);
        existing.nextCheckTime = parsed.nextCheckTime;
        existing.generation = parsed.generation;
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
    auto found = m_index.find(testID);
    if (found != m_index.end()) {
      m_tests.erase(found->second);
      m_index.erase(found);
    }
    return true;
  }

  std::string m_tag;
  std::string m_prefix;
  std::function<int64_t()> m_now;
  std::atomic<uint32_t> m_clearBelow{0};  // tests of an older generation wait to be freed
};
