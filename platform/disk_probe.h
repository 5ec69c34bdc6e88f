// What the disk monitor asks of the operating system: the free space of one
// drive root and the machine's logical drives. Raw answers only; the monitor
// turns them into sizes and texts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Byte counts of a volume as the extended call gives them.
struct DiskBytes {
  uint64_t total = 0;
  uint64_t free = 0;  // all free bytes, not the caller's quota
};

// The older call's answer, for systems (or volumes) where the extended one fails.
struct DiskClusters {
  uint32_t sectorsPerCluster = 0;
  uint32_t bytesPerSector = 0;
  uint32_t freeClusters = 0;
  uint32_t totalClusters = 0;
};

enum class ProbeStatus { Ok, Failed, Unavailable };

// The drive type of a fixed (local hard) drive, as the system numbers it.
constexpr uint32_t kDriveFixed = 3;

class IDiskProbe {
 public:
  virtual ~IDiskProbe() = default;
  // `root` is "C:\". Unavailable when the system lacks the extended call;
  // `error` is the system error code on Failed.
  virtual ProbeStatus FreeBytes(const std::string& root, DiskBytes& out, uint32_t& error) = 0;
  virtual bool FreeClusters(const std::string& root, DiskClusters& out, uint32_t& error) = 0;
  // The roots of all logical drives ("C:\", "D:\", ...); false (with the
  // system error) when they cannot be listed.
  virtual bool LogicalDrives(std::vector<std::string>& roots, uint32_t& error) = 0;
  virtual uint32_t DriveType(const std::string& root) = 0;
};
