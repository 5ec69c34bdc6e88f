// The SNMP client, the SNMP monitor and the remote reads against real agents
// on loopback (started by snmp_peer.sh in a network namespace of its own):
// 127.0.0.1:161 serves everything with community "public", 127.0.0.2:161
// only the system group. The trap case waits for the script to send a trap
// and an inform once the listener runs (files in SNMP_SYNC_DIR).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "agent/Plugins/SnmpReads.h"
#include "agent/Plugins/mem_mon.h"
#include "agent/Plugins/snmp_mon.h"
#include "corelib/SnmpClient.h"
#include "tests/unit/fakes/fake_memory_probe.h"
#include "tests/unit/fakes/manual_monitor.h"
#include "tests/unit/fakes/recording_owner.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kSysServices = "1.3.6.1.2.1.1.7.0";
constexpr const char* kSysContact = "1.3.6.1.2.1.1.4.0";

std::string Env(const char* name, const char* fallback) {
  const char* v = getenv(name);
  return v && *v ? v : fallback;
}

bool WaitFor(const std::function<bool()>& done, int ms) {
  auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

class SnmpPeer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_NE(init_snmp_lib(), 0); }
};

TEST_F(SnmpPeer, SeveralOidsWithLimitsAndMissingObjects) {
  CSnmpClient c(false);
  const std::string oids =
      std::string(kSysServices) + ";" + kSysContact + ";1.3.6.1.2.1.1.99.0;1.3.6.1.2.1.1.1.99";
  ASSERT_TRUE(c.InitInst("127.0.0.1", 161, "public", oids.c_str(), 5, 1, 2, "10,20;x;;", false))
      << c.LastError();
  ASSERT_TRUE(c.SendRequest());
  ASSERT_TRUE(c.wait(12000));
  EXPECT_EQ(c.LastError(), "");
  ASSERT_EQ(c.VariableCount(), 4u);
  SnmpVariable v;
  ASSERT_TRUE(c.GetVariable(0, v));
  EXPECT_EQ(v.oid, kSysServices);
  EXPECT_EQ(v.syntax, 9);
  EXPECT_EQ(v.value, "72");
  EXPECT_EQ(v.status, 2u);
  EXPECT_EQ(v.message, "OID:       1.3.6.1.2.1.1.7.0\nValue:     72\nMin Value: 10\nMax Value: 20\n");
  ASSERT_TRUE(c.GetVariable(1, v));
  EXPECT_EQ(v.syntax, 8);
  EXPECT_EQ(v.value, "ops@example.test");
  EXPECT_EQ(v.status, 0u);
  ASSERT_TRUE(c.GetVariable(2, v));
  EXPECT_EQ(v.syntax, 20);
  EXPECT_EQ(v.message, "OID: 1.3.6.1.2.1.1.99.0 no such object");
  ASSERT_TRUE(c.GetVariable(3, v));
  EXPECT_EQ(v.syntax, 21);
  EXPECT_EQ(v.status, 2u);
  EXPECT_GT(c.ResponseTime(), 0);
  EXPECT_EQ(c.Responder(), "127.0.0.1");

  // The limit itself is within.
  ASSERT_TRUE(c.InitInst("127.0.0.1", 161, "public", kSysServices, 5, 1, 2, "10,72", false));
  ASSERT_TRUE(c.SendRequest());
  ASSERT_TRUE(c.wait(12000));
  ASSERT_TRUE(c.GetVariable(0, v));
  EXPECT_EQ(v.status, 0u);
}

TEST_F(SnmpPeer, RefusalsAndTimeOuts) {
  // SNMPv1 has no noSuchObject: the agent refuses the request.
  CSnmpClient v1(false);
  ASSERT_TRUE(v1.InitInst("127.0.0.1", 161, "public", "1.3.6.1.2.1.1.99.0", 5, 0, 1, "", false));
  ASSERT_TRUE(v1.SendRequest());
  ASSERT_TRUE(v1.wait(6000));
  EXPECT_EQ(v1.LastError(), "The requested SNMP operation identified an unknown variable.");
  EXPECT_EQ(v1.VariableCount(), 0u);

  // An unknown community is never answered: (retry + 1) x timeout, then the engine's time-out.
  CSnmpClient wrong(false);
  ASSERT_TRUE(wrong.InitInst("127.0.0.1", 161, "not-public", kSysServices, 1, 1, 2, "", false));
  auto begin = Clock::now();
  ASSERT_TRUE(wrong.SendRequest());
  EXPECT_TRUE(wrong.wait(10000));
  auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin).count();
  EXPECT_GE(took, 1900);
  EXPECT_LT(took, 4000);
  EXPECT_EQ(wrong.LastError(), "Request timed out");
  // The caller's own shorter wait gives the same text.
  ASSERT_TRUE(wrong.SendRequest());
  EXPECT_FALSE(wrong.wait(300));
  EXPECT_EQ(wrong.LastError(), "Request timed out");

  const struct {
    const char* host;
    uint32_t port;
    const char* community;
    const char* oids;
    const char* minmax;
    const char* error;
  } cases[] = {
      {"no-such-host.invalid", 161, "public", kSysServices, "", "Host name resolution failed."},
      {"", 161, "public", kSysServices, "", "Host name isn't specified."},
      {"127.0.0.1", 70000, "public", kSysServices, "", "Invalid entity parameter"},
      {"127.0.0.1", 0, "public", kSysServices, "", "Invalid entity parameter"},
      {"127.0.0.1", 161, "", kSysServices, "", "Community string isn't specified."},
      {"127.0.0.1", 161, "public", "1.3;;1.4", "", "Object ID is incorrect."},
      {"127.0.0.1", 161, "public", "1.3.x", "", "Object ID is incorrect."},
      {"127.0.0.1", 161, "public", "", "", "Object ID is incorrect."},
      {"127.0.0.1", 161, "public", "7.3.6", "", "Invalid OID parameter"},
      {"127.0.0.1", 161, "public", "1.3.6;1.3.7", "1,2", "Min/Max specification is incorrect."},
  };
  for (const auto& k : cases) {
    CSnmpClient c(false);
    EXPECT_FALSE(c.InitInst(k.host, k.port, k.community, k.oids, 1, 0, 2, k.minmax, false)) << k.error;
    EXPECT_EQ(c.LastError(), k.error);
  }
}

TEST_F(SnmpPeer, RemoteReadsAndWalks) {
  CSnmpClientReads reads;
  std::vector<SnmpAnswer> answers;
  std::vector<std::string> ucd;
  for (int i = 50; i <= 56; ++i) ucd.push_back("1.3.6.1.4.1.2021.11." + std::to_string(i) + ".0");
  ASSERT_EQ(reads.Get("127.0.0.1", ucd, 10000, answers, nullptr), 0);
  ASSERT_EQ(answers.size(), 7u);
  for (const SnmpAnswer& a : answers) EXPECT_EQ(a.syntax, 14) << a.oid;

  std::vector<SnmpAnswer> rows;
  ASSERT_EQ(SnmpWalk(reads, "127.0.0.1", "1.3.6.1.2.1.25.2.3.1.3", 10000, rows, nullptr), 0);
  bool physical = false;
  for (const SnmpAnswer& r : rows) physical = physical || r.value == "Physical memory";
  EXPECT_TRUE(physical);
  // Only the system group: the walk's first step is past the view's end.
  ASSERT_EQ(SnmpWalk(reads, "127.0.0.2", "1.3.6.1.2.1.25.3.3.1.2", 10000, rows, nullptr), 0);
  EXPECT_TRUE(rows.empty());
  // Nobody there: no answer.
  EXPECT_EQ(SnmpWalk(reads, "127.0.0.3", "1.3.6.1.2.1.25.3.3.1.2", 500, rows, nullptr), 3);

  RecordingOwner owner;
  FakeMemoryProbe probe;
  ManualMonitor<CMemMon<RecordingOwner>> mem(probe, reads);
  mem.SetOwner(&owner);
  ASSERT_TRUE(mem.ProcessTest("MMA\t1\t2\t-1\t-1\t-1\t-1\t-1\t127.0.0.1"));
  mem.MakeCheck();
  auto records = owner.Decoded();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].ui32, (std::vector<uint32_t>{47, 1, 2, 0}));
  EXPECT_GT(records[0].d64[1], 0);  // total physical memory
}

// A monitor whose first tick comes at once.
template <class Owner>
class QuickSnmpMon : public CSnmpMon<Owner> {
 public:
  explicit QuickSnmpMon(std::function<uint32_t()> port) : CSnmpMon<Owner>(std::move(port)) {
    this->m_firstTick = std::chrono::milliseconds(10);
    this->m_tickInterval = std::chrono::milliseconds(200);
  }
};

std::vector<UdcView> OfType(RecordingOwner& owner, uint32_t type) {
  std::vector<UdcView> out;
  for (auto& r : owner.Decoded())
    if (!r.ui32.empty() && r.ui32[0] == type) out.push_back(r);
  return out;
}

TEST_F(SnmpPeer, MonitorPostsOneRecordPerCheck) {
  RecordingOwner owner;
  QuickSnmpMon<RecordingOwner> mon(nullptr);
  mon.SetOwner(&owner);
  ASSERT_TRUE(mon.Available());
  ASSERT_TRUE(
      mon.ProcessTest("SPA\t1\t2\t127.0.0.1\t161\t2\t1.3.6.1.2.1.1.7.0\tpublic\t\t\t\t\t\t5\t1\t10,20"));
  ASSERT_TRUE(
      mon.ProcessTest("SPA\t3\t4\t127.0.0.1\t70000\t2\t1.3.6.1.2.1.1.7.0;1.3.6.1.2.1.1.4."
                      "0\tpublic\t\t\t\t\t\t5\t1\t1,2;3,4"));
  ASSERT_TRUE(WaitFor([&] { return OfType(owner, 57).size() >= 2; }, 10000));
  mon.Stop();
  for (const UdcView& r : OfType(owner, 57)) {
    if (r.ui32[1] == 1) {
      EXPECT_EQ(r.ui32, (std::vector<uint32_t>{57, 1, 2, 0, 0}));
      EXPECT_EQ(r.str, std::vector<std::string>{"New results are available.\n"});
      ASSERT_EQ(r.subs.size(), 1u);
      EXPECT_EQ(r.subs[0].ui32, (std::vector<uint32_t>{9, 2}));
      EXPECT_EQ(r.subs[0].str,
                (std::vector<std::string>{
                    "72", "OID:       1.3.6.1.2.1.1.7.0\nValue:     72\nMin Value: 10\nMax Value: 20\n"}));
    } else {
      EXPECT_EQ(r.ui32, (std::vector<uint32_t>{57, 3, 4, 3, 0}));
      EXPECT_EQ(r.d64, std::vector<double>{0.0});
      EXPECT_EQ(r.str, std::vector<std::string>{"Invalid entity parameter"});
    }
  }
  EXPECT_TRUE(owner.Logged("mon_smnp: sending request for testID: 1"));
  EXPECT_FALSE(owner.Logged("mon_snmp: Incorrect test format!"));
  // Empty minmax: the line ends with a TAB and has 15 fields.
  EXPECT_FALSE(mon.ProcessTest("SPA\t5\t2\t127.0.0.1\t161\t2\t1.3.6.1.2.1.1.7.0\tpublic\t\t\t\t\t\t5\t1\t"));
  EXPECT_FALSE(mon.ProcessTest("TRM\t5\t6"));
}

TEST_F(SnmpPeer, StopWithARequestOutstandingPostsNothing) {
  RecordingOwner owner;
  QuickSnmpMon<RecordingOwner> mon(nullptr);
  mon.SetOwner(&owner);
  ASSERT_TRUE(
      mon.ProcessTest("SPA\t1\t2\t127.0.0.1\t161\t2\t1.3.6.1.2.1.1.7.0\tnot-public\t\t\t\t\t\t5\t1\t1,2"));
  ASSERT_TRUE(WaitFor([&] { return owner.Logged("mon_smnp: waiting for response for testID: 1"); }, 10000));
  auto begin = Clock::now();
  mon.Stop();
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin).count(), 1500);
  EXPECT_EQ(mon.RunningChecks(), 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(OfType(owner, 57).empty());
}

TEST_F(SnmpPeer, TrapListenerTakesTrapsAndAnswersInforms) {
  const std::string sync = Env("SNMP_SYNC_DIR", "");
  if (sync.empty()) GTEST_SKIP() << "no trap sender (SNMP_SYNC_DIR)";
  const uint32_t port = static_cast<uint32_t>(atoi(Env("SNMP_TRAP_PORT", "162").c_str()));
  RecordingOwner owner;
  QuickSnmpMon<RecordingOwner> mon([port] { return port; });
  mon.SetOwner(&owner);
  // A TRD of another test and one before any TRA change nothing.
  ASSERT_TRUE(mon.ProcessTest("TRD\t5"));
  ASSERT_TRUE(mon.ProcessTest("TRA\t5\t6"));
  ASSERT_TRUE(mon.TrapListenerRunning());
  ASSERT_TRUE(mon.ProcessTest("TRA\t7\t8"));  // one listener: the first stamp stays
  ASSERT_TRUE(mon.ProcessTest("TRD\t7"));
  ASSERT_TRUE(mon.TrapListenerRunning());
  // A second listener cannot take the port.
  CSnmpClient other(true);
  ASSERT_TRUE(other.InitInst("", 0, "", "", 0, 0, 2, "", false));
  EXPECT_FALSE(other.RegisterTrap(true, port));
  EXPECT_EQ(other.LastError(), "Source endpoint in use");

  FILE* f = fopen((sync + "/listening").c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);
  // Counted by package: each carries sysUpTime, snmpTrapOID and sysName.
  auto informs = [&] {
    size_t n = 0;
    for (auto& r : OfType(owner, 61)) n += r.ui32[4] == 2 && r.str[2] == "1.3.6.1.2.1.1.5.0";
    return n;
  };
  auto traps = [&] {
    size_t n = 0;
    for (auto& r : OfType(owner, 61)) n += r.ui32[4] == 1 && r.str[2] == "1.3.6.1.2.1.1.5.0";
    return n;
  };
  ASSERT_TRUE(WaitFor([&] { return informs() >= 3 && traps() >= 3; }, 60000))
      << OfType(owner, 61).size() << " records";
  bool sawValue = false;
  for (const UdcView& r : OfType(owner, 61)) {
    EXPECT_EQ(r.ui32[1], 5u);
    EXPECT_EQ(r.ui32[2], 6u);
    EXPECT_EQ(r.ui32[5], 0u);
    ASSERT_EQ(r.str.size(), 5u);
    EXPECT_EQ(r.str[0], "127.0.0.1");
    EXPECT_EQ(r.str[1], "public");
    EXPECT_EQ(r.str[4],
              r.ui32[4] == 2 ? "A new INFORM package is obtained." : "A new TRAP package is obtained.");
    if (r.str[2] == "1.3.6.1.2.1.1.5.0") {
      EXPECT_EQ(r.ui32[3], 8u);
      EXPECT_EQ(r.str[3], "halvren-test");
      sawValue = true;
    }
  }
  EXPECT_TRUE(sawValue);
  // TRD of its own test ends it and frees the port; a later TRA starts a new one.
  ASSERT_TRUE(mon.ProcessTest("TRD\t5"));
  EXPECT_FALSE(mon.TrapListenerRunning());
  ASSERT_TRUE(mon.ProcessTest("TRA\t9\t10"));
  EXPECT_TRUE(mon.TrapListenerRunning());
  mon.Stop();
  EXPECT_FALSE(mon.TrapListenerRunning());
}

}  // namespace
