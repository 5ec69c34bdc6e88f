#include "updater/PeExports.h"

#include <cstring>

namespace updater {
namespace {

constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMagicPe32Plus = 0x20b;
constexpr size_t kCoffHeaderSize = 20;
constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kExportDirectorySize = 40;
// A name longer than this is not one we look for; it bounds the string scan.
constexpr size_t kMaxNameLength = 512;

class Image {
 public:
  Image(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

  bool U16(size_t at, uint16_t& out) const {
    if (at > m_size || m_size - at < 2) return false;
    out = static_cast<uint16_t>(m_data[at] | (m_data[at + 1] << 8));
    return true;
  }
  bool U32(size_t at, uint32_t& out) const {
    if (at > m_size || m_size - at < 4) return false;
    out = static_cast<uint32_t>(m_data[at]) | (static_cast<uint32_t>(m_data[at + 1]) << 8) |
          (static_cast<uint32_t>(m_data[at + 2]) << 16) | (static_cast<uint32_t>(m_data[at + 3]) << 24);
    return true;
  }
  bool Fits(size_t at, size_t length) const { return at <= m_size && m_size - at >= length; }

  // Reads the section table; false when it lies outside the file.
  bool ReadSections(size_t table, uint16_t count) {
    if (!Fits(table, size_t{count} * kSectionHeaderSize)) return false;
    m_sections = table;
    m_sectionCount = count;
    return true;
  }

  // The file offset of `length` bytes at `rva`, all inside one section's raw data.
  bool Offset(uint32_t rva, size_t length, size_t& out) const {
    for (uint16_t i = 0; i < m_sectionCount; ++i) {
      const size_t header = m_sections + size_t{i} * kSectionHeaderSize;
      uint32_t virtualSize = 0, address = 0, rawSize = 0, rawOffset = 0;
      U32(header + 8, virtualSize);
      U32(header + 12, address);
      U32(header + 16, rawSize);
      U32(header + 20, rawOffset);
      // Past the raw data the loader would give zeros; nothing we read lies there.
      const uint32_t span = virtualSize != 0 && virtualSize < rawSize ? virtualSize : rawSize;
      if (rva < address || rva - address >= span) continue;
      const uint32_t within = rva - address;
      if (span - within < length) return false;
      const size_t at = size_t{rawOffset} + within;
      if (!Fits(at, length)) return false;
      out = at;
      return true;
    }
    return false;
  }

  // The zero-terminated string at `rva` equals `name`; `bad` when the string
  // cannot be read.
  bool NameIs(uint32_t rva, const std::string& name, bool& bad) const {
    size_t at = 0;
    if (!Offset(rva, 1, at)) {
      bad = true;
      return false;
    }
    size_t length = 0;
    while (length <= kMaxNameLength && at + length < m_size && m_data[at + length] != 0) ++length;
    size_t check = 0;
    if (at + length >= m_size || !Offset(rva, length + 1, check)) {
      bad = true;
      return false;
    }
    return length == name.size() && std::memcmp(m_data + at, name.data(), length) == 0;
  }

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_sections = 0;
  uint16_t m_sectionCount = 0;
};

}  // namespace

PeExport find_pe_export(const uint8_t* data, size_t size, const std::string& name) {
  if (data == nullptr) return PeExport::Unusable;
  Image image(data, size);
  uint16_t mz = 0;
  uint32_t peOffset = 0, signature = 0;
  if (!image.U16(0, mz) || mz != 0x5A4D || !image.U32(0x3C, peOffset)) return PeExport::Unusable;
  if (!image.U32(peOffset, signature) || signature != 0x00004550) return PeExport::Unusable;
  const size_t coff = size_t{peOffset} + 4;
  uint16_t machine = 0, sectionCount = 0, optionalSize = 0, magic = 0;
  if (!image.U16(coff, machine) || !image.U16(coff + 2, sectionCount) || !image.U16(coff + 16, optionalSize))
    return PeExport::Unusable;
  const size_t optional = coff + kCoffHeaderSize;
  if (machine != kMachineAmd64 || !image.U16(optional, magic) || magic != kMagicPe32Plus)
    return PeExport::Unusable;
  // PE32+: NumberOfRvaAndSizes at 108, the export directory's entry at 112.
  uint32_t directoryCount = 0, exportRva = 0;
  if (optionalSize < 120 || !image.U32(optional + 108, directoryCount)) return PeExport::Unusable;
  if (!image.ReadSections(optional + optionalSize, sectionCount)) return PeExport::Unusable;
  if (directoryCount < 1) return PeExport::Absent;
  image.U32(optional + 112, exportRva);
  if (exportRva == 0) return PeExport::Absent;

  size_t directory = 0;
  if (!image.Offset(exportRva, kExportDirectorySize, directory)) return PeExport::Unusable;
  uint32_t functionCount = 0, nameCount = 0, functions = 0, names = 0, ordinals = 0;
  image.U32(directory + 20, functionCount);
  image.U32(directory + 24, nameCount);
  image.U32(directory + 28, functions);
  image.U32(directory + 32, names);
  image.U32(directory + 36, ordinals);
  if (nameCount == 0) return PeExport::Absent;  // exports by ordinal only
  size_t nameTable = 0, ordinalTable = 0;
  // The tables must lie in the file whole, which also bounds the loop by the file's size.
  if (!image.Offset(names, size_t{nameCount} * 4, nameTable) ||
      !image.Offset(ordinals, size_t{nameCount} * 2, ordinalTable))
    return PeExport::Unusable;
  for (uint32_t i = 0; i < nameCount; ++i) {
    uint32_t nameRva = 0;
    uint16_t ordinal = 0;
    image.U32(nameTable + size_t{i} * 4, nameRva);
    image.U16(ordinalTable + size_t{i} * 2, ordinal);
    bool bad = false;
    const bool match = image.NameIs(nameRva, name, bad);
    if (bad) return PeExport::Unusable;
    if (!match) continue;
    // The name must lead to an entry of the address table, as the loader's lookup needs.
    uint32_t address = 0;
    size_t entry = 0;
    const uint64_t entryRva = uint64_t{functions} + uint64_t{ordinal} * 4;
    if (ordinal >= functionCount || entryRva > UINT32_MAX ||
        !image.Offset(static_cast<uint32_t>(entryRva), 4, entry))
      return PeExport::Unusable;
    image.U32(entry, address);
    return address != 0 ? PeExport::Found : PeExport::Absent;
  }
  return PeExport::Absent;
}

}  // namespace updater
