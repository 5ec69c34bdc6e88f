// The disk monitor against recorded drive answers.
#include "agent/Plugins/disk_mon.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/unit/fakes/fake_probes.h"
#include "tests/unit/fakes/recording_owner.h"

namespace {

constexpr uint64_t kGB = 1ull << 30;

// The real monitor, whose check thread never ticks during a test: the tests
// run the passes themselves.
class DiskMon : public CDiskMon<RecordingOwner> {
 public:
  explicit DiskMon(IDiskProbe& probe) : CDiskMon(probe) { m_firstTick = std::chrono::hours(1); }
};

class DiskMonTest : public ::testing::Test {
 protected:
  DiskMonTest() { mon.SetOwner(&owner); }

  // One pass over a single test; the record it posted.
  UdcView CheckOnce(const std::string& line) {
    owner.Clear();
    EXPECT_TRUE(mon.ProcessTest(line.c_str()));
    owner.Clear();
    mon.MakeCheck();
    auto records = owner.Decoded();
    EXPECT_EQ(records.size(), 1u);
    return records.empty() ? UdcView() : records[0];
  }

  FakeDiskProbe probe;
  RecordingOwner owner;
  DiskMon mon{probe};
};

FakeDiskProbe::Drive WithBytes(uint64_t total, uint64_t free, uint32_t type = kDriveFixed) {
  FakeDiskProbe::Drive d;
  d.type = type;
  d.bytes = {total, free};
  return d;
}

TEST_F(DiskMonTest, TestsOfTheSameDriveShareOnePassesReading) {
  probe.Set("C:\\", WithBytes(100 * kGB, 50 * kGB));
  probe.Set("D:\\", WithBytes(100 * kGB, 10 * kGB));
  for (const char* line : {"DKA\t1\t7\tC\t10", "DKA\t2\t7\tC\t60", "DKA\t3\t7\tD\t10"})
    ASSERT_TRUE(mon.ProcessTest(line));
  const int before = probe.FreeBytesCalls();
  owner.Clear();
  mon.MakeCheck();
  auto records = owner.Decoded();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(probe.FreeBytesCalls() - before, 2) << "one reading per drive and pass";
  EXPECT_EQ(records[0].ui32.back(), 0u);
  EXPECT_EQ(records[1].ui32.back(), 2u) << "the second test of C keeps its own minimum";
  probe.Set("C:\\", WithBytes(100 * kGB, 5 * kGB));
  owner.Clear();
  mon.ResetSchedule();
  mon.MakeCheck();
  EXPECT_EQ(probe.FreeBytesCalls() - before, 4) << "the next pass reads again";
}

TEST_F(DiskMonTest, FreeSpaceAgainstTheMinimum) {
  struct Case {
    const char* name;
    FakeDiskProbe::Drive drive;
    const char* line;
    uint32_t status;
    const char* text;
    double free, total;
  } cases[] = {
      {"within", WithBytes(100 * kGB, 50 * kGB), "DKA\t1\t7\tC\t10", 0,
       "Drive: C free space is within acceptable limits.\n", 50, 100},
      {"below", WithBytes(100 * kGB, 9 * kGB + kGB / 2), "DKA\t1\t7\tC\t10", 2,
       "Drive: C free space: 9.50 / Min value: 10.00.\n", 9.5, 100},
      {"equal is enough", WithBytes(100 * kGB, 10 * kGB), "DKA\t1\t7\tC\t10", 0,
       "Drive: C free space is within acceptable limits.\n", 10, 100},
      {"no minimum on a full drive", WithBytes(100 * kGB, 0), "DKA\t1\t7\tC\t0", 0,
       "Drive: C free space is within acceptable limits.\n", 0, 100},
      {"a negative minimum is none", WithBytes(100 * kGB, 0), "DKA\t1\t7\tC\t-5", 0,
       "Drive: C free space is within acceptable limits.\n", 0, 100},
      {"a removable drive is checked too", WithBytes(2 * kGB, kGB, 2), "DKA\t1\t7\tC\t1.5", 2,
       "Drive: C free space: 1.00 / Min value: 1.50.\n", 1, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    probe.Set("C:\\", c.drive);
    UdcView r = CheckOnce(c.line);
    // The prefix (type, testID, lid), then status; free, total; text.
    EXPECT_EQ(r.ui32, (std::vector<uint32_t>{46, 1, 7, c.status}));
    EXPECT_EQ(r.d64, (std::vector<double>{c.free, c.total}));
    EXPECT_EQ(r.str, std::vector<std::string>{c.text});
    EXPECT_TRUE(r.subs.empty());
  }
}

TEST_F(DiskMonTest, FallsBackToClusterCountsAndReportsAMissingDrive) {
  // 4 KiB clusters: the sizes exceed 32 bits long before the cluster counts do.
  FakeDiskProbe::Drive failing;
  failing.bytesStatus = ProbeStatus::Failed;
  failing.bytesError = 0x15;
  failing.clusters = {8, 512, 0x08000000, 0x10000000};
  probe.Set("D:\\", failing);
  UdcView r = CheckOnce("DKA\t2\t3\tD\t100");
  EXPECT_EQ(r.d64, (std::vector<double>{512, 1024}));
  EXPECT_EQ(r.ui32.back(), 0u);
  EXPECT_TRUE(owner.Logged("mon_disk: GetDiskFreeSpaceEx failed. error:00000015"));
  EXPECT_TRUE(owner.Logged("mon_disk: testID: 2, lid: 3, drive: 'D', total: 1024.00, free: 512.00"));

  // Without the extended call the older one is used silently.
  FakeDiskProbe::Drive old = failing;
  old.bytesStatus = ProbeStatus::Unavailable;
  probe.Set("D:\\", old);
  r = CheckOnce("DKM\t2\t3\tD\t600");
  EXPECT_EQ(r.d64, (std::vector<double>{512, 1024}));
  EXPECT_EQ(r.str[0], "Drive: D free space: 512.00 / Min value: 600.00.\n");
  for (const std::string& line : owner.Lines()) EXPECT_EQ(line.find("failed"), std::string::npos) << line;

  // A letter without a drive, and a drive whose size cannot be read at all.
  FakeDiskProbe::Drive unreadable = failing;
  unreadable.clustersOk = false;
  unreadable.clustersError = 0x1F;
  probe.Set("E:\\", unreadable);
  for (const char* letter : {"Q", "E"}) {
    SCOPED_TRACE(letter);
    r = CheckOnce(std::string("DKA\t4\t5\t") + letter + "\t1");
    EXPECT_EQ(r.ui32, (std::vector<uint32_t>{46, 4, 5, 3}));
    EXPECT_EQ(r.d64, (std::vector<double>{0, 0}));
    EXPECT_EQ(r.str, std::vector<std::string>{std::string("Drive: ") + letter + " not found.\n"});
  }
  EXPECT_TRUE(owner.Logged("mon_disk: GetDiskFreeSpace failed. error:0000001F"));
}

TEST_F(DiskMonTest, TestLines) {
  struct Case {
    const char* line;
    bool accepted;
    const char* logged;  // the line after "processing test"
  } cases[] = {
      {"DKA\t5\t7\tC\t10.5", true, "mon_disk: addmodify test... disk:'C', testID:5, lid:7, min_free:10.50"},
      {"DKM\t5\t8\tCDE\t2\t", true, "mon_disk: addmodify test... disk:'C', testID:5, lid:8, min_free:2.00"},
      {"DKA\t6\t7\tC", false, "mon_disk: Incorrect test format!"},
      {"DKA\t6\t7\tC\t1\t2", false, "mon_disk: Incorrect test format!"},
      {"DKA\t6\t7\t\t1", false, "mon_disk: Incorrect test format!"},
      {"DKD\t5", true, "mon_disk: removing test... testID:5"},
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

TEST_F(DiskMonTest, DriveListIsSentWhenItChanges) {
  probe.Set("D:\\", WithBytes(kGB, kGB));
  probe.Set("A:\\", WithBytes(kGB, kGB, 2));  // removable: not listed
  probe.Set("C:\\", WithBytes(kGB, kGB));
  probe.Set("Z:\\", WithBytes(kGB, kGB, 4));  // network: not listed
  auto list = [this]() -> std::string {
    CMonResult2 record;
    if (!mon.get_disks_list(record)) return "unchanged";
    UdcView r = udc_view_detail::Read(static_cast<const unsigned char*>(record.get_pointer()));
    EXPECT_EQ(r.ui32, (std::vector<uint32_t>{45, 0, 0}));
    EXPECT_EQ(r.str.size(), 1u);
    return r.str.at(0);
  };
  EXPECT_EQ(list(), "C\tD\t");
  EXPECT_EQ(list(), "unchanged");
  EXPECT_TRUE(owner.Logged("mon_disk: Drive list is not changed."));

  mon.ResetDisksList();
  EXPECT_EQ(list(), "C\tD\t");
  mon.Stop();  // a restarted monitor reports its list again
  EXPECT_EQ(list(), "C\tD\t");

  probe.FailListing(21);  // a failed listing leaves the remembered list alone
  EXPECT_EQ(list(), "unchanged");
  probe.FailListing(0);
  EXPECT_EQ(list(), "unchanged");

  probe.Remove("D:\\");
  EXPECT_EQ(list(), "C\t");
}

}  // namespace
