// The Win32 disk and process probes against the real system (under Wine:
// the prefix's drives and processes), alone and driving one monitor pass.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "agent/Plugins/disk_mon.h"
#include "agent/Plugins/proc_mon.h"
#include "platform/win32/disk_probe_win32.h"
#include "platform/win32/process_probe_win32.h"
#include "platform/win32/wide.h"
#include "tests/unit/fakes/recording_owner.h"

namespace {

template <class Mon, class Probe>
class Manual : public Mon {
 public:
  explicit Manual(Probe& probe) : Mon(probe) { this->m_firstTick = std::chrono::hours(1); }
};

std::string OwnExeName() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::string full = win32::Narrow(path);
  return full.substr(full.find_last_of("\\/") + 1);
}

// Keeps a processor busy for about `ms` of this thread's own time.
void Burn(int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  volatile uint64_t x = 0;
  while (std::chrono::steady_clock::now() < end) x = x + 1;
}

TEST(DiskProbeWin32, DriveCIsAFixedDriveWithItsSize) {
  DiskProbeWin32 probe;
  std::vector<std::string> roots;
  uint32_t error = 0;
  ASSERT_TRUE(probe.LogicalDrives(roots, error)) << error;
  EXPECT_NE(std::find(roots.begin(), roots.end(), "C:\\"), roots.end());
  EXPECT_EQ(probe.DriveType("C:\\"), kDriveFixed);

  DiskBytes bytes;
  ASSERT_EQ(probe.FreeBytes("C:\\", bytes, error), ProbeStatus::Ok) << error;
  EXPECT_GT(bytes.total, 0u);
  EXPECT_LE(bytes.free, bytes.total);
  DiskClusters clusters;
  ASSERT_TRUE(probe.FreeClusters("C:\\", clusters, error)) << error;
  EXPECT_GT(uint64_t{clusters.sectorsPerCluster} * clusters.bytesPerSector * clusters.totalClusters, 0u);

  // A letter no drive has.
  char unused = 0;
  for (char c = 'Y'; c > 'C' && !unused; --c)
    if (std::find(roots.begin(), roots.end(), std::string(1, c) + ":\\") == roots.end()) unused = c;
  ASSERT_NE(unused, 0);
  const std::string missing = std::string(1, unused) + ":\\";
  EXPECT_EQ(probe.FreeBytes(missing, bytes, error), ProbeStatus::Failed);
  EXPECT_NE(error, 0u);
  EXPECT_FALSE(probe.FreeClusters(missing, clusters, error));
}

TEST(DiskProbeWin32, OneDiskMonitorPassAndTheDriveList) {
  DiskProbeWin32 probe;
  RecordingOwner owner;
  Manual<CDiskMon<RecordingOwner>, IDiskProbe> mon(probe);
  mon.SetOwner(&owner);
  ASSERT_TRUE(mon.ProcessTest("DKA\t1\t2\tC\t0.001"));
  mon.MakeCheck();
  auto records = owner.Decoded();  // each one passed udc_validate on arrival
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].ui32, (std::vector<uint32_t>{46, 1, 2, 0}));
  EXPECT_GT(records[0].d64.at(1), 0.0);  // total
  EXPECT_EQ(records[0].str.at(0), "Drive: C free space is within acceptable limits.\n");

  CMonResult2 list;
  ASSERT_TRUE(mon.get_disks_list(list));
  owner.AddToCache(&list);
  UdcView r = owner.Decoded().back();
  EXPECT_EQ(r.ui32.at(0), 45u);
  EXPECT_NE(r.str.at(0).find("C\t"), std::string::npos) << r.str.at(0);
  mon.Stop();
}

TEST(ProcessProbeWin32, ThisProcessIsListedAndMeasured) {
  ProcessProbeWin32 probe;
  std::vector<ProcessEntry> processes;
  SnapshotFailure failure;
  ASSERT_TRUE(probe.Snapshot(processes, failure)) << failure.error;
  const uint32_t self = GetCurrentProcessId();
  auto me =
      std::find_if(processes.begin(), processes.end(), [&](const ProcessEntry& p) { return p.pid == self; });
  ASSERT_NE(me, processes.end());
  EXPECT_EQ(me->exeName, OwnExeName());

  ProcessTimes before, after;
  ASSERT_EQ(probe.Times(self, before), ProcessRead::Ok);
  Burn(200);
  ASSERT_EQ(probe.Times(self, after), ProcessRead::Ok);
  EXPECT_GT(after.kernel + after.user, before.kernel + before.user);
  EXPECT_GE(after.sampleMs - before.sampleMs, 150);
  EXPECT_NEAR(static_cast<double>(after.sampleMs) / 1000, static_cast<double>(time(nullptr)), 5.0);

  ProcessMemory memory;
  ASSERT_EQ(probe.Memory(self, memory), ProcessRead::Ok);
  EXPECT_GT(memory.workingSet, 0u);
  EXPECT_GE(probe.ProcessorCount(), 1u);

  // Identifiers are multiples of 4; this one belongs to nobody.
  EXPECT_EQ(probe.Times(0x7FFFFFF1, before), ProcessRead::NotOpened);
  EXPECT_EQ(probe.Memory(0x7FFFFFF1, memory), ProcessRead::NotOpened);
}

TEST(ProcessProbeWin32, TwoProcessMonitorPassesAndTheProcessList) {
  ProcessProbeWin32 probe;
  RecordingOwner owner;
  Manual<CProcMon<RecordingOwner>, IProcessProbe> mon(probe);
  mon.SetOwner(&owner);
  const std::string name = OwnExeName();
  ASSERT_TRUE(mon.ProcessTest(("PRA\t1\t2\t-1\t-1\t-1\t" + name).c_str()));
  mon.MakeCheck();
  Burn(300);
  mon.ResetSchedule();
  mon.MakeCheck();
  auto records = owner.Decoded();  // each one passed udc_validate on arrival
  ASSERT_EQ(records.size(), 2u);
  for (const UdcView& r : records) {
    EXPECT_EQ(r.ui32, (std::vector<uint32_t>{430, 1, 2, 0}));
    ASSERT_GE(r.subs.size(), 1u);
  }
  const uint32_t self = GetCurrentProcessId();
  for (const UdcView& r : {records[0], records[1]}) {
    auto me = std::find_if(r.subs.begin(), r.subs.end(),
                           [&](const UdcView& s) { return s.ui32.at(1) == self; });
    ASSERT_NE(me, r.subs.end());
    EXPECT_GT(me->d64.at(1), 0.0);  // working set
  }
  auto first = std::find_if(records[0].subs.begin(), records[0].subs.end(),
                            [&](const UdcView& s) { return s.ui32.at(1) == self; });
  auto second = std::find_if(records[1].subs.begin(), records[1].subs.end(),
                             [&](const UdcView& s) { return s.ui32.at(1) == self; });
  EXPECT_EQ(first->d64.at(0), 0.0);  // the baseline
  EXPECT_GT(second->d64.at(0), 0.0);
  EXPECT_LE(second->d64.at(0), 100.0);

  CMonResult2 list;
  ASSERT_TRUE(mon.get_proc_list(list));
  owner.AddToCache(&list);
  UdcView r = owner.Decoded().back();
  EXPECT_EQ(r.ui32.at(0), 42u);
  EXPECT_NE(r.str.at(0).find(name + "\t"), std::string::npos) << r.str.at(0);
  mon.Stop();
}

}  // namespace
