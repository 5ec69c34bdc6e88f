#include "platform/posix/zlib_direct.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

namespace {

std::vector<uint8_t> Sample(size_t size) {
  std::vector<uint8_t> data(size);
  uint32_t x = 12345;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    data[i] = static_cast<uint8_t>(i % 7 == 0 ? x >> 24 : 'a' + i % 13);  // compressible, not trivial
  }
  return data;
}

TEST(ZlibDirect, CompressedBodyInflatesBackToTheRecords) {
  ZlibDirect zlib;
  ASSERT_TRUE(zlib.Available());
  for (size_t size : {size_t{1}, size_t{1000}, size_t{300000}}) {
    const std::vector<uint8_t> src = Sample(size);
    // The agent's worst-case bound for compress2's output.
    std::vector<uint8_t> packed(size * 11 / 10 + 13);
    size_t packedLen = packed.size();
    ASSERT_TRUE(zlib.Compress(packed.data(), &packedLen, src.data(), src.size(), -1)) << size;
    ASSERT_LE(packedLen, packed.size());

    std::vector<uint8_t> back(size);
    uLongf backLen = back.size();
    ASSERT_EQ(uncompress(back.data(), &backLen, packed.data(), packedLen), Z_OK) << size;
    EXPECT_EQ(backLen, size);
    EXPECT_EQ(back, src) << size;
  }
}

TEST(ZlibDirect, CompressFailsWhenTheOutputDoesNotFit) {
  ZlibDirect zlib;
  const std::vector<uint8_t> src = Sample(4096);
  std::vector<uint8_t> packed(8);
  size_t packedLen = packed.size();
  EXPECT_FALSE(zlib.Compress(packed.data(), &packedLen, src.data(), src.size(), -1));
}

TEST(ZlibDirect, Adler32MatchesKnownValuesAndChains) {
  ZlibDirect zlib;
  const uint32_t seed = zlib.Adler32(0, nullptr, 0);
  EXPECT_EQ(seed, 1u);
  const std::string text = "Wikipedia";
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  EXPECT_EQ(zlib.Adler32(seed, bytes, text.size()), 0x11E60398u);
  // Two pieces give the checksum of the whole.
  const uint32_t first = zlib.Adler32(seed, bytes, 4);
  EXPECT_EQ(zlib.Adler32(first, bytes + 4, text.size() - 4), 0x11E60398u);
}

}  // namespace
