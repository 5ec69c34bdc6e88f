// The memory monitor over set memory figures: the values it reports, the
// "at or below" minimums, the test layouts and the fallback query.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "agent/Plugins/mem_mon.h"
#include "tests/unit/fakes/fake_memory_probe.h"
#include "tests/unit/fakes/fake_snmp_reads.h"
#include "tests/unit/fakes/manual_monitor.h"
#include "tests/unit/fakes/recording_owner.h"
#include "tests/unit/udc_view.h"

namespace {

constexpr uint64_t kMB = 1048576;

// 8192 MB of memory with 1024 MB free; commit limit 12288 MB, 10240 MB committed.
FakeMemoryProbe::Performance Machine() {
  FakeMemoryProbe::Performance p;
  p.pageSize = 4096;
  p.physicalTotal = 8192 * kMB / 4096;
  p.physicalAvailable = 1024 * kMB / 4096;
  p.commitLimit = 12288 * kMB / 4096;
  p.commitTotal = 10240 * kMB / 4096;
  return p;
}

class MemoryMonitorTest : public ::testing::Test {
 protected:
  MemoryMonitorTest() : mon(probe, snmp) {
    probe.Set(Machine());
    mon.SetOwner(&owner);
    mon.SetClock([this] { return now.load(); });
  }
  std::vector<UdcView> Pass() {
    owner.Clear();
    mon.MakeCheck();
    std::vector<UdcView> views;
    for (const auto& r : owner.Records()) views.push_back(ViewRecord(r));
    return views;
  }
  void Add(const char* line) { ASSERT_TRUE(mon.ProcessTest(line)) << line; }

  RecordingOwner owner;
  FakeMemoryProbe probe;
  FakeSnmpReads snmp;
  ManualMonitor<CMemMon<RecordingOwner>> mon;
  std::atomic<int64_t> now{1700000000};
};

TEST_F(MemoryMonitorTest, LocalRecordAndLogLines) {
  Add("MMA\t21\t4\t1024\t500\t2047");
  auto records = Pass();
  ASSERT_EQ(records.size(), 1u);
  const UdcView& r = records[0];
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.ui32, (std::vector<uint32_t>{47, 21, 4, 2}));
  ASSERT_EQ(r.i64.size(), 1u);
  // free/total physical, page file, buffers, cache, free/total virtual.
  EXPECT_EQ(r.d64, (std::vector<double>{1024, 8192, -1, -1, -1, -1, 2048, 12288}));
  // Free memory equal to the minimum fires; the page file is not measured locally.
  EXPECT_EQ(r.str, std::vector<std::string>{"Physical memory free size: 1024.00 / Min value: 1024\n"});
  EXPECT_TRUE(r.subs.empty());
  EXPECT_EQ(owner.Lines(),
            (std::vector<std::string>{
                "mon_mem: checking testID: 21, lid: 4",
                "mon_mem: testID: 21, lid: 4, total_phys: 8192.00, free_phys: 1024.00, total_page: "
                "-1.00, free_page: -1.00, total_virt: 12288.00, free_virt: 2048.00",
            }));
}

TEST_F(MemoryMonitorTest, MinimumsFireAtOrBelowAndOnlyOnMeasuredValues) {
  struct Case {
    const char* line;
    uint32_t status;
    const char* text;
  } cases[] = {
      {"MMA\t1\t1\t1024\t-1\t-1", 2, "Physical memory free size: 1024.00 / Min value: 1024\n"},
      {"MMA\t2\t1\t1023\t-1\t-1", 0, "Memory usage is within acceptable limits\n"},
      {"MMA\t3\t1\t-1\t-1\t2048", 2, "Virtual memory free size: 2048.00 / Min value: 2048\n"},
      {"MMA\t4\t1\t2000\t-1\t4000", 2,
       "Physical memory free size: 1024.00 / Min value: 2000\nVirtual memory free size: 2048.00 / Min value: "
       "4000\n"},
      // Page file, buffers and cache come only from remote hosts.
      {"MMA\t5\t1\t-1\t100000\t-1\t0\t0", 0, "Memory usage is within acceptable limits\n"},
  };
  for (const auto& c : cases) Add(c.line);
  auto records = Pass();
  ASSERT_EQ(records.size(), std::size(cases));
  for (size_t i = 0; i < records.size(); ++i) {
    SCOPED_TRACE(cases[i].line);
    EXPECT_EQ(records[i].ui32[3], cases[i].status);
    EXPECT_EQ(records[i].str, std::vector<std::string>{cases[i].text});
  }
}

TEST_F(MemoryMonitorTest, TestLayouts) {
  struct Case {
    const char* line;
    const char* logged;  // the line after "processing test"
  } cases[] = {
      {"MMA\t1\t2\t3\t4\t5",
       "mon_mem: addmodify test. testID:1, lid:2, mem_min:3, page_min:4, vsize_min:5, buffered_min:-1, "
       "cached_min:-1, "
       "hostAddr: "},
      {"MMA\t2\t2\t3\t4\t5\t6\t7",
       "mon_mem: addmodify test. testID:2, lid:2, mem_min:3, page_min:4, vsize_min:5, buffered_min:6, "
       "cached_min:7, "
       "hostAddr: "},
      {"MMM\t2\t9\t3\t4\t5\t6\t7\tnas-1",
       "mon_mem: addmodify test. testID:2, lid:9, mem_min:3, page_min:4, vsize_min:5, buffered_min:6, "
       "cached_min:7, "
       "hostAddr: nas-1"},
      {"MMA\t3\t2\t3\t4\t5\t6", "mon_mem: Incorrect test format!"},
      {"MMA\t3\t2\t3\t4\t5\t6\t7\th\textra", "mon_mem: Incorrect test format!"},
      {"MMD\t1", "mon_mem: removing test... testID:1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    owner.Clear();
    mon.ProcessTest(c.line);
    auto lines = owner.Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1], c.logged);
  }
  auto tests = mon.Tests();
  ASSERT_EQ(tests.size(), 1u);
  EXPECT_EQ(tests[0].lid, 9);
  EXPECT_EQ(tests[0].buffered_min, 6);
  EXPECT_EQ(tests[0].cached_min, 7);
  EXPECT_EQ(tests[0].hostAddr, "nas-1");
}

TEST_F(MemoryMonitorTest, MemoryStatusStandsInForThePerformanceInformation) {
  FakeMemoryProbe::Status s;
  s.totalPhys = 4096 * kMB;
  s.availPhys = 512 * kMB;
  s.totalPageFile = 6144 * kMB;
  s.availPageFile = 1024 * kMB;
  s.totalVirtual = 128ull << 40;  // the address space: not what "virtual" reports
  s.availVirtual = 127ull << 40;
  probe.Set(s);
  probe.Set(Machine(), false);
  Add("MMA\t1\t1\t-1\t-1\t1024");
  auto records = Pass();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].d64, (std::vector<double>{512, 4096, -1, -1, -1, -1, 1024, 6144}));
  EXPECT_EQ(records[0].str,
            std::vector<std::string>{"Virtual memory free size: 1024.00 / Min value: 1024\n"});
  EXPECT_EQ(owner.Lines().front(), "mon_mem: GetPerformanceInfo failed.");

  // Neither query: no result, and the test is still due at the next pass.
  now += 300;
  probe.Set(s, false);
  EXPECT_TRUE(Pass().empty());
  EXPECT_EQ(owner.Lines(), (std::vector<std::string>{"mon_mem: GetPerformanceInfo failed.",
                                                     "mon_mem: GlobalMemoryStatusEx failed."}));
  probe.Set(Machine());
  EXPECT_EQ(Pass().size(), 1u);
}

// A host's storage table: description, allocation unit, size and used size by index.
void SetStorage(FakeSnmpReads& snmp, int index, const std::string& descr, int64_t unit, int64_t size,
                int64_t used) {
  const std::string i = std::to_string(index);
  snmp.Text("1.3.6.1.2.1.25.2.3.1.3." + i, descr);
  snmp.Integer("1.3.6.1.2.1.25.2.3.1.4." + i, unit);
  snmp.Integer("1.3.6.1.2.1.25.2.3.1.5." + i, size);
  snmp.Integer("1.3.6.1.2.1.25.2.3.1.6." + i, used);
}

TEST_F(MemoryMonitorTest, RemoteStorageTableGivesAllFiveSizes) {
  // 4 GB of 1 KiB units, 3 GB used; swap 2 GB in 4 KiB units, all free.
  SetStorage(snmp, 1, "Physical memory", 1024, 4 * 1048576, 3 * 1048576);
  SetStorage(snmp, 3, "Virtual memory", 1024, 6 * 1048576, 3 * 1048576);
  SetStorage(snmp, 6, "Memory buffers", 1024, 100 * 1024, 90 * 1024);
  SetStorage(snmp, 7, "Cached memory", 1024, 200 * 1024, 200 * 1024);
  SetStorage(snmp, 10, "SWAP SPACE", 4096, 512 * 1024, 0);
  SetStorage(snmp, 31, "/", 4096, 1000, 10);  // a disk: not memory
  Add("MMA\t9\t1\t1024\t2048\t1\t100\t300\t192.0.2.7");
  auto records = Pass();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].ui32, (std::vector<uint32_t>{47, 9, 1, 2}));
  // free_phys, total_phys, free_page, total_page, buffered, cached, free_virt, total_virt
  EXPECT_EQ(records[0].d64, (std::vector<double>{1024, 4096, 2048, 2048, 100, 200, 3072, 6144}));
  EXPECT_EQ(records[0].str, std::vector<std::string>{"Physical memory free size: 1024.00 / Min value: 1024\n"
                                                     "Page file free space: 2048.00 / Min value: 2048\n"
                                                     "Buffered memory size: 100.00 / Max value: 100\n"});
  EXPECT_EQ(snmp.lastGet.size(), 13u);  // size and unit of five, used size of three
  EXPECT_EQ(snmp.lastGetWait, 3000u);
  EXPECT_EQ(snmp.lastNextWait, 10000u);
  EXPECT_TRUE(owner.Logged("mon_mem: remote test: GetOIDValuesFromHost succeeded."));
}

TEST_F(MemoryMonitorTest, RemoteStorageMissingOrUnreadable) {
  // No swap, and virtual memory's used size of another syntax: both stay -1.
  SetStorage(snmp, 1, "physical memory", 1024, 1048576, 0);
  SetStorage(snmp, 3, "virtual memory", 1024, 1048576, 0);
  snmp.Counter("1.3.6.1.2.1.25.2.3.1.6.3", 5);
  Add("MMA\t9\t1\t1\t1\t1\t1\t1\t192.0.2.7");
  auto records = Pass();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].ui32[3], 0u);
  EXPECT_EQ(records[0].d64, (std::vector<double>{1024, 1024, -1, -1, -1, -1, -1, -1}));
}

// No memory rows (nothing to request), and read codes 1-3 give statuses 11-13.
TEST_F(MemoryMonitorTest, RemoteFailuresGiveTheirStatus) {
  SetStorage(snmp, 31, "/", 4096, 1000, 10);
  Add("MMA\t9\t1\t1\t1\t1\t1\t1\t192.0.2.7");
  auto records = Pass();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].ui32, (std::vector<uint32_t>{47, 9, 1, 10}));
  EXPECT_EQ(records[0].d64, std::vector<double>(8, -1));
  EXPECT_EQ(records[0].str, std::vector<std::string>{"N/A"});
  EXPECT_EQ(snmp.gets, 0);

  SetStorage(snmp, 1, "physical memory", 1024, 1048576, 0);
  for (int code : {1, 2, 3}) {
    SCOPED_TRACE(code);
    snmp.FailGet(code);
    now += 300;
    records = Pass();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].ui32[3], static_cast<uint32_t>(10 + code));
    EXPECT_TRUE(owner.Logged(Format("mon_mem: remote test: GetOIDValuesFromHost failed: retVal: %d", code)));
  }
  snmp.FailGet(0);
  snmp.FailNext(1);
  now += 300;
  EXPECT_EQ(Pass()[0].ui32[3], 11u);
}

TEST(MemoryLayout, CommitAboveTheLimitLeavesNothingFree) {
  std::vector<uint8_t> raw(memory_layout::kPerformanceInformationSize, 0);
  raw[memory_layout::kPageSizeOffset + 1] = 0x10;  // 4096
  raw[memory_layout::kCommitLimitOffset] = 10;
  raw[memory_layout::kCommitTotalOffset] = 11;
  MemorySizes sizes;
  ASSERT_TRUE(ParsePerformanceInformation(raw, sizes));
  EXPECT_EQ(sizes.totalVirt, 40960u);
  EXPECT_EQ(sizes.freeVirt, 0u);
  raw.pop_back();
  EXPECT_FALSE(ParsePerformanceInformation(raw, sizes));
  EXPECT_FALSE(ParseMemoryStatus(std::vector<uint8_t>(63), sizes));
}

}  // namespace
