// The ping monitor over the fake ICMP seam: test lines, the log lines, the
// results, the fall-back to the raw echo, and stops during an echo.
#include "agent/Plugins/icmp_mon.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/unit/fakes/fake_icmp_echo.h"
#include "tests/unit/fakes/recording_owner.h"

namespace {

using namespace std::chrono_literals;

// The real monitor, whose check thread never ticks during a test: the tests
// run the passes themselves.
class IcmpMon : public CICMPMon<RecordingOwner> {
 public:
  explicit IcmpMon(IIcmpEcho& icmp) : CICMPMon(icmp) { m_firstTick = std::chrono::hours(1); }
};

class IcmpMonTest : public ::testing::Test {
 protected:
  IcmpMonTest() { mon.SetOwner(&owner); }

  template <class Pred>
  static bool Within(std::chrono::milliseconds limit, Pred pred) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!pred() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(5ms);
    return pred();
  }

  // One pass over a single test and the record its check posted.
  UdcView CheckOnce(const std::string& line) {
    EXPECT_TRUE(mon.ProcessTest(line.c_str()));
    owner.Clear();
    mon.MakeCheck();
    EXPECT_TRUE(Within(5s, [&] { return owner.Records().size() == 1 && mon.RunningChecks() == 0; }));
    auto records = owner.Decoded();
    return records.empty() ? UdcView() : records[0];
  }

  FakeIcmpEcho icmp;
  RecordingOwner owner;
  IcmpMon mon{icmp};
};

TEST_F(IcmpMonTest, FieldsSizeBeforeCountAndTheirClamps) {
  const struct {
    const char* line;
    int32_t size, count;
    uint32_t timeout, maxLost;
  } cases[] = {
      {"PGA\t1\t7\th\t64\t3\t500\t2", 64, 3, 500, 2},
      {"PGA\t1\t7\th\t4096\t10\t0\t-1", 4096, 10, 0, 0xFFFFFFFF},
      {"PGA\t1\t7\th\t20\t0\t500\t1", 32, 4, 500, 1},
      {"PGM\t1\t7\th\t5000\t11\t500\t1", 32, 4, 500, 1},
      {"PGM\t1\t7\th\t31\t-3\t500\t1", 32, 4, 500, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    ASSERT_TRUE(mon.ProcessTest(c.line));
    auto tests = mon.Tests();
    ASSERT_EQ(tests.size(), 1u);
    EXPECT_EQ(tests[0].host, "h");
    EXPECT_EQ(tests[0].size, c.size);
    EXPECT_EQ(tests[0].count, c.count);
    EXPECT_EQ(tests[0].timeout, c.timeout);
    EXPECT_EQ(tests[0].max_lost, c.maxLost);
  }
  // Exactly 8 fields.
  owner.Clear();
  EXPECT_FALSE(mon.ProcessTest("PGA\t2\t7\th\t32\t4\t500"));
  EXPECT_FALSE(mon.ProcessTest("PGA\t2\t7\th\t32\t4\t500\t1\tx"));
  EXPECT_TRUE(owner.Logged("mon_icmp: Incorrect test format!"));
  EXPECT_EQ(mon.TestCount(), 1u);
}

TEST_F(IcmpMonTest, AnEmptyHostIsRejectedWithNoMessage) {
  const char* line = "PGA\t3\t7\t\t32\t4\t500\t1";
  EXPECT_FALSE(mon.ProcessTest(line));
  EXPECT_EQ(owner.Lines(),
            std::vector<std::string>{std::string("mon_icmp: processing test: '") + line + "'"});
  EXPECT_EQ(mon.TestCount(), 0u);
}

TEST_F(IcmpMonTest, LogLinesAndRecordOfTheSystemEcho) {
  icmp.ScriptEchoes({{IcmpEchoResult::Answered, 1},
                     {IcmpEchoResult::BadStatus, 11010},
                     {IcmpEchoResult::CallFailed, 1231},
                     {IcmpEchoResult::Answered, 2}});
  ASSERT_TRUE(mon.ProcessTest("PGA\t9\t7\tsrv\t100\t4\t500\t2"));
  EXPECT_TRUE(owner.Logged("mon_icmp: addmodify test... testID:9, lid:7, host:'srv'"));
  EXPECT_TRUE(owner.Logged("mon_icmp: test 9 added."));
  UdcView r = CheckOnce("PGM\t9\t7\tsrv\t100\t4\t500\t2");
  EXPECT_EQ(owner.Lines(),
            (std::vector<std::string>{
                "mon_icmp: checking testID:9, lid:7, host:'srv', method:'IPHLPAPI'",
                "mon_icmp: testID:9, lid:7, host:'srv', roundtrip:'1' ",
                "mon_icmp: testID:9, lid:7, host:'srv', status:'11010' ",
                "mon_icmp: testID:9, lid:7, host:'srv'. IcmpSendEcho returned error: 1231",
                "mon_icmp: testID:9, lid:7, host:'srv', roundtrip:'2' ",
                "mon_icmp: testID:9, lid:7, host:'srv', status:'0' - 'ICMP echo results are within "
                "acceptable limits.\nPackets: Sent = 4, Received = 2, Lost = 2.\nAverage round trip "
                "time: 1.50ms', Average:'1.50', Lost:'2' ",
            }));
  EXPECT_EQ(r.ui32, (std::vector<uint32_t>{48, 9, 7, 0, 2}));
  EXPECT_EQ(r.i64.size(), 1u);
  EXPECT_EQ(r.d64, std::vector<double>{1.5});
  EXPECT_EQ(r.str.size(), 1u);
  EXPECT_EQ(icmp.lastEchoBytes, 100);
  EXPECT_TRUE(icmp.dataAllW);
  EXPECT_EQ(icmp.rawCalls, 0);
  EXPECT_EQ(icmp.opens, icmp.closes);
  EXPECT_EQ(icmp.socketsStarted, 1);

  ASSERT_TRUE(mon.ProcessTest("PGD\t9"));
  EXPECT_TRUE(owner.Logged("mon_icmp: removing test... testID:9"));
}

TEST_F(IcmpMonTest, StatusAndText) {
  const struct {
    const char* name;
    int32_t count, lost, received;
    double average;
    uint32_t maxLost;
    uint32_t status;
    double reported;
    const char* text;
  } cases[] = {
      {"a loopback answer is raised to 0.01", 4, 0, 4, 0.0, 0, 0, 0.01,
       "ICMP echo results are within acceptable limits.\nPackets: Sent = 4, Received = 4, Lost = 0.\nAverage "
       "round "
       "trip time: 0.01ms"},
      {"no limit with 3 of 4 lost", 4, 3, 1, 12.5, 0xFFFFFFFF, 0, 12.5,
       "ICMP echo results are within acceptable limits.\nPackets: Sent = 4, Received = 1, Lost = 3.\nAverage "
       "round "
       "trip time: 12.50ms"},
      {"all lost with no limit", 4, 4, 0, 0, 0xFFFFFFFF, 3, 0, "All sent packets were lost"},
      {"nothing received", 4, 0, 0, 0, 0xFFFFFFFF, 3, 0, "All sent packets were lost"},
      {"2 of 4 lost, 1 allowed", 4, 2, 2, 0.004, 1, 2, 0.004, "Number of lost packets: 2 | Max allowed: 1"},
      {"as many lost as allowed", 4, 1, 3, 2, 1, 0, 2,
       "ICMP echo results are within acceptable limits.\nPackets: Sent = 4, Received = 3, Lost = 1.\nAverage "
       "round "
       "trip time: 2.00ms"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    icmp_check::Verdict v = icmp_check::Judge(c.count, c.lost, c.received, c.average, c.maxLost);
    EXPECT_EQ(v.status, c.status);
    EXPECT_DOUBLE_EQ(v.average, c.reported);
    EXPECT_EQ(v.text, c.text);
  }
}

TEST_F(IcmpMonTest, RawEchoOnlyWhenTheSystemEchoCountedNothing) {
  const struct {
    const char* name;
    bool helperMissing, unresolved, openFails, rawFails;
    std::vector<IcmpEchoResult> echoes;
    bool raw;
    std::vector<uint32_t> ui32;
    double average;
  } cases[] = {
      {"helper missing", true, false, false, false, {}, true, {48, 65541, 7, 2, 2}, 1.0},
      {"name not resolved", false, true, false, false, {}, true, {48, 65541, 7, 2, 2}, 1.0},
      {"no handle", false, false, true, false, {}, true, {48, 65541, 7, 2, 2}, 1.0},
      {"raw echo fails too", true, false, false, true, {}, true, {48, 65541, 7, 3, 4}, 0},
      {"every echo call failed",
       false,
       false,
       false,
       false,
       {{IcmpEchoResult::CallFailed, 5}},
       false,
       {48, 65541, 7, 3, 4},
       0},
      {"every reply had a status",
       false,
       false,
       false,
       false,
       {{IcmpEchoResult::BadStatus, 11003}},
       false,
       {48, 65541, 7, 3, 4},
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeIcmpEcho fake;
    fake.helperMissing = c.helperMissing;
    fake.unresolved = c.unresolved;
    fake.openFails = c.openFails;
    fake.rawFails = c.rawFails;
    fake.ScriptEchoes(c.echoes);
    fake.RawResults({0.5, 0, 1.5, 0});
    RecordingOwner rec;
    IcmpMon m(fake);
    m.SetOwner(&rec);
    ASSERT_TRUE(m.ProcessTest("PGA\t65541\t7\tgone\t64\t4\t300\t1"));
    rec.Clear();
    m.MakeCheck();
    ASSERT_TRUE(Within(5s, [&] { return rec.Records().size() == 1 && m.RunningChecks() == 0; }));
    UdcView r = rec.Decoded()[0];
    EXPECT_EQ(r.ui32, c.ui32);
    EXPECT_EQ(r.d64, std::vector<double>{c.average});
    EXPECT_EQ(fake.rawCalls, c.raw ? 1 : 0);
    bool rawLine = rec.Logged("mon_icmp: checking testID:65541, lid:7, host:'gone', method:'RAWSOCKET'");
    EXPECT_EQ(rawLine, c.raw);
    EXPECT_EQ(rec.Logged("mon_icmp: checking testID:65541, lid:7, host:'gone', method:'IPHLPAPI'"),
              !c.helperMissing);
    if (c.raw) {
      // The low 16 bits of the testID identify the requests.
      EXPECT_EQ(fake.lastRawIdentifier, 5);
      EXPECT_EQ(fake.lastRawSize, 64);
      EXPECT_EQ(rec.Logged("mon_icmp: testID:65541, lid:7, host:'gone', ping res:'1.50' "), !c.rawFails);
      EXPECT_EQ(rec.Logged("mon_icmp: testID:65541, lid:7, host:'gone', ping res:'0.00' "), !c.rawFails);
    }
  }
}

TEST_F(IcmpMonTest, AStopDuringAnEchoPostsNothingAndIsBounded) {
  for (bool cancellable : {true, false}) {
    SCOPED_TRACE(cancellable ? "the echo is cancelled" : "the raw echo sees the stop");
    FakeIcmpEcho fake;
    fake.cancellable = cancellable;
    fake.blockEcho = cancellable;
    fake.helperMissing = !cancellable;
    fake.blockRaw = true;
    RecordingOwner rec;
    IcmpMon m(fake);
    m.SetOwner(&rec);
    ASSERT_TRUE(m.ProcessTest("PGA\t4\t7\tsilent\t32\t10\t60000\t1"));
    m.MakeCheck();
    ASSERT_TRUE(Within(2s, [&] { return fake.echoes + fake.rawCalls > 0; }));
    rec.Clear();
    auto begin = std::chrono::steady_clock::now();
    m.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 1500ms);
    ASSERT_TRUE(Within(2s, [&] { return m.RunningChecks() == 0; }));
    EXPECT_TRUE(rec.Records().empty());
    EXPECT_TRUE(rec.Lines().empty());
    EXPECT_EQ(fake.cancels, cancellable ? 1 : 0);
    EXPECT_EQ(fake.opens, fake.closes);
  }
}

TEST_F(IcmpMonTest, DueChecksRunSideBySide) {
  // Each check blocks until stopped: all of them must have begun in one pass.
  icmp.blockEcho = true;
  for (int id = 1; id <= 20; ++id)
    ASSERT_TRUE(mon.ProcessTest(("PGA\t" + std::to_string(id) + "\t7\th\t32\t1\t60000\t1").c_str()));
  mon.MakeCheck();
  EXPECT_TRUE(Within(5s, [&] { return icmp.echoes == 20; }));
  EXPECT_EQ(mon.RunningChecks(), 20u);
  mon.Stop();
  EXPECT_TRUE(owner.Records().empty());
}

}  // namespace
