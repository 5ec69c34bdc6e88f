// Under Wine, in a network namespace of its own (icmp_namespace.sh): the ping
// monitor with the real ICMP seam against loopback addresses. The Answering
// tests need the namespace's echo on, the Silent ones off.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "agent/Plugins/icmp_mon.h"
#include "corelib/ping.h"
#include "platform/win32/icmp_echo_win32.h"
#include "tests/unit/fakes/recording_owner.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The real seam with the IP Helper functions hidden: the way to the raw echo.
class WithoutHelper : public IIcmpEcho {
 public:
  explicit WithoutHelper(IIcmpEcho& real) : m_real(real) {}
  bool StartSockets() override { return m_real.StartSockets(); }
  void StopSockets() override { m_real.StopSockets(); }
  bool HelperAvailable() override { return false; }
  bool EchoCancellable() override { return false; }
  bool Resolve(const std::string& h, uint32_t& a) override { return m_real.Resolve(h, a); }
  std::shared_ptr<IIcmpEchoSession> Open() override { return nullptr; }
  bool RawPing(const std::string& host, uint32_t timeout, int32_t count, double* results, uint16_t size,
               uint16_t identifier, const std::function<bool()>& stop) override {
    return m_real.RawPing(host, timeout, count, results, size, identifier, stop);
  }

 private:
  IIcmpEcho& m_real;
};

class IcmpMon : public CICMPMon<RecordingOwner> {
 public:
  explicit IcmpMon(IIcmpEcho& icmp) : CICMPMon(icmp) { m_firstTick = std::chrono::hours(1); }
};

class IcmpIt : public ::testing::Test {
 protected:
  // Runs one pass over `lines` and waits up to `limit` for `n` records.
  std::vector<UdcView> Run(IIcmpEcho& seam, std::vector<std::string> lines, size_t n,
                           std::chrono::seconds limit) {
    mon = std::make_unique<IcmpMon>(seam);
    mon->SetOwner(&owner);
    for (auto& l : lines) EXPECT_TRUE(mon->ProcessTest(l.c_str())) << l;
    owner.Clear();
    begun = Clock::now();
    mon->MakeCheck();
    auto end = begun + limit;
    while ((owner.Records().size() < n || mon->RunningChecks() > 0) && Clock::now() < end)
      std::this_thread::sleep_for(20ms);
    took = Clock::now() - begun;
    EXPECT_EQ(owner.Records().size(), n);
    for (auto& l : owner.Lines()) printf("  %s\n", l.c_str());
    return owner.Decoded();
  }
  void TearDown() override { mon.reset(); }

  static std::string WithinText(int count, const UdcView& r) {
    char average[32];
    snprintf(average, sizeof average, "%.2f", r.d64.empty() ? -1.0 : r.d64[0]);
    return "ICMP echo results are within acceptable limits.\nPackets: Sent = " + std::to_string(count) +
           ", Received = " + std::to_string(count) + ", Lost = 0.\nAverage round trip time: " + average +
           "ms";
  }

  IcmpEchoWin32 real{&ping_until_stopped};
  WithoutHelper raw{real};
  RecordingOwner owner;
  std::unique_ptr<IcmpMon> mon;
  Clock::time_point begun;
  Clock::duration took{};
};

TEST_F(IcmpIt, AnsweringLoopbackThroughTheSystemEcho) {
  ASSERT_TRUE(real.HelperAvailable());
  for (int size : {32, 4096}) {
    SCOPED_TRACE(size);
    auto records = Run(real, {"PGA\t1\t7\t127.0.0.1\t" + std::to_string(size) + "\t4\t1000\t0"}, 1, 20s);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].ui32, (std::vector<uint32_t>{48, 1, 7, 0, 0}));
    EXPECT_EQ(records[0].str, std::vector<std::string>{WithinText(4, records[0])});
    EXPECT_TRUE(owner.Logged("mon_icmp: checking testID:1, lid:7, host:'127.0.0.1', method:'IPHLPAPI'"));
    EXPECT_FALSE(owner.Logged("mon_icmp: checking testID:1, lid:7, host:'127.0.0.1', method:'RAWSOCKET'"));
  }
}

TEST_F(IcmpIt, AnsweringUnresolvableName) {
  auto records = Run(real, {"PGA\t1\t7\tno-such-host.invalid\t32\t11\t500\t-1"}, 1, 30s);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].ui32, (std::vector<uint32_t>{48, 1, 7, 3, 4}));
  EXPECT_EQ(records[0].d64, std::vector<double>{0.0});
  EXPECT_EQ(records[0].str, std::vector<std::string>{"All sent packets were lost"});
  EXPECT_TRUE(
      owner.Logged("mon_icmp: checking testID:1, lid:7, host:'no-such-host.invalid', method:'IPHLPAPI'"));
  EXPECT_TRUE(
      owner.Logged("mon_icmp: checking testID:1, lid:7, host:'no-such-host.invalid', method:'RAWSOCKET'"));
}

TEST_F(IcmpIt, AnsweringLoopbackThroughTheRawEcho) {
  auto records = Run(raw, {"PGA\t1\t7\t127.0.0.1\t4096\t4\t1000\t0"}, 1, 20s);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].ui32, (std::vector<uint32_t>{48, 1, 7, 0, 0}));
  EXPECT_EQ(records[0].str, std::vector<std::string>{WithinText(4, records[0])});
  EXPECT_TRUE(owner.Logged("mon_icmp: checking testID:1, lid:7, host:'127.0.0.1', method:'RAWSOCKET'"));
}

TEST_F(IcmpIt, SilentAddressThroughTheSystemEcho) {
  auto records = Run(real, {"PGA\t2\t7\t127.0.0.99\t32\t3\t1000\t1"}, 1, 20s);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].ui32, (std::vector<uint32_t>{48, 2, 7, 3, 3}));
  EXPECT_LT(took, 3 * 1000ms + 2s);
}

TEST_F(IcmpIt, SilentRawChecksSharingAnIdentifier) {
  // 5 and 65541 share the identifier; only the copy of 5's own request to
  // 127.0.0.1 may count, not the copy of 65541's (sent from 127.0.0.1).
  auto records =
      Run(raw, {"PGA\t5\t7\t127.0.0.1\t32\t4\t1000\t0", "PGA\t65541\t7\t127.0.0.99\t32\t4\t1000\t0"}, 2, 20s);
  ASSERT_EQ(records.size(), 2u);
  for (const UdcView& r : records) {
    ASSERT_GE(r.ui32.size(), 5u);
    std::vector<uint32_t> expected =
        r.ui32[1] == 5 ? std::vector<uint32_t>{48, 5, 7, 0, 0} : std::vector<uint32_t>{48, 65541, 7, 3, 4};
    EXPECT_EQ(r.ui32, expected);
  }
}

TEST_F(IcmpIt, SilentStopDuringAnEcho) {
  for (bool viaHelper : {true, false}) {
    SCOPED_TRACE(viaHelper ? "system echo" : "raw echo");
    IIcmpEcho& seam = viaHelper ? static_cast<IIcmpEcho&>(real) : raw;
    mon = std::make_unique<IcmpMon>(seam);
    mon->SetOwner(&owner);
    ASSERT_TRUE(mon->ProcessTest("PGA\t3\t7\t127.0.0.99\t32\t10\t60000\t1"));
    mon->MakeCheck();
    std::this_thread::sleep_for(1500ms);
    ASSERT_EQ(mon->RunningChecks(), 1u);
    owner.Clear();
    auto begin = Clock::now();
    mon->Stop();
    auto stopped = Clock::now() - begin;
    mon.reset();  // waits for the check
    auto gone = Clock::now() - begin;
    printf("  stop %lld ms, destroyed after %lld ms\n",
           static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(stopped).count()),
           static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(gone).count()));
    EXPECT_LT(stopped, 1500ms);
    EXPECT_LT(gone, 4s);
    EXPECT_TRUE(owner.Records().empty());
    EXPECT_TRUE(owner.Lines().empty());
  }
}

}  // namespace
