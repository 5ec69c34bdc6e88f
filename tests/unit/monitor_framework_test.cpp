// The monitor framework driven by a monitor of the tests' own, with an owner
// that records what reaches its cache and its status channel.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "corelib/ExLogger.h"
#include "platform/daily_logs.h"
#include "platform/local_time.h"
#include "platform/log_folder.h"
#include "tests/unit/fakes/test_monitor.h"
#include "tests/unit/test_support.h"

using namespace std::chrono_literals;

namespace {

class RecordingOwner {
 public:
  void AddToCache(const CMonResult2* r) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto* udc = static_cast<const _U_D_C_*>(r->get_pointer());
    uint32_t testID;
    memcpy(&testID, reinterpret_cast<const char*>(udc) + 32 + 4, 4);  // UI32 1 of the prefix
    posted.push_back(testID);
  }
  bool IsWorking() const { return working; }
  void NotifyStatus(uint32_t code, const std::string& text) {
    if (onLine) onLine(text);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (code == 10) lines.push_back(text);
  }
  std::atomic<bool> working{true};
  std::function<void(const std::string&)> onLine;  // runs on the logging thread
  std::vector<uint32_t> Posted() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return posted;
  }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return lines;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    posted.clear();
    lines.clear();
  }

 private:
  std::mutex m_mutex;
  std::vector<uint32_t> posted;
  std::vector<std::string> lines;
};

template <typename Pred>
bool Eventually(Pred pred, std::chrono::milliseconds limit = 3s) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return pred();
}

class FrameworkTest : public ::testing::Test {
 protected:
  FrameworkTest() {
    mon.SetOwner(&owner);
    mon.SetClock([this] { return now.load(); });
  }
  RecordingOwner owner;
  CTestMon<RecordingOwner> mon;
  std::atomic<int64_t> now{1700000000};
};

TEST_F(FrameworkTest, TestLineFraming) {
  struct Case {
    const char* line;
    bool accepted;
    std::vector<std::string> logged;
  } cases[] = {
      {"TTA\t1\t7\t2.5", true,
       {"mon_test: processing test: 'TTA\t1\t7\t2.5'", "mon_test: addmodify test... tid:1, lid:7, value:2.50",
        "mon_test: test 1 added."}},
      {"TTA\t2\t8\t1\t", true,  // a trailing TAB adds no field
       {"mon_test: processing test: 'TTA\t2\t8\t1\t'", "mon_test: addmodify test... tid:2, lid:8, value:1.00",
        "mon_test: test 2 added."}},
      {"TTM\t1\t9\t3", true,
       {"mon_test: processing test: 'TTM\t1\t9\t3'", "mon_test: addmodify test... tid:1, lid:9, value:3.00",
        "mon_test: test 1 modified."}},
      {"TTA\t3\t1", false, {"mon_test: processing test: 'TTA\t3\t1'", "mon_test: Incorrect test format!"}},
      {"TTX\t3\t1\t1", false, {"mon_test: processing test: 'TTX\t3\t1\t1'", "mon_test: Incorrect test format!"}},
      {"TTD", false, {"mon_test: processing test: 'TTD'", "mon_test: Incorrect test format!"}},
      {"TTD\t0", false, {"mon_test: processing test: 'TTD\t0'"}},
      {"TTD\t99", true, {"mon_test: processing test: 'TTD\t99'", "mon_test: removing test... testID:99"}},
      {"", false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    owner.Clear();
    EXPECT_EQ(mon.ProcessTest(c.line), c.accepted);
    EXPECT_EQ(owner.Lines(), c.logged);
  }
  auto tests = mon.Tests();
  ASSERT_EQ(tests.size(), 2u);  // the modify kept test 1 in first place
  EXPECT_EQ(tests[0].testID, 1);
  EXPECT_EQ(tests[0].lid, 9);
  EXPECT_EQ(tests[0].value, 3.0);
  EXPECT_EQ(tests[1].testID, 2);
  EXPECT_TRUE(mon.ProcessTest("TTD\t1"));
  EXPECT_EQ(mon.TestCount(), 1u);
}

TEST_F(FrameworkTest, DueRuleAndNextCheckTime) {
  mon.manual = true;  // passes driven by hand
  now = 1000;
  ASSERT_TRUE(mon.ProcessTest("TTA\t1\t1\t0"));
  ASSERT_TRUE(mon.ProcessTest("TTA\t2\t1\t0"));
  mon.duringCheck = [this] { now += 4; };  // each check takes 4 s
  mon.MakeCheck();
  EXPECT_EQ(owner.Posted(), (std::vector<uint32_t>{1, 2}));
  auto tests = mon.Tests();
  EXPECT_EQ(tests[0].nextCheckTime, 1000 + 300);  // the check's start plus the period
  EXPECT_EQ(tests[1].nextCheckTime, 1004 + 300);
  mon.duringCheck = nullptr;

  owner.Clear();
  now = 1300 - 4;  // test 1 is 4 s ahead: not yet
  mon.MakeCheck();
  EXPECT_TRUE(owner.Posted().empty());
  now = 1300 - 3;  // 3 s ahead counts as due
  mon.MakeCheck();
  EXPECT_EQ(owner.Posted(), (std::vector<uint32_t>{1}));

  // A new period makes every test due at the next pass.
  owner.Clear();
  mon.SetCheckPeriod(60);
  mon.ResetSchedule();
  mon.MakeCheck();
  EXPECT_EQ(owner.Posted(), (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(mon.Tests()[0].nextCheckTime, now + 60);
}

TEST_F(FrameworkTest, ATestIsCheckedWithinATickAndTheThreadStartsOnce) {
  ASSERT_TRUE(mon.ProcessTest("TTA\t5\t1\t0"));
  ASSERT_TRUE(mon.IsRunning());
  ASSERT_TRUE(Eventually([&] { return !owner.Posted().empty(); }));
  ASSERT_TRUE(mon.ProcessTest("TTA\t6\t1\t0"));  // no second thread
  ASSERT_TRUE(Eventually([&] { return owner.Posted().size() >= 2; }));
  mon.Stop();
  EXPECT_FALSE(mon.IsRunning());
  EXPECT_EQ(mon.TestCount(), 0u);  // a stop frees the tests
}

TEST_F(FrameworkTest, StopOfACooperativeCheckIsPromptAndPostsNothing) {
  mon.checkMillis = 5000;
  ASSERT_TRUE(mon.ProcessTest("TTA\t1\t1\t0"));
  ASSERT_TRUE(Eventually([&] { return mon.checks > 0; }));
  auto started = std::chrono::steady_clock::now();
  mon.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 500ms);
  EXPECT_TRUE(owner.Posted().empty());
  EXPECT_EQ(mon.TestCount(), 0u);
}

TEST_F(FrameworkTest, StopOfACheckThatIgnoresItReturnsWithinASecond) {
  mon.checkMillis = 2500;
  mon.cooperative = false;
  ASSERT_TRUE(mon.ProcessTest("TTA\t1\t1\t0"));
  ASSERT_TRUE(Eventually([&] { return mon.checks > 0; }));
  auto started = std::chrono::steady_clock::now();
  mon.Stop();
  auto took = std::chrono::steady_clock::now() - started;
  EXPECT_GE(took, 900ms);
  EXPECT_LT(took, 1500ms);
  // When the check finally returns it posts nothing and frees the tests itself.
  std::this_thread::sleep_for(2000ms);
  EXPECT_TRUE(owner.Posted().empty());
  EXPECT_EQ(mon.TestCount(), 0u);
  // The monitor takes tests again: nothing was left locked.
  mon.checkMillis = 0;
  ASSERT_TRUE(mon.ProcessTest("TTA\t2\t1\t0"));
  EXPECT_TRUE(Eventually([&] { return !owner.Posted().empty(); }));
}

TEST_F(FrameworkTest, AFailingPassIsRecordedAndTheNextTickRuns) {
  test::MachineStoreScope machine;
  machine.set_trace(10);
  mon.throwInCheck = true;
  ASSERT_TRUE(mon.ProcessTest("TTA\t1\t1\t0"));
  ASSERT_TRUE(Eventually([&] { return mon.checks >= 2; }));  // the pass after the failure ran
  mon.throwInCheck = false;
  EXPECT_TRUE(Eventually([&] { return !owner.Posted().empty(); }));
  mon.Stop();
  std::string log = test::read_file(platform::log_folder_path() +
                                    platform::daily_log_name("monexception_", platform::local_now()));
  EXPECT_NE(log.find("Exception in: Plugins/test_mon, Line: "), std::string::npos) << log;
  EXPECT_NE(log.find("MakeCheck"), std::string::npos);
}

TEST(FrameworkLifetime, DestroyedRightAfterAStopThatGaveUp) {
  RecordingOwner owner;
  auto mon = std::make_unique<CTestMon<RecordingOwner>>();
  mon->SetOwner(&owner);
  mon->checkMillis = 1500;
  mon->cooperative = false;
  ASSERT_TRUE(mon->ProcessTest("TTA\t1\t1\t0"));
  ASSERT_TRUE(Eventually([&] { return mon->checks > 0; }));
  mon->Stop();
  EXPECT_TRUE(mon->Lingers());
  mon.reset();  // waits for the late check before anything of the monitor goes
  EXPECT_TRUE(owner.Posted().empty());
}

TEST_F(FrameworkTest, StopWhileAnAddHoldsTheTableThenRestart) {
  std::atomic<bool> adding{false};
  owner.onLine = [&](const std::string& line) {
    if (line.rfind("mon_test: addmodify", 0) == 0 && line.find("tid:1,") != std::string::npos) {
      adding = true;
      std::this_thread::sleep_for(300ms);  // the table lock is held meanwhile
    }
  };
  ASSERT_TRUE(mon.ProcessTest("TTA\t9\t1\t0"));  // running
  std::thread add([&] { mon.ProcessTest("TTA\t1\t1\t0"); });
  ASSERT_TRUE(Eventually([&] { return adding.load(); }));
  owner.working = false;  // the owner claimed its stop
  mon.Stop();
  add.join();
  EXPECT_EQ(mon.TestCount(), 0u);
  EXPECT_FALSE(mon.IsRunning());  // the add's Start was refused

  owner.working = true;
  ASSERT_TRUE(mon.ProcessTest("TTA\t2\t1\t0"));
  EXPECT_TRUE(Eventually([&] { return !owner.Posted().empty(); }));
  EXPECT_EQ(mon.TestCount(), 1u);  // no clear left over from the stop
  mon.Stop();
}

TEST_F(FrameworkTest, TestsFreedByALingeringPassAreOnlyThoseFromBeforeTheStop) {
  mon.checkMillis = 1500;
  mon.cooperative = false;
  ASSERT_TRUE(mon.ProcessTest("TTA\t1\t1\t0"));
  ASSERT_TRUE(Eventually([&] { return mon.checks > 0; }));
  mon.Stop();
  ASSERT_TRUE(mon.Lingers());
  mon.checkMillis = 0;
  std::thread restart([&] { mon.ProcessTest("TTA\t2\t1\t0"); });  // waits for the late pass
  restart.join();
  EXPECT_TRUE(mon.IsRunning());
  std::vector<int32_t> ids;
  for (const auto& t : mon.Tests()) ids.push_back(t.testID);
  EXPECT_EQ(ids, std::vector<int32_t>{2});
  mon.Stop();
}

}  // namespace
