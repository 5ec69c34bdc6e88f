// The process monitor against recorded process samples.
#include "agent/Plugins/proc_mon.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "tests/unit/fakes/fake_probes.h"
#include "tests/unit/fakes/recording_owner.h"

namespace {

constexpr uint64_t kMB = 1ull << 20;
constexpr int64_t kStart = 1700000000;  // seconds

// The real monitor, whose check thread never ticks during a test: the tests
// run the passes themselves, on a clock of their own.
class ProcMon : public CProcMon<RecordingOwner> {
 public:
  explicit ProcMon(IProcessProbe& probe) : CProcMon(probe) { m_firstTick = std::chrono::hours(1); }
};

// Processor times in milliseconds, memory in MB, for readable samples.
ProcessTimes Times(int64_t atSeconds, uint64_t kernelMs, uint64_t userMs) {
  return {atSeconds * 1000, kernelMs * 10000, userMs * 10000};
}
ProcessMemory Memory(uint64_t wssMB, uint64_t pfsMB) { return {wssMB * kMB, pfsMB * kMB}; }

FakeProcessProbe::Process Proc(uint32_t pid, const char* name, ProcessTimes t = Times(kStart, 0, 0),
                               ProcessMemory m = Memory(10, 5)) {
  FakeProcessProbe::Process p;
  p.pid = pid;
  p.name = name;
  p.times = t;
  p.memory = m;
  return p;
}

class ProcMonTest : public ::testing::Test {
 protected:
  ProcMonTest() {
    mon.SetOwner(&owner);
    mon.SetClock([this] { return now.load(); });
  }

  // Runs one pass `seconds` after the last, with every test due.
  std::vector<UdcView> Pass(int64_t seconds = 10) {
    now += seconds;
    owner.Clear();
    mon.ResetSchedule();
    mon.MakeCheck();
    return owner.Decoded();
  }

  FakeProcessProbe probe;
  RecordingOwner owner;
  ProcMon mon{probe};
  std::atomic<int64_t> now{kStart};
};

TEST(ProcessorShare, FromTwoSamples) {
  struct Case {
    const char* name;
    ProcessTimes previous, current;
    uint32_t processors;
    double share;
  } cases[] = {
      {"half of one of two processors", Times(0, 0, 0), Times(10, 2000, 3000), 2, 25},
      {"no count known: not divided", Times(0, 0, 0), Times(10, 2000, 3000), 0, 50},
      // Each difference is cut to whole milliseconds before they are added.
      {"per-term truncation", {0, 0, 0}, {4, 19999, 19999}, 1, 50},
      {"no time passed", Times(5, 0, 0), Times(5, 100, 100), 1, 0},
      {"times went back (a reused identifier)", Times(0, 9000, 9000), Times(10, 10, 10), 1, 0},
      {"more than all processors", Times(0, 0, 0), Times(1, 3000, 3000), 4, 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_DOUBLE_EQ(proc_check::ProcessorShare(c.previous, c.current, c.processors), c.share);
  }
}

TEST(ProcessVerdict, LimitsAlarmsAndRecoveries) {
  constexpr uint32_t none = proc_check::kNoLimit;
  struct Case {
    const char* name;
    proc_check::Figures figures;
    uint32_t maxCpu, maxWss, maxPfs;
    uint32_t alarmsBefore;
    uint32_t status;
    const char* text;
    uint32_t alarmsAfter;
  } cases[] = {
      // clang-format off
      {"within", {10, 20, 30}, 50, 100, 100, 0, 0, "All process parameters are within acceptable limits\n", 0},
      {"a limit is reached at its value", {50, 20, 30}, 50, 100, 100, 0, 2,
       "Current CPU usage: 50.00% / Max value: 50\n", 2},
      {"every limit", {99.5, 300, 400}, 90, 200, 300, 1, 2,
       "Current CPU usage: 99.50% / Max value: 90\nCurrent Working set size: 300.00 MB / Max value: 200\n"
       "Current Page file usage: 400.00 MB / Max value: 300\n",
       15},
      {"-1 is no limit", {100, 1e9, 1e9}, none, none, none, 0, 0,
       "All process parameters are within acceptable limits\n", 0},
      {"recovery lines in flag order", {1, 1, 1}, 50, 100, 100, 15, 0,
       "The process has been started.\nCurrent CPU usage is within acceptable limits.\n"
       "Current Working set size is within acceptable limits.\nCurrent Page file usage is within acceptable "
       "limits.\n",
       0},
      {"over one limit keeps the others' alarms", {1, 150, 1}, 50, 100, 100, 9, 2,
       "Current Working set size: 150.00 MB / Max value: 100\n", 13},
      // clang-format on
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CProcTest limits;
    limits.max_cpu = c.maxCpu;
    limits.max_wss = c.maxWss;
    limits.max_pfs = c.maxPfs;
    uint32_t alarms = c.alarmsBefore;
    proc_check::Verdict v = proc_check::Judge(c.figures, limits, alarms);
    EXPECT_EQ(v.status, c.status);
    EXPECT_EQ(v.text, c.text);
    EXPECT_EQ(alarms, c.alarmsAfter);
  }
}

TEST_F(ProcMonTest, FirstSampleIsTheBaselineThenTheShareOfAllProcessors) {
  probe.SetProcessors(4);
  probe.Set({Proc(0, "[System Process]"), Proc(300, "svc.exe", Times(kStart, 1000, 1000), Memory(64, 32))});
  ASSERT_TRUE(mon.ProcessTest("PRA\t9\t4\t-1\t-1\t-1\tsvc.exe"));  // Start reads the processor count

  std::vector<UdcView> r = Pass(0);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].ui32, (std::vector<uint32_t>{430, 9, 4, 0}));
  EXPECT_EQ(r[0].str, std::vector<std::string>{"N/A"});
  ASSERT_EQ(r[0].subs.size(), 1u);
  const UdcView& first = r[0].subs[0];
  EXPECT_EQ(first.ui32, (std::vector<uint32_t>{0, 300}));  // status, pid
  EXPECT_EQ(first.d64, (std::vector<double>{0, 64, 32}));  // cpu, wss, pfs
  EXPECT_EQ(first.str, std::vector<std::string>{"All process parameters are within acceptable limits\n"});

  // 10 s later: 2 s of kernel and 4 s of user time, on 4 processors.
  probe.Sample(300, Times(kStart + 10, 3000, 5000), Memory(65, 33));
  r = Pass(10);
  ASSERT_EQ(r.size(), 1u);
  ASSERT_EQ(r[0].subs.size(), 1u);
  EXPECT_EQ(r[0].subs[0].d64, (std::vector<double>{15, 65, 33}));
  EXPECT_TRUE(owner.Logged(
      "mon_proc: testID: 9, lid: 4, pname: 'svc.exe', pid: 300, cpu:15.00%, wss:65.00 MB, pfs:33.00 MB"));
}

TEST_F(ProcMonTest, TestsOfTheSameProcessShareOnePassesMeasurement) {
  probe.SetProcessors(4);
  probe.Set({Proc(300, "svc.exe", Times(kStart, 1000, 1000), Memory(64, 32))});
  ASSERT_TRUE(mon.ProcessTest("PRA\t1\t4\t-1\t-1\t-1\tsvc.exe"));
  ASSERT_TRUE(mon.ProcessTest("PRA\t2\t4\t-1\t-1\t-1\tsvc.exe"));
  Pass(0);
  probe.Sample(300, Times(kStart + 10, 3000, 5000), Memory(65, 33));
  std::vector<UdcView> r = Pass(10);
  ASSERT_EQ(r.size(), 2u);
  for (const UdcView& record : r) {
    ASSERT_EQ(record.subs.size(), 1u);
    EXPECT_EQ(record.subs[0].d64, (std::vector<double>{15, 65, 33})) << "test " << record.ui32[1];
  }
}

TEST_F(ProcMonTest, EveryInstanceHasItsOwnRecordAndTheAlarmsAreTheTests) {
  probe.Set({Proc(11, "w3wp.exe", Times(kStart, 0, 0), Memory(300, 10)), Proc(12, "other.exe"),
             Proc(13, "w3wp.exe", Times(kStart, 0, 0), Memory(50, 10))});
  ASSERT_TRUE(mon.ProcessTest("PRA\t1\t2\t-1\t200\t-1\tw3wp.exe"));
  std::vector<UdcView> r = Pass();
  ASSERT_EQ(r.size(), 1u);
  ASSERT_EQ(r[0].subs.size(), 2u);
  EXPECT_EQ(r[0].subs[0].ui32, (std::vector<uint32_t>{2, 11}));
  EXPECT_EQ(r[0].subs[0].str[0], "Current Working set size: 300.00 MB / Max value: 200\n");
  // The second instance is within limits: the alarm the first one raised is
  // the test's, so it is reported back as recovered.
  EXPECT_EQ(r[0].subs[1].ui32, (std::vector<uint32_t>{0, 13}));
  EXPECT_EQ(r[0].subs[1].str[0], "Current Working set size is within acceptable limits.\n");
  EXPECT_EQ(mon.Tests()[0].alarms, 0u);
}

TEST_F(ProcMonTest, AProcessThatComesBackIsReportedStarted) {
  probe.Set({Proc(5, "Notepad.exe")});
  ASSERT_TRUE(mon.ProcessTest("PRA\t3\t1\t-1\t-1\t-1\tnotepad.exe"));  // names differ in case only
  std::vector<UdcView> r = Pass();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].ui32, (std::vector<uint32_t>{430, 3, 1, 3}));
  EXPECT_EQ(r[0].str, std::vector<std::string>{"The process is not running"});
  EXPECT_TRUE(r[0].subs.empty());
  EXPECT_TRUE(owner.Logged("mon_proc: testID:3, lid:1, pname'notepad.exe'. The process is not running"));

  // A modify changes the limits but keeps what the last check found.
  ASSERT_TRUE(mon.ProcessTest("PRM\t3\t1\t90\t-1\t-1\tnotepad.exe"));
  probe.Set({Proc(5, "Notepad.exe"), Proc(6, "notepad.exe"), Proc(7, "notepad.exe")});
  r = Pass();
  ASSERT_EQ(r.size(), 1u);
  ASSERT_EQ(r[0].subs.size(), 2u);
  EXPECT_EQ(r[0].subs[0].str[0], "The process has been started.\n");
  EXPECT_EQ(r[0].subs[1].str[0], "All process parameters are within acceptable limits\n");
}

TEST_F(ProcMonTest, AProcessThatCannotBeReadGivesZerosNotAMissingResult) {
  FakeProcessProbe::Process locked = Proc(40, "lsass.exe", Times(kStart, 5, 5), Memory(80, 40));
  locked.timesRead = ProcessRead::NotOpened;
  locked.memoryRead = ProcessRead::NotOpened;
  FakeProcessProbe::Process partly = Proc(41, "lsass.exe", Times(kStart, 5, 5), Memory(80, 40));
  partly.timesRead = ProcessRead::Failed;
  probe.Set({locked, partly});
  ASSERT_TRUE(mon.ProcessTest("PRA\t1\t1\t-1\t-1\t-1\tlsass.exe"));
  std::vector<UdcView> r = Pass();
  ASSERT_EQ(r.size(), 1u);
  ASSERT_EQ(r[0].subs.size(), 2u);
  EXPECT_EQ(r[0].subs[0].d64, (std::vector<double>{0, 0, 0}));
  EXPECT_EQ(r[0].subs[1].d64, (std::vector<double>{0, 80, 40}));
  EXPECT_TRUE(owner.Logged("mon_proc:get_proc_cpu OpenProcess failed!"));
  EXPECT_EQ(mon.HistorySize(), 0u);  // no sample was read, so no baseline either
}

TEST_F(ProcMonTest, OneSnapshotServesAPassAndItsFailureIsLogged) {
  probe.Set({Proc(1, "a.exe"), Proc(2, "b.exe")});
  for (const char* line :
       {"PRA\t1\t1\t-1\t-1\t-1\ta.exe", "PRA\t2\t1\t-1\t-1\t-1\tb.exe", "PRA\t3\t1\t-1\t-1\t-1\tc.exe"})
    ASSERT_TRUE(mon.ProcessTest(line));
  int before = probe.Snapshots();
  EXPECT_EQ(Pass().size(), 3u);
  EXPECT_EQ(probe.Snapshots(), before + 1);

  probe.FailSnapshot(SnapshotFailure::Create, 8);
  std::vector<UdcView> r = Pass();
  ASSERT_EQ(r.size(), 3u);
  for (const UdcView& record : r) EXPECT_EQ(record.ui32.back(), 3u);
  EXPECT_TRUE(owner.Logged("mon_proc: CreateToolhelp32Snapshot failed: '8'"));
}

TEST_F(ProcMonTest, SamplesOlderThanTwoHoursAreForgotten) {
  probe.Set({Proc(70, "a.exe", Times(kStart, 0, 0)), Proc(71, "b.exe", Times(kStart, 0, 0))});
  ASSERT_TRUE(mon.ProcessTest("PRA\t1\t1\t-1\t-1\t-1\ta.exe"));
  ASSERT_TRUE(mon.ProcessTest("PRA\t2\t1\t-1\t-1\t-1\tb.exe"));
  Pass(0);
  EXPECT_EQ(mon.HistorySize(), 2u);
  ASSERT_TRUE(mon.ProcessTest("PRD\t2"));

  Pass(2 * 3600 - 11);  // a.exe sampled again, b.exe's sample is just short of 2 h
  probe.Sample(70, Times(kStart + 2 * 3600 - 11, 0, 0));
  Pass(1);
  EXPECT_EQ(mon.HistorySize(), 2u);
  Pass(10);  // b.exe's sample is now 2 h old
  EXPECT_EQ(mon.HistorySize(), 1u);

  // A forgotten process starts over from a baseline.
  ASSERT_TRUE(mon.ProcessTest("PRA\t2\t1\t-1\t-1\t-1\tb.exe"));
  probe.Sample(71, Times(now + 10, 5000, 5000));
  std::vector<UdcView> r = Pass();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[1].subs.at(0).d64.at(0), 0.0);
}

TEST_F(ProcMonTest, ARestartedMonitorStartsFromAFreshBaseline) {
  probe.Set({Proc(300, "svc.exe", Times(kStart, 0, 0))});
  ASSERT_TRUE(mon.ProcessTest("PRA\t1\t1\t-1\t-1\t-1\tsvc.exe"));
  Pass(0);
  // A test added to the running monitor keeps the samples it has.
  ASSERT_TRUE(mon.ProcessTest("PRA\t2\t1\t-1\t-1\t-1\tother.exe"));
  probe.Sample(300, Times(kStart + 10, 1000, 0));
  std::vector<UdcView> r = Pass(10);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].subs.at(0).d64.at(0), 10.0);

  mon.Stop();
  ASSERT_TRUE(mon.ProcessTest("PRA\t1\t1\t-1\t-1\t-1\tsvc.exe"));
  EXPECT_EQ(mon.HistorySize(), 0u);
  // Ten busy seconds since the sample before the stop: not counted.
  probe.Sample(300, Times(kStart + 20, 11000, 0));
  r = Pass(10);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].subs.at(0).d64.at(0), 0.0);
  probe.Sample(300, Times(kStart + 30, 12000, 0));
  r = Pass(10);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].subs.at(0).d64.at(0), 10.0);
}

TEST_F(ProcMonTest, TestLines) {
  struct Case {
    const char* line;
    bool accepted;
    const char* logged;  // the line after "processing test"
  } cases[] = {
      {"PRA\t5\t7\t80\t-1\t512\tsql server.exe", true,
       "mon_proc: adding test... pname:'sql server.exe', testID:5, lid:7, max_cpu:80, max_wss:-1, "
       "max_pfs:512"},
      {"PRM\t5\t7\t90\t100\t-1\tsql server.exe\t", true,
       "mon_proc: adding test... pname:'sql server.exe', testID:5, lid:7, max_cpu:90, max_wss:100, "
       "max_pfs:-1"},
      {"PRA\t6\t7\t80\t-1\t512", false, "mon_proc: Incorrect test format!"},
      {"PRA\t6\t7\t80\t-1\t512\ta.exe\tb", false, "mon_proc: Incorrect test format!"},
      {"PRD\t5", true, "mon_proc: removing test... testID:5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    owner.Clear();
    EXPECT_EQ(mon.ProcessTest(c.line), c.accepted);
    auto lines = owner.Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1], c.logged);
  }
  EXPECT_EQ(mon.TestCount(), 0u);
}

TEST_F(ProcMonTest, ProcessListIsSentWhenItChanges) {
  probe.Set({Proc(0, "[System Process]"), Proc(4, "System"), Proc(900, "svchost.exe"), Proc(200, "smss.exe"),
             Proc(901, "svchost.exe"), Proc(902, "SVCHOST.EXE")});
  auto list = [this]() -> std::string {
    CMonResult2 record;
    if (!mon.get_proc_list(record)) return "unchanged";
    UdcView r = udc_view_detail::Read(static_cast<const unsigned char*>(record.get_pointer()));
    EXPECT_EQ(r.ui32, (std::vector<uint32_t>{42, 0, 0}));
    EXPECT_EQ(r.str.size(), 1u);
    return r.str.at(0);
  };
  EXPECT_EQ(list(), "SVCHOST.EXE\tSystem\tsmss.exe\tsvchost.exe\t");
  EXPECT_EQ(list(), "unchanged");
  EXPECT_TRUE(owner.Logged("mon_proc: Process list is not changed."));
  mon.ResetProcList();
  EXPECT_NE(list(), "unchanged");
  mon.Stop();
  EXPECT_NE(list(), "unchanged");

  probe.FailSnapshot(SnapshotFailure::First, 18);
  EXPECT_EQ(list(), "unchanged");
  EXPECT_TRUE(owner.Logged("mon_proc: Process32First failed: '18'"));
}

}  // namespace
