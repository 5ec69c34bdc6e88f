// The CPU monitor over recorded processor samples: loads, thresholds, texts,
// the record and its nested per-processor records, and the baseline's moves.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "agent/Plugins/cpu_mon.h"
#include "tests/unit/fakes/fake_cpu_probe.h"
#include "tests/unit/fakes/fake_snmp_reads.h"
#include "tests/unit/fakes/manual_monitor.h"
#include "tests/unit/fakes/recording_owner.h"
#include "tests/unit/udc_view.h"

namespace {

using Samples = std::vector<std::vector<ProcessorTimes>>;

// One processor whose next stretch of 1000 units has `user` and `kernel`
// time, `idle` of it inside the kernel time.
Samples OneStretch(int64_t idle, int64_t kernel, int64_t user) {
  const ProcessorTimes start{4'000'000, 6'000'000, 2'000'000};
  return {{start}, {{start.idle + idle, start.kernel + kernel, start.user + user}}};
}

class CpuMonitorTest : public ::testing::Test {
 protected:
  void Make(Samples samples) {
    probe = std::make_unique<FakeCpuProbe>(std::move(samples));
    mon = std::make_unique<ManualMonitor<CCPUmon<RecordingOwner>>>(*probe, snmp);
    mon->SetOwner(&owner);
    mon->SetClock([this] { return now.load(); });
  }
  // The records of one pass over the tests added so far.
  std::vector<UdcView> Pass() {
    owner.Clear();
    mon->MakeCheck();
    std::vector<UdcView> views;
    for (const auto& r : owner.Records()) views.push_back(ViewRecord(r));
    return views;
  }
  void Add(const char* line) { ASSERT_TRUE(mon->ProcessTest(line)) << line; }

  RecordingOwner owner;
  FakeSnmpReads snmp;
  std::unique_ptr<FakeCpuProbe> probe;
  std::unique_ptr<ManualMonitor<CCPUmon<RecordingOwner>>> mon;
  std::atomic<int64_t> now{1700000000};
};

TEST_F(CpuMonitorTest, FourProcessorsGiveOneRecordWithFourNestedRecords) {
  // Ten seconds of four processors (100-ns units): half busy with 35 % in the
  // kernel, idle, fully busy with 40 % in the kernel, and one whose counters
  // did not move.
  const std::vector<ProcessorTimes> before = {{811'000'000, 1'902'000'000, 640'000'000},
                                              {905'000'000, 1'010'000'000, 88'000'000},
                                              {120'000'000, 733'000'000, 1'500'000'000},
                                              {990'000'000, 1'000'000'000, 5'000'000}};
  std::vector<ProcessorTimes> after = before;
  after[0] = {before[0].idle + 50'000'000, before[0].kernel + 70'000'000, before[0].user + 30'000'000};
  after[1] = {before[1].idle + 100'000'000, before[1].kernel + 100'000'000, before[1].user};
  after[2] = {before[2].idle, before[2].kernel + 40'000'000, before[2].user + 60'000'000};
  Make({before, after});
  ASSERT_TRUE(mon->Available());
  ASSERT_EQ(mon->ProcessorCount(), 4u);
  Add("CUA\t11\t3\t40\t18\t-1\t-1\t-1");
  owner.Clear();

  auto records = Pass();
  ASSERT_EQ(records.size(), 1u);
  const UdcView& r = records[0];
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.ui32, (std::vector<uint32_t>{44, 11, 3, 2}));
  ASSERT_EQ(r.i64.size(), 1u);
  EXPECT_GT(r.i64[0], 1600000000);
  EXPECT_EQ(r.d64, (std::vector<double>{37.5, 18.75, -1, -1, -1}));
  EXPECT_EQ(r.str, (std::vector<std::string>{"Current Kernel CPU usage(%): 19 | Threshold set: 18\n"}));

  struct Expected {
    uint32_t status;
    double busy, kernel;
    const char* text;
  } processors[] = {
      {2, 50, 35,
       "Current CPU0 usage(%): 50 | Threshold set: 40\nCurrent Kernel CPU0 usage(%): 35 | Threshold set: "
       "18\n"},
      {0, 0, 0, "CPU1 usage is within acceptable limits\n"},
      {2, 100, 40,
       "Current CPU2 usage(%): 100 | Threshold set: 40\nCurrent Kernel CPU2 usage(%): 40 | Threshold set: "
       "18\n"},
      {0, 0, 0, "CPU3 usage is within acceptable limits\n"},
  };
  ASSERT_EQ(r.subs.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(r.subs[i].ui32, std::vector<uint32_t>{processors[i].status});
    EXPECT_EQ(r.subs[i].d64, (std::vector<double>{processors[i].busy, processors[i].kernel, 0, 0, 0}));
    EXPECT_EQ(r.subs[i].str, std::vector<std::string>{processors[i].text});
    EXPECT_TRUE(r.subs[i].i64.empty() && r.subs[i].subs.empty());
  }
  EXPECT_EQ(owner.Lines(), (std::vector<std::string>{
                               "mon_cpu: checking tid: 11, lid: 3",
                               "mon_cpu: tid: 11, lid: 3, cpu_count: 4, cpu_usage: 37.50, krn_usage: 18.75, "
                               "nice_max: -1.00, idle_min: -1.00, iowait_max: -1.00",
                               "mon_cpu: CPU1. cpu_usage: 50.00, krn_usage: 35.00",
                               "mon_cpu: CPU2. cpu_usage: 0.00, krn_usage: 0.00",
                               "mon_cpu: CPU3. cpu_usage: 100.00, krn_usage: 40.00",
                               "mon_cpu: CPU4. cpu_usage: 0.00, krn_usage: 0.00",
                           }));
}

TEST_F(CpuMonitorTest, ThresholdsAreStrictAndShownRounded) {
  struct Case {
    const char* line;
    Samples samples;
    uint32_t status;
    const char* text;
  } cases[] = {
      // 79.5 % busy, all of it kernel time.
      {"CUA\t1\t1\t79.4\t-1\t-1\t-1\t-1", OneStretch(205, 1000, 0), 2,
       "Current CPU Usage(%): 80 | Threshold set: 79\n"},
      {"CUA\t1\t1\t79.4\t-1\t-1\t-1\t-1", OneStretch(206, 1000, 0), 0,
       "CPU usage is within acceptable limits\n"},
      {"CUA\t1\t1\t-1\t-1\t-1\t-1\t-1", OneStretch(0, 0, 1000), 0, "CPU usage is within acceptable limits\n"},
      // Seven fields: 3 and 4 mean nothing, 5 and 6 are the usage and kernel maximums.
      {"CUA\t1\t1\t10\t10\t-1\t-1", OneStretch(0, 500, 500), 0, "CPU usage is within acceptable limits\n"},
      {"CUA\t1\t1\t-1\t-1\t50\t60", OneStretch(205, 1000, 0), 2,
       "Current CPU Usage(%): 80 | Threshold set: 50\nCurrent Kernel CPU usage(%): 80 | Threshold set: 60\n"},
      // Nice, idle and I/O wait are not measured here: their thresholds never fire.
      {"CUA\t1\t1\t-1\t-1\t0\t101\t0", OneStretch(0, 500, 500), 0, "CPU usage is within acceptable limits\n"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.line);
    Make(c.samples);
    Add(c.line);
    auto records = Pass();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].ui32[3], c.status);
    EXPECT_EQ(records[0].str, std::vector<std::string>{c.text});
  }
}

TEST_F(CpuMonitorTest, TestLinesAndTheirLogLines) {
  Make({{{}}});
  struct Case {
    const char* line;
    bool accepted;
    const char* logged;  // the line after "processing test"
  } cases[] = {
      {"CUA\t1\t2\t3\t4\t5\t6", true,
       "mon_cpu: addmodify test... tid:1, lid:2, user_max:5.00, kernel_max:6.00, nice_max:-1.00, "
       "idle_min:-1.00, "
       "iowait_max:-1.00, hostAddr: , system "},
      {"CUA\t2\t2\t90\t50\tx\t10\t-1", true,
       "mon_cpu: addmodify test... tid:2, lid:2, user_max:90.00, kernel_max:50.00, nice_max:0.00, "
       "idle_min:10.00, "
       "iowait_max:-1.00, hostAddr: , system "},
      {"CUM\t2\t5\t90\t50\t-1\t10\t-1\t10.0.0.5\tLinux", true,
       "mon_cpu: addmodify test... tid:2, lid:5, user_max:90.00, kernel_max:50.00, nice_max:-1.00, "
       "idle_min:10.00, "
       "iowait_max:-1.00, hostAddr: 10.0.0.5, system Linux"},
      {"CUA\t3\t2\t90\t50\t-1\t10\t-1\thost-3", true,
       "mon_cpu: addmodify test... tid:3, lid:2, user_max:90.00, kernel_max:50.00, nice_max:-1.00, "
       "idle_min:10.00, "
       "iowait_max:-1.00, hostAddr: host-3, system "},
      {"CUA\t4\t2\t90\t50\t-1", false, "mon_cpu: Incorrect test format!"},
      {"CUA\t4\t2\t1\t2\t3\t4\t5\th\tlinux\textra", false, "mon_cpu: Incorrect test format!"},
      {"MMA\t4\t2\t1\t2\t3", false, "mon_cpu: Incorrect test format!"},
      {"CUD\t3", true, "mon_cpu: removing test... tid:3"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    owner.Clear();
    EXPECT_EQ(mon->ProcessTest(c.line), c.accepted);
    auto lines = owner.Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], std::string("mon_cpu: processing test: '") + c.line + "'");
    EXPECT_EQ(lines[1], c.logged);
  }
  auto tests = mon->Tests();
  ASSERT_EQ(tests.size(), 2u);
  EXPECT_EQ(tests[0].user_max, 5);
  EXPECT_EQ(tests[0].kernel_max, 6);
  EXPECT_EQ(tests[0].nice_max, -1);
  EXPECT_EQ(tests[1].hostAddr, "10.0.0.5");
  EXPECT_EQ(tests[1].system, "Linux");
}

// A Linux host's seven counters: shares since the host started, the kernel
// share from the kernel counter (.55), every counter in the sum.
void SetLinuxCounters(FakeSnmpReads& snmp, std::vector<uint64_t> c, int syntaxOfNice = 14) {
  for (int i = 0; i < 7; ++i)
    snmp.Set("1.3.6.1.4.1.2021.11." + std::to_string(50 + i) + ".0", std::to_string(c[i]),
             i == 1 ? syntaxOfNice : 14);
}

TEST_F(CpuMonitorTest, RemoteLinuxHostSharesItsCounters) {
  Make(OneStretch(0, 0, 1000));
  //                     user nice system idle wait kernel interrupt
  SetLinuxCounters(snmp, {300, 100, 50, 400, 100, 40, 10});
  Add("CUA\t8\t4\t25\t-1\t5\t50\t-1\t192.0.2.7\tLiNuX");
  auto records = Pass();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].ui32, (std::vector<uint32_t>{44, 8, 4, 2}));
  EXPECT_EQ(records[0].d64, (std::vector<double>{30, 4, 10, 40, 10}));
  EXPECT_EQ(records[0].str, std::vector<std::string>{"Current CPU Usage(%): 30 | Threshold set: 25\n"
                                                     "Current Nice CPU usage(%): 10 | Threshold set: 5\n"
                                                     "Current Idle CPU usage(%): 40 | Threshold set: 50\n"});
  EXPECT_TRUE(records[0].subs.empty());
  EXPECT_EQ(snmp.lastGet.size(), 7u);
  EXPECT_EQ(snmp.lastGetWait, 10000u);
  EXPECT_TRUE(owner.Logged("mon_cpu: remote test: GetOIDValuesFromHost for linux succeeded."));
}

// Whatever keeps the Linux shares from being computed gives status 10 and no values.
TEST_F(CpuMonitorTest, RemoteLinuxHostWithoutUsableCountersGivesStatus10) {
  struct Case {
    const char* what;
    std::vector<uint64_t> counters;
    int niceSyntax;
  } cases[] = {
      {"a gauge among the counters", {300, 100, 50, 400, 100, 40, 10}, 13},
      {"all counters 0 (a host just started)", {0, 0, 0, 0, 0, 0, 0}, 14},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Make(OneStretch(0, 0, 1000));
    SetLinuxCounters(snmp, c.counters, c.niceSyntax);
    Add("CUA\t8\t4\t1\t1\t-1\t-1\t-1\t192.0.2.7\tlinux");
    auto records = Pass();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].ui32, (std::vector<uint32_t>{44, 8, 4, 10}));
    EXPECT_EQ(records[0].d64, (std::vector<double>{-1, -1, -1, -1, -1}));
    EXPECT_EQ(records[0].str, std::vector<std::string>{"N/A"});
  }
  // One binding missing from the answer: not all seven are counters.
  Make(OneStretch(0, 0, 1000));
  SetLinuxCounters(snmp, {1, 1, 1, 1, 1, 1, 1});
  snmp.Set("1.3.6.1.4.1.2021.11.56.0", "", 21);
  Add("CUA\t8\t4\t1\t1\t-1\t-1\t-1\t192.0.2.7\tlinux");
  EXPECT_EQ(Pass()[0].ui32[3], 10u);
}

// Read codes 1-3 give statuses 11-13, others (the agent refused) 10; the text stays empty.
TEST_F(CpuMonitorTest, RemoteReadFailuresGiveTheirStatus) {
  const std::pair<int, uint32_t> codes[] = {{1, 11}, {2, 12}, {3, 13}, {10, 10}};
  for (auto [code, status] : codes) {
    SCOPED_TRACE(code);
    Make(OneStretch(0, 0, 1000));
    snmp.FailGet(code);
    snmp.FailNext(code);
    Add("CUA\t8\t4\t1\t1\t-1\t-1\t-1\t192.0.2.7\tlinux");
    Add("CUA\t9\t4\t1\t1\t-1\t-1\t-1\t192.0.2.7\tWindows");
    auto records = Pass();
    ASSERT_EQ(records.size(), 2u);
    for (const auto& r : records) {
      EXPECT_EQ(r.ui32[3], status);
      EXPECT_EQ(r.d64, (std::vector<double>{-1, -1, -1, -1, -1}));
      EXPECT_EQ(r.str, std::vector<std::string>{"N/A"});
    }
    EXPECT_TRUE(owner.Logged(Format("mon_cpu: remote test: GetOIDValuesFromHost failed: retVal: %d", code)));
  }
}

// Other systems: the processor-load table's mean over all its rows; the walk
// keeps to the table (1.2.20 is not in 1.2.2) and an empty table has no mean.
TEST_F(CpuMonitorTest, RemoteProcessorTableMeanAndEmptyTable) {
  Make(OneStretch(0, 0, 1000));
  snmp.Integer("1.3.6.1.2.1.25.3.3.1.2.196608", 30);
  snmp.Integer("1.3.6.1.2.1.25.3.3.1.2.196609", 50);
  snmp.Set("1.3.6.1.2.1.25.3.3.1.2.196610", "x", 8);  // counts, adds nothing
  snmp.Integer("1.3.6.1.2.1.25.3.3.1.20.1", 99);
  Add("CUA\t2\t1\t-1\t-1\t-1\t-1\t-1\t192.0.2.7");
  auto records = Pass();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].ui32, (std::vector<uint32_t>{44, 2, 1, 0}));
  EXPECT_NEAR(records[0].d64[0], 80.0 / 3, 1e-9);
  EXPECT_EQ(records[0].d64[1], -1);
  EXPECT_EQ(snmp.lastNextWait, 10000u);
  EXPECT_TRUE(owner.Logged("mon_cpu: remote test: GetOIDValuesFromHost for non-linux succeeded."));

  Make(OneStretch(0, 0, 1000));
  snmp.Clear();
  snmp.Integer("1.3.6.1.2.1.25.3.3.1.20.1", 99);  // only past the table
  Add("CUA\t2\t1\t-1\t-1\t-1\t-1\t-1\t192.0.2.7");
  records = Pass();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].ui32[3], 10u);
  EXPECT_EQ(records[0].d64[0], -1);
}

// The walk's stop rules over scripted GET-NEXT answers.
TEST(SnmpWalk, StopsOnNoValueOnNamesNotPastTheAskedOneAndOutsideTheTable) {
  const std::string t = "1.3.6.1.2.1.25.3.3.1.2";
  struct Case {
    const char* what;
    std::vector<std::vector<SnmpAnswer>> steps;
    size_t rows;
  } cases[] = {
      {"end of view returns the asked name", {{{t + ".1", "5", 9}}, {{t + ".1", "end of mib", 19}}}, 1},
      {"no such object", {{{t + ".1", "5", 9}}, {{t + ".2", "", 20}}}, 1},
      {"no such instance", {{{t + ".1", "5", 9}}, {{t + ".2", "", 21}}}, 1},
      {"a name not past the one asked", {{{t + ".5", "5", 9}}, {{t + ".4", "6", 9}}}, 1},
      {"a name on no sub-identifier boundary", {{{t + ".1", "5", 9}}, {{t + "0.1", "6", 9}}}, 1},
      {"two bindings", {{{t + ".1", "5", 9}}, {{t + ".2", "6", 9}, {t + ".3", "7", 9}}}, 1},
      {"three rows, then past the table",
       {{{t + ".1", "1", 9}}, {{t + ".2", "2", 9}}, {{t + ".3", "3", 9}}, {{"1.3.6.1.2.1.25.3.4.1", "4", 9}}},
       3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeSnmpReads snmp;
    snmp.ScriptNext(c.steps);
    std::vector<SnmpAnswer> rows;
    EXPECT_EQ(SnmpWalk(snmp, "h", t, 10000, rows, nullptr), 0);
    EXPECT_EQ(rows.size(), c.rows);
  }
  // A host whose table never ends is cut off.
  struct Endless : FakeSnmpReads {
    int GetNext(const std::string&, const std::string&, uint32_t, std::vector<SnmpAnswer>& a,
                const StopFn&) override {
      a = {{"1.3.6." + std::to_string(++n), "1", 9}};
      return 0;
    }
    int n = 0;
  } endless;
  std::vector<SnmpAnswer> rows;
  EXPECT_EQ(SnmpWalk(endless, "h", "1.3.6", 1, rows, nullptr), 0);
  EXPECT_EQ(rows.size(), snmp_reads::kMaxWalkRows);
  // A stop ends it at once.
  EXPECT_EQ(SnmpWalk(endless, "h", "1.3.6", 1, rows, [] { return true; }), 0);
  EXPECT_TRUE(rows.empty());
}

TEST_F(CpuMonitorTest, BaselineMovesOnlyAfterALocalCheck) {
  // One processor: idle, then fully busy, then unchanged.
  Make({{{0, 0, 0}}, {{100, 100, 0}}, {{100, 100, 100}}, {{100, 100, 100}}});
  Add("CUA\t1\t1\t-1\t-1\t-1\t-1\t-1");
  Add("CUA\t2\t1\t-1\t-1\t-1\t-1\t-1\t192.0.2.7");
  auto first = Pass();
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(first[0].d64[0], 0);

  // A pass with only the remote test due takes a sample but keeps the baseline.
  ASSERT_TRUE(mon->ProcessTest("CUD\t1"));
  now += 300;
  EXPECT_EQ(Pass().size(), 1u);
  Add("CUA\t1\t1\t-1\t-1\t-1\t-1\t-1");
  auto third = Pass();
  ASSERT_EQ(third.size(), 1u);
  EXPECT_EQ(third[0].d64[0], 100);  // against the first pass's sample, not the second's
  EXPECT_EQ(probe->TimeQueries(), 4);
}

TEST_F(CpuMonitorTest, NoSampleNoResultAndTheTestStaysDue) {
  Make(OneStretch(0, 0, 1000));
  Add("CUA\t1\t1\t-1\t-1\t-1\t-1\t-1");
  probe->failTimes = true;
  EXPECT_TRUE(Pass().empty());
  probe->failTimes = false;
  EXPECT_EQ(Pass().size(), 1u);
  EXPECT_TRUE(Pass().empty());  // now checked: due again after the period, not before

  // Without the query (or its first sample) the monitor keeps tests and measures nothing.
  for (auto fail : {&FakeCpuProbe::available, &FakeCpuProbe::failBasic, &FakeCpuProbe::failTimes}) {
    FakeCpuProbe broken(OneStretch(0, 0, 1000));
    broken.*fail = !(broken.*fail);
    ManualMonitor<CCPUmon<RecordingOwner>> idle(broken);
    idle.SetOwner(&owner);
    EXPECT_FALSE(idle.Available());
    ASSERT_TRUE(idle.ProcessTest("CUA\t1\t1\t-1\t-1\t-1\t-1\t-1"));
    owner.Clear();
    idle.MakeCheck();
    EXPECT_TRUE(owner.Records().empty());
  }
}

TEST(CpuLoad, SharesStayWithinRangeWhateverTheCounters) {
  struct Case {
    const char* name;
    ProcessorTimes before, now;  // idle, kernel (idle included), user
    double busy, kernel;
  } cases[] = {
      {"nothing moved", {0, 0, 0}, {0, 0, 0}, 0, 0},
      {"three quarters busy", {0, 0, 0}, {50, 100, 100}, 75, 37.5},
      {"all counters backwards", {500, 500, 500}, {0, 0, 0}, 0, 0},
      {"a wrapped stretch is negative", {0, INT64_MIN, 0}, {0, INT64_MAX, 0}, 0, 0},
      {"idle backwards counts as none", {100, 200, 50}, {90, 210, 60}, 100, 50},
      {"user backwards counts as none", {0, 0, 100}, {20, 100, 50}, 80, 80},
      {"more idle than kernel time", {0, 0, 0}, {300, 100, 100}, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const cpu_load::Load load = cpu_load::Between(c.before, c.now);
    EXPECT_DOUBLE_EQ(load.busy, c.busy);
    EXPECT_DOUBLE_EQ(load.kernel, c.kernel);
  }
  EXPECT_EQ(cpu_load::RoundForText(1e300), INT_MAX);
  EXPECT_EQ(cpu_load::RoundForText(-1e300), INT_MIN);
  EXPECT_EQ(cpu_load::RoundForText(-0.2), 0);
}

}  // namespace
