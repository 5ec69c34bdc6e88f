// CDiskMon: the free space of local drives, one drive letter per test, and the
// list of the machine's fixed drives that the owner reports whenever it changes.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <map>
#include <utility>
#include <string>
#include <vector>

#include "agent/LogFormat.h"
#include "agent/Plugins/InventoryList.h"
#include "agent/Plugins/MonTestTable.h"
#include "corelib/ExceptionRecord.h"
#include "platform/disk_probe.h"

struct CDiskTest : CMonTest {
  char drive = 0;
  double min_free = 0;  // GB; 0 or less: no minimum
};

// The measurement itself, free of the monitor's state: raw answers to sizes,
// sizes to a verdict.
namespace disk_check {

struct DriveSize {
  double total = 0;  // GB of 2^30 bytes
  double free = 0;
};

inline double Gigabytes(uint64_t bytes) { return static_cast<double>(bytes) * (1.0 / 1073741824.0); }

inline DriveSize FromBytes(const DiskBytes& b) { return {Gigabytes(b.total), Gigabytes(b.free)}; }

inline DriveSize FromClusters(const DiskClusters& c) {
  const uint64_t cluster = uint64_t{c.sectorsPerCluster} * c.bytesPerSector;
  return {Gigabytes(cluster * c.totalClusters), Gigabytes(cluster * c.freeClusters)};
}

struct Verdict {
  uint32_t status;  // 0 within limits, 2 below the minimum
  std::string text;
};

// Free space equal to the minimum is still enough.
inline Verdict Judge(char drive, const DriveSize& size, double minFree) {
  if (minFree > 0 && size.free < minFree)
    return {2, Format("Drive: %c free space: %.2f / Min value: %.2f.\n", drive, size.free, minFree)};
  return {0, Format("Drive: %c free space is within acceptable limits.\n", drive)};
}

}  // namespace disk_check

template <class Owner>
class CDiskMon : public CMonTestTable<Owner, CDiskTest> {
  using Base = CMonTestTable<Owner, CDiskTest>;

 public:
  static constexpr uint32_t kResultType = 46;
  static constexpr uint32_t kListType = 45;

  explicit CDiskMon(IDiskProbe& probe) : Base("mon_disk: ", "DK"), m_probe(probe) {
    this->m_unitName = "Plugins/disk_mon";
  }
  ~CDiskMon() override { this->Shutdown(); }

  // A restarted monitor sends its drive list again.
  void FinishStop(typename Base::Clock::time_point deadline) override {
    Base::FinishStop(deadline);
    m_drives.Clear();
  }

  // Fills `record` with the fixed drives' letters when they changed since the
  // last report; false when they did not or cannot be listed.
  bool get_disks_list(CMonResult2& record) {
    try {
      std::vector<std::string> roots;
      uint32_t error = 0;
      if (!m_probe.LogicalDrives(roots, error)) return false;
      std::vector<std::string> letters;
      for (const std::string& root : roots) {
        if (!root.empty() && m_probe.DriveType(root) == kDriveFixed) letters.push_back(root.substr(0, 1));
      }
      if (m_drives.Report(std::move(letters), kListType, record)) return true;
      this->Log("Drive list is not changed.");
    } catch (...) {
      LOG_EXCEPTION_RECORD(this->m_unitName);
    }
    return false;
  }

  // The next get_disks_list sends the list in full.
  void ResetDisksList() { m_drives.Clear(); }

 protected:
  bool ParseTest(const std::vector<std::string>& fields, CDiskTest& test) override {
    // A test without a letter could never name a drive.
    if (fields.size() != 5 || fields[3].empty()) return false;
    test.drive = fields[3][0];
    test.min_free = strtod(fields[4].c_str(), nullptr);
    return true;
  }

  std::string DescribeTest(const CDiskTest& t) override {
    return Format("addmodify test... disk:'%c', testID:%d, lid:%d, min_free:%.2f", t.drive, t.testID, t.lid,
                  t.min_free);
  }

  bool CheckTest(CDiskTest& t) override {
    this->Log(Format("checking testID: %d, lid: %d, drive: '%c', min_free: %.2f", t.testID, t.lid, t.drive,
                     t.min_free));
    CMonResult2 result;
    result.create(0, 4, 1, 0, 2, 1);  // the prefix, status; free, total; text
    result.init(kResultType, static_cast<uint32_t>(t.testID), static_cast<uint32_t>(t.lid));
    disk_check::DriveSize size;
    if (ReadSizeOncePerPass(t.drive, size)) {
      this->Log(Format("testID: %d, lid: %d, drive: '%c', total: %.2f, free: %.2f", t.testID, t.lid, t.drive,
                       size.total, size.free));
      disk_check::Verdict verdict = disk_check::Judge(t.drive, size, t.min_free);
      result.add(size.free);
      result.add(size.total);
      result.add(verdict.text.c_str());
      result.add(verdict.status);
    } else {
      // The sizes stay 0.
      result.add(Format("Drive: %c not found.\n", t.drive).c_str());
      result.add(uint32_t{3});
    }
    this->PostResult(&result);
    return true;
  }

  bool BeginPass() override {
    m_passSizes.clear();
    return true;
  }
  void EndPass() override { m_passSizes.clear(); }

 private:
  // Tests of the same drive in one pass share one reading (one set of system
  // calls for the drive, not one per test).
  bool ReadSizeOncePerPass(char drive, disk_check::DriveSize& size) {
    auto known = m_passSizes.find(drive);
    if (known == m_passSizes.end()) {
      disk_check::DriveSize read;
      const bool ok = ReadSize(drive, read);
      known = m_passSizes.emplace(drive, std::make_pair(ok, read)).first;
    }
    size = known->second.second;
    return known->second.first;
  }

  // The extended call where the system has it; the cluster counts when it
  // is missing or fails.
  bool ReadSize(char drive, disk_check::DriveSize& size) {
    const std::string root = Format("%c:\\", drive);
    uint32_t error = 0;
    DiskBytes bytes;
    switch (m_probe.FreeBytes(root, bytes, error)) {
      case ProbeStatus::Ok: size = disk_check::FromBytes(bytes); return true;
      case ProbeStatus::Failed: this->Log(Format("GetDiskFreeSpaceEx failed. error:%08X", error)); break;
      case ProbeStatus::Unavailable: break;
    }
    DiskClusters clusters;
    if (!m_probe.FreeClusters(root, clusters, error)) {
      this->Log(Format("GetDiskFreeSpace failed. error:%08X", error));
      return false;
    }
    size = disk_check::FromClusters(clusters);
    return true;
  }

  IDiskProbe& m_probe;
  CInventoryList m_drives;
  std::map<char, std::pair<bool, disk_check::DriveSize>> m_passSizes;  // under the table lock
};
