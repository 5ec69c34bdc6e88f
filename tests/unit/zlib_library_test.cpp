// zlibwapi.dll as the agent finds it: beside the program (the build copies
// it next to this test), missing, or a different library under its name.
#include "platform/win32/zlib_library.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<uint8_t> Records() {
  std::vector<uint8_t> data;
  for (int i = 0; i < 5000; ++i) data.push_back(static_cast<uint8_t>(i % 251 < 40 ? i : 'r'));
  return data;
}

uint32_t BigEndian(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

TEST(ZlibLibrary, LoadsFromTheProgramFolderAndCompresses) {
  ZlibLibrary zlib;
  ASSERT_TRUE(zlib.Available()) << "no zlibwapi.dll in " << ZlibLibrary::ExecutableFolder();

  const std::vector<uint8_t> src = Records();
  std::vector<uint8_t> packed(src.size() * 11 / 10 + 13);
  size_t packedLen = packed.size();
  ASSERT_TRUE(zlib.Compress(packed.data(), &packedLen, src.data(), src.size(), -1));
  ASSERT_GT(packedLen, 6u);
  EXPECT_LT(packedLen, src.size() / 4);
  EXPECT_EQ(packed[0], 0x78) << "zlib stream header";
  // A zlib stream ends with the Adler-32 of what went in: the library's
  // checksum and its compressor agree on the data.
  const uint32_t seed = zlib.Adler32(0, nullptr, 0);
  EXPECT_EQ(seed, 1u);
  EXPECT_EQ(BigEndian(&packed[packedLen - 4]), zlib.Adler32(seed, src.data(), src.size()));

  size_t tooSmall = 4;
  EXPECT_FALSE(zlib.Compress(packed.data(), &tooSmall, src.data(), src.size(), -1));
}

TEST(ZlibLibrary, AFolderWithoutTheLibraryLeavesCompressionOff) {
  // Trailing backslash or not, the same folder.
  for (const char* folder : {"C:\\windows\\", "C:\\windows", "Z:\\no\\such\\folder"}) {
    ZlibLibrary zlib(folder);
    EXPECT_FALSE(zlib.Available()) << folder;
    size_t len = 16;
    uint8_t out[16];
    EXPECT_FALSE(zlib.Compress(out, &len, out, 1, -1)) << folder;
  }
}

TEST(ZlibLibrary, ALibraryWithoutTheEntryPointsIsRefused) {
  // The build puts another DLL of ours there under zlib's name.
  ZlibLibrary zlib(ZlibLibrary::ExecutableFolder() + "not-zlib");
  EXPECT_FALSE(zlib.Available());
}

TEST(ZlibLibrary, DllSearchPathCanBeRestricted) {
  EXPECT_TRUE(RestrictDllSearchPath());
  // System libraries still load by name afterwards.
  HMODULE module = LoadLibraryW(L"version.dll");
  EXPECT_NE(module, nullptr);
  if (module != nullptr) FreeLibrary(module);
}

}  // namespace
