#include "tools/miniunz/zip_archive.h"

namespace zip_archive {

namespace {

uint32_t U16(const std::string& d, size_t at) {
  return static_cast<uint32_t>(static_cast<unsigned char>(d[at])) |
         static_cast<uint32_t>(static_cast<unsigned char>(d[at + 1])) << 8;
}
uint32_t U32(const std::string& d, size_t at) { return U16(d, at) | U16(d, at + 2) << 16; }

}  // namespace

bool ReadDirectory(const std::string& data, std::vector<Entry>& entries, std::string& error) {
  entries.clear();
  if (data.size() < 22) {
    error = "not a zip archive (too short)";
    return false;
  }
  size_t eocd = std::string::npos;
  const size_t lowest = data.size() > 22 + 65535 ? data.size() - 22 - 65535 : 0;
  for (size_t at = data.size() - 22 + 1; at-- > lowest;)
    if (U32(data, at) == 0x06054b50u) {
      eocd = at;
      break;
    }
  if (eocd == std::string::npos) {
    error = "not a zip archive (no end of central directory)";
    return false;
  }
  const size_t count = U16(data, eocd + 10);
  const uint64_t cdSize = U32(data, eocd + 12), cdOffset = U32(data, eocd + 16);
  if (U16(data, eocd + 4) != 0 || U16(data, eocd + 6) != 0 || count != U16(data, eocd + 8)) {
    error = "multi-part archives are not supported";
    return false;
  }
  if (cdOffset + cdSize > eocd) {
    error = "damaged archive (central directory out of range)";
    return false;
  }
  if (count > kMaxEntries) {
    error = "too many entries";
    return false;
  }
  size_t at = static_cast<size_t>(cdOffset);
  const size_t end = static_cast<size_t>(cdOffset + cdSize);
  uint64_t total = 0;
  for (size_t i = 0; i < count; ++i) {
    if (at + 46 > end || U32(data, at) != 0x02014b50u) {
      error = "damaged archive (bad central directory entry)";
      return false;
    }
    Entry e;
    e.method = static_cast<uint16_t>(U16(data, at + 10));
    e.crc = U32(data, at + 16);
    e.packedSize = U32(data, at + 20);
    e.size = U32(data, at + 24);
    const size_t nameLen = U16(data, at + 28), extra = U16(data, at + 30), comment = U16(data, at + 32);
    e.localOffset = U32(data, at + 42);
    if (at + 46 + nameLen + extra + comment > end) {
      error = "damaged archive (truncated central directory)";
      return false;
    }
    e.name = data.substr(at + 46, nameLen);
    if (U16(data, at + 8) & 1) {
      error = "encrypted entry '" + e.name + "'";
      return false;
    }
    if (e.method != 0 && e.method != 8) {
      error = "unsupported method for '" + e.name + "'";
      return false;
    }
    if (e.packedSize == 0xFFFFFFFFu || e.size == 0xFFFFFFFFu || e.localOffset == 0xFFFFFFFFu) {
      error = "zip64 entry '" + e.name + "' not supported";
      return false;
    }
    total += e.size;
    if (total > kMaxUnpacked) {
      error = "archive unpacks past 1 GiB";
      return false;
    }
    entries.push_back(std::move(e));
    at += 46 + nameLen + extra + comment;
  }
  return true;
}

bool SafeName(const std::string& name) {
  if (name.empty() || name[0] == '/' || name[0] == '\\' || name.find(':') != std::string::npos) return false;
  size_t b = 0;
  while (b <= name.size()) {
    size_t e = name.find_first_of("/\\", b);
    if (e == std::string::npos) e = name.size();
    if (name.compare(b, e - b, "..") == 0) return false;
    b = e + 1;
  }
  for (char c : name)
    if (static_cast<unsigned char>(c) < 32) return false;
  return true;
}

bool CheckNames(const std::string& data, std::string& problem) {
  std::vector<Entry> entries;
  if (!ReadDirectory(data, entries, problem)) return false;
  for (const Entry& e : entries)
    if (!SafeName(e.name)) {
      problem = "unsafe entry name '" + e.name + "'";
      return false;
    }
  return true;
}

}  // namespace zip_archive
