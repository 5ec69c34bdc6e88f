#include "platform/config_values.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/utf16.h"

namespace {

using platform::decode_dword;
using platform::decode_string;

std::vector<uint8_t> bytes(const std::string& raw) { return std::vector<uint8_t>(raw.begin(), raw.end()); }

TEST(ConfigValues, StringDecodingFollowsTheStoredTypeLengthAndTerminator) {
  struct Case {
    const char* what;
    uint32_t type;
    std::string raw;
    std::optional<std::string> expected;
  };
  const std::string z("\0\0", 2);
  const Case cases[] = {
      {"plain", platform::kTypeString, std::string("a\0b\0", 4) + z, "ab"},
      {"expandable, unexpanded", platform::kTypeExpandString, std::string("%\0T\0%\0", 6) + z, "%T%"},
      {"empty", platform::kTypeString, z, ""},
      {"text ends at the first zero", platform::kTypeString,
       std::string("a\0", 2) + z + std::string("b\0", 2) + z, "a"},
      {"non-ASCII", platform::kTypeString, std::string("\xE9\0\x3D\xD8\x00\xDE", 6) + z,
       "\xC3\xA9\xF0\x9F\x98\x80"},
      {"unpaired surrogate", platform::kTypeString, std::string("\x00\xD8", 2) + z, "\xEF\xBF\xBD"},
      {"no terminating zero", platform::kTypeString, std::string("a\0b\0", 4), std::nullopt},
      {"odd length", platform::kTypeString, std::string("a\0\0", 3), std::nullopt},
      {"odd length after a whole terminator", platform::kTypeString, std::string("a\0\0\0\0", 5),
       std::nullopt},
      {"no data", platform::kTypeString, "", std::nullopt},
      {"a DWORD", platform::kTypeDword, std::string("\1\0\0\0", 4), std::nullopt},
      {"a multi-string", platform::kTypeMultiString, std::string("a\0", 2) + z + z, std::nullopt},
      {"binary", platform::kTypeBinary, std::string("a\0", 2) + z, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(decode_string(c.type, bytes(c.raw)), c.expected) << c.what;
  }
}

TEST(ConfigValues, DwordDecodingWantsExactlyFourBytesOfTypeDword) {
  EXPECT_EQ(decode_dword(platform::kTypeDword, bytes(std::string("\x78\x56\x34\x12", 4))), 0x12345678u);
  EXPECT_EQ(decode_dword(platform::kTypeDword, bytes(std::string("\xFF\xFF\xFF\xFF", 4))), 0xFFFFFFFFu);
  EXPECT_EQ(decode_dword(platform::kTypeDword, bytes(std::string("\x0A\0", 2))), std::nullopt);
  EXPECT_EQ(decode_dword(platform::kTypeDword, bytes(std::string("\x0A\0\0\0\0\0\0\0", 8))), std::nullopt);
  EXPECT_EQ(decode_dword(platform::kTypeQword, bytes(std::string("\x0A\0\0\0\0\0\0\0", 8))), std::nullopt);
  EXPECT_EQ(decode_dword(platform::kTypeString, bytes(std::string("1\0\0\0", 4))), std::nullopt);
}

TEST(ConfigValues, EncodedStringsRoundTripAndInvalidUtf8IsRefused) {
  for (const std::string text : {"", "proxy:8080", "Z\xC3\xBCrich \xE2\x82\xAC \xF0\x9F\x98\x80"}) {
    auto data = platform::encode_string(text);
    ASSERT_TRUE(data) << text;
    EXPECT_EQ(data->size() % 2, 0u);
    EXPECT_EQ(decode_string(platform::kTypeString, *data), text);
  }
  // Truncated, overlong, an encoded surrogate, above U+10FFFF, a stray continuation byte.
  for (const std::string bad : {"\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "a\x80"}) {
    EXPECT_FALSE(platform::encode_string(bad)) << testing::PrintToString(bad);
  }
}

}  // namespace
