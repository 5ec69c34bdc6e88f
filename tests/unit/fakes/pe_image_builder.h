// Small PE32+ images for the export reader's tests and fuzz seeds: headers,
// one section holding the export directory, its tables and names.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace pe_fixture {

constexpr size_t kPeOffset = 0x40;
constexpr size_t kOptionalHeader = kPeOffset + 24;
constexpr size_t kSectionTable = kOptionalHeader + 240;
constexpr size_t kSectionData = 0x200;  // file offset of the section
constexpr uint32_t kSectionRva = 0x1000;
constexpr size_t kExportDirectory = kSectionData;  // file offset of the export directory

inline void put16(std::string& s, size_t at, uint16_t v) {
  s[at] = static_cast<char>(v & 0xFF);
  s[at + 1] = static_cast<char>(v >> 8);
}
inline void put32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

struct Spec {
  std::vector<std::string> names;  // empty: exports by ordinal only
  bool exports = true;             // false: no export directory at all
  uint16_t machine = 0x8664;
  uint16_t magic = 0x20b;
};

inline std::string Build(const Spec& spec) {
  const uint32_t functions = spec.names.empty() ? 1 : static_cast<uint32_t>(spec.names.size());
  const uint32_t names = static_cast<uint32_t>(spec.names.size());
  // Section contents: directory, address table, name pointers, ordinals, strings.
  const uint32_t addressTable = 40, namePointers = addressTable + functions * 4,
                 ordinals = namePointers + names * 4, strings = ordinals + names * 2;
  std::string section(strings, '\0');
  for (const std::string& n : spec.names) section += n + '\0';
  put32(section, 12, kSectionRva + strings);  // the DLL's own name: reuse the first string
  put32(section, 16, 1);                      // ordinal base
  put32(section, 20, functions);
  put32(section, 24, names);
  put32(section, 28, kSectionRva + addressTable);
  put32(section, 32, kSectionRva + namePointers);
  put32(section, 36, kSectionRva + ordinals);
  uint32_t at = strings;
  for (uint32_t i = 0; i < functions; ++i) put32(section, addressTable + i * 4, 0x2000 + i * 16);
  for (uint32_t i = 0; i < names; ++i) {
    put32(section, namePointers + i * 4, kSectionRva + at);
    put16(section, ordinals + i * 2, static_cast<uint16_t>(i));
    at += static_cast<uint32_t>(spec.names[i].size() + 1);
  }

  std::string image(kSectionData, '\0');
  image[0] = 'M';
  image[1] = 'Z';
  put32(image, 0x3C, kPeOffset);
  std::memcpy(&image[kPeOffset], "PE\0\0", 4);
  put16(image, kPeOffset + 4, spec.machine);
  put16(image, kPeOffset + 6, 1);        // sections
  put16(image, kPeOffset + 20, 240);     // optional header size
  put16(image, kPeOffset + 22, 0x2022);  // DLL, executable, large addresses
  put16(image, kOptionalHeader, spec.magic);
  put32(image, kOptionalHeader + 108, 16);  // data directories
  if (spec.exports) {
    put32(image, kOptionalHeader + 112, kSectionRva);
    put32(image, kOptionalHeader + 116, static_cast<uint32_t>(section.size()));
  }
  std::memcpy(&image[kSectionTable], ".edata", 6);
  put32(image, kSectionTable + 8, static_cast<uint32_t>(section.size()));
  put32(image, kSectionTable + 12, kSectionRva);
  put32(image, kSectionTable + 16, static_cast<uint32_t>(section.size()));
  put32(image, kSectionTable + 20, kSectionData);
  return image + section;
}

// A DLL that registers itself.
inline std::string ComServer() {
  return Build(Spec{{"DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer"}});
}
inline std::string PlainDll() { return Build(Spec{{"helper_function"}}); }

}  // namespace pe_fixture
