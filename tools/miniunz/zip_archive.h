// A bounded reader of zip archives (stored and deflated entries): the
// central directory, each entry's data, and the safety rules for names. It
// reads from memory and never trusts an offset or size before checking it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zip_archive {

constexpr size_t kMaxEntries = 65535;
constexpr uint64_t kMaxUnpacked = 1ull << 30;  // 1 GiB in all
constexpr size_t kMaxArchiveBytes = 268435456;

struct Entry {
  std::string name;
  uint16_t method = 0;  // 0 stored, 8 deflated
  uint32_t crc = 0;
  uint32_t packedSize = 0, size = 0;
  uint32_t localOffset = 0;
  bool IsFolder() const { return !name.empty() && (name.back() == '/' || name.back() == '\\'); }
};

// Reads the central directory; false with `error` for a damaged archive or
// one past the bounds.
bool ReadDirectory(const std::string& data, std::vector<Entry>& entries, std::string& error);
// A name that stays inside the target folder: not empty, not absolute, no
// drive letter or ":", no ".." part (either separator), no control bytes.
bool SafeName(const std::string& name);
// The directory read and every name checked; `problem` names the first fault.
bool CheckNames(const std::string& data, std::string& problem);

}  // namespace zip_archive
