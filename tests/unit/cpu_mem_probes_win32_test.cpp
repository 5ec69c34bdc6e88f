// The processor-time and memory probes against the real system calls, and one
// pass of each monitor over them: the layouts the portable readers assume are
// the ones the system fills in.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <vector>

#include "agent/Plugins/cpu_mon.h"
#include "agent/Plugins/mem_mon.h"
#include "platform/win32/cpu_probe_win32.h"
#include "platform/win32/memory_probe_win32.h"
#include "tests/unit/fakes/manual_monitor.h"
#include "tests/unit/fakes/recording_owner.h"
#include "tests/unit/udc_view.h"

namespace {

uint32_t SystemProcessors() {
  SYSTEM_INFO info = {};
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors;
}

// Keeps this processor busy for a while, so that the counters move.
void Spin(std::chrono::milliseconds length) {
  volatile double x = 1;
  auto end = std::chrono::steady_clock::now() + length;
  while (std::chrono::steady_clock::now() < end) x = std::sqrt(x + 1);
}

TEST(CpuProbeWin32, CountAndTimesFromTheSystem) {
  CpuProbeWin32 probe;
  ASSERT_TRUE(probe.Available());
  std::vector<uint8_t> raw;
  ASSERT_TRUE(probe.QueryBasicInformation(raw));
  const uint32_t processors = ParseProcessorCount(raw);
  EXPECT_EQ(processors, SystemProcessors());

  std::vector<ProcessorTimes> before, after;
  ASSERT_TRUE(probe.QueryProcessorTimes(processors, raw));
  ASSERT_TRUE(ParseProcessorTimes(raw, processors, before));
  Spin(std::chrono::milliseconds(300));
  ASSERT_TRUE(probe.QueryProcessorTimes(processors, raw));
  ASSERT_TRUE(ParseProcessorTimes(raw, processors, after));
  int64_t moved = 0;
  for (uint32_t i = 0; i < processors; ++i) {
    SCOPED_TRACE(i);
    EXPECT_GE(after[i].idle, before[i].idle);
    EXPECT_GE(after[i].kernel, before[i].kernel);
    EXPECT_GE(after[i].user, before[i].user);
    EXPECT_GE(after[i].kernel, after[i].idle);  // kernel time includes idle time
    moved += (after[i].kernel - before[i].kernel) + (after[i].user - before[i].user);
  }
  EXPECT_GT(moved, 0);
}

TEST(CpuProbeWin32, OnePassOfTheMonitorGivesAPlausibleRecord) {
  CpuProbeWin32 probe;
  RecordingOwner owner;
  ManualMonitor<CCPUmon<RecordingOwner>> mon(probe);
  mon.SetOwner(&owner);
  ASSERT_TRUE(mon.Available());
  ASSERT_TRUE(mon.ProcessTest("CUA\t1\t2\t-1\t-1\t-1\t-1\t-1"));
  Spin(std::chrono::milliseconds(300));
  mon.MakeCheck();
  auto records = owner.Records();
  ASSERT_EQ(records.size(), 1u);
  UdcView r = ViewRecord(records[0]);
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.ui32, (std::vector<uint32_t>{44, 1, 2, 0}));
  ASSERT_EQ(r.d64.size(), 5u);
  EXPECT_GE(r.d64[0], 0);
  EXPECT_LE(r.d64[0], 100);
  EXPECT_GE(r.d64[1], 0);
  EXPECT_LE(r.d64[1], r.d64[0]);
  ASSERT_EQ(r.subs.size(), SystemProcessors());
  for (const UdcView& p : r.subs) {
    EXPECT_GE(p.d64[0], 0);
    EXPECT_LE(p.d64[0], 100);
  }
}

TEST(MemoryProbeWin32, BothQueriesAgreeOnTheMachine) {
  MemoryProbeWin32 probe;
  std::vector<uint8_t> raw;
  MemorySizes performance, status;
  ASSERT_TRUE(probe.QueryPerformanceInformation(raw));
  ASSERT_TRUE(ParsePerformanceInformation(raw, performance));
  ASSERT_TRUE(probe.QueryMemoryStatus(raw));
  ASSERT_TRUE(ParseMemoryStatus(raw, status));
  EXPECT_GT(performance.totalPhys, 0u);
  EXPECT_LE(performance.freePhys, performance.totalPhys);
  EXPECT_LE(performance.freeVirt, performance.totalVirt);
  // Whole pages against bytes, taken a moment apart.
  EXPECT_NEAR(static_cast<double>(performance.totalPhys), static_cast<double>(status.totalPhys),
              0.01 * static_cast<double>(status.totalPhys));
  EXPECT_NEAR(static_cast<double>(performance.totalVirt), static_cast<double>(status.totalVirt),
              0.05 * static_cast<double>(status.totalVirt));
}

TEST(MemoryProbeWin32, OnePassOfTheMonitorGivesAPlausibleRecord) {
  MemoryProbeWin32 probe;
  RecordingOwner owner;
  ManualMonitor<CMemMon<RecordingOwner>> mon(probe);
  mon.SetOwner(&owner);
  ASSERT_TRUE(mon.ProcessTest("MMA\t3\t4\t-1\t-1\t-1"));
  mon.MakeCheck();
  auto records = owner.Records();
  ASSERT_EQ(records.size(), 1u);
  UdcView r = ViewRecord(records[0]);
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.ui32, (std::vector<uint32_t>{47, 3, 4, 0}));
  ASSERT_EQ(r.d64.size(), 8u);
  MEMORYSTATUSEX status = {};
  status.dwLength = sizeof status;
  ASSERT_TRUE(GlobalMemoryStatusEx(&status));
  const double totalMB = static_cast<double>(status.ullTotalPhys) / 1048576;
  EXPECT_NEAR(r.d64[1], totalMB, 0.01 * totalMB);  // total physical
  EXPECT_GT(r.d64[0], 0);                          // free physical
  EXPECT_LE(r.d64[0], r.d64[1]);
  EXPECT_GT(r.d64[7], 0);         // total virtual (commit limit)
  EXPECT_LE(r.d64[6], r.d64[7]);  // free virtual
  EXPECT_EQ(r.d64[2], -1);        // no page file figures locally
  auto lines = owner.Lines();     // the performance information is there: no fallback
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "mon_mem: GetPerformanceInfo failed."), 0);
}

}  // namespace
