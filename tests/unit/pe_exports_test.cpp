#include <gtest/gtest.h>

#include "tests/unit/fakes/pe_image_builder.h"
#include "updater/PeExports.h"

using updater::find_pe_export;
using updater::PeExport;
namespace fx = pe_fixture;

namespace {

PeExport Lookup(const std::string& image) {
  return find_pe_export(reinterpret_cast<const uint8_t*>(image.data()), image.size(), "DllRegisterServer");
}

TEST(PeExports, WellFormedImages) {
  struct Case {
    const char* what;
    fx::Spec spec;
    PeExport expected;
  } cases[] = {
      {"a COM server", {{"DllCanUnloadNow", "DllRegisterServer"}}, PeExport::Found},
      {"only that export", {{"DllRegisterServer"}}, PeExport::Found},
      {"other exports", {{"DllRegisterServerEx", "DllRegister"}}, PeExport::Absent},
      {"exports by ordinal only", {{}}, PeExport::Absent},
      {"no export directory", {{"DllRegisterServer"}, false}, PeExport::Absent},
      {"a 32-bit image", {{"DllRegisterServer"}, true, 0x14c, 0x10b}, PeExport::Unusable},
      {"PE32 optional header on x64", {{"DllRegisterServer"}, true, 0x8664, 0x10b}, PeExport::Unusable},
  };
  for (const Case& c : cases) EXPECT_EQ(Lookup(fx::Build(c.spec)), c.expected) << c.what;
}

TEST(PeExports, NotAnImage) {
  EXPECT_EQ(find_pe_export(nullptr, 0, "DllRegisterServer"), PeExport::Unusable);
  EXPECT_EQ(Lookup(""), PeExport::Unusable);
  EXPECT_EQ(Lookup("MZ"), PeExport::Unusable);
  EXPECT_EQ(Lookup(std::string(4096, 'A')), PeExport::Unusable);
}

// The name is the last thing in the file: every shorter file cuts into what
// the lookup needs, and none may be read past its end (ASan watches).
TEST(PeExports, TruncatedAtEveryLength) {
  const std::string image = fx::ComServer();
  ASSERT_EQ(Lookup(image), PeExport::Found);
  for (size_t size = 0; size < image.size(); ++size) {
    const std::string cut = image.substr(0, size);
    std::vector<uint8_t> exact(cut.begin(), cut.end());  // exactly `size` bytes on the heap
    EXPECT_EQ(find_pe_export(exact.data(), exact.size(), "DllRegisterServer"), PeExport::Unusable) << size;
  }
}

TEST(PeExports, OffsetsOutOfBounds) {
  const size_t dir = fx::kExportDirectory;
  struct Case {
    const char* what;
    size_t at;
    uint32_t value;
  } cases[] = {
      {"PE header offset past the end", 0x3C, 0xFFFFFFF0},
      {"section count past the table", fx::kPeOffset + 6, 0xFFFF},
      {"section data past the end", fx::kSectionTable + 20, 0x7FFFFFFF},
      {"export directory outside every section", fx::kOptionalHeader + 112, 0x9000},
      {"name table wraps around", dir + 32, 0xFFFFFFFC},
      {"name count beyond the file", dir + 24, 0x7FFFFFFF},
      {"ordinal table outside", dir + 36, 0x100},
      {"address table outside", dir + 28, 0xFFFFFFF0},
      {"function count too small for the ordinal", dir + 20, 2},
  };
  for (const Case& c : cases) {
    std::string image = fx::ComServer();
    if (c.at == fx::kPeOffset + 6)
      fx::put16(image, c.at, static_cast<uint16_t>(c.value));
    else
      fx::put32(image, c.at, c.value);
    EXPECT_EQ(Lookup(image), PeExport::Unusable) << c.what;
  }
}

TEST(PeExports, NameWithoutTerminatorOrPointingOutside) {
  std::string image = fx::Build(fx::Spec{{"DllRegisterServer"}});
  image.back() = 'X';  // the string runs to the end of the file
  EXPECT_EQ(Lookup(image), PeExport::Unusable);

  image = fx::Build(fx::Spec{{"DllRegisterServer"}});
  const size_t namePointer = fx::kSectionData + 40 + 4;  // after the one address
  fx::put32(image, namePointer, 0x50000);
  EXPECT_EQ(Lookup(image), PeExport::Unusable);
}

TEST(PeExports, NameLeadingToAnEmptyAddressIsNoExport) {
  std::string image = fx::Build(fx::Spec{{"DllRegisterServer"}});
  fx::put32(image, fx::kSectionData + 40, 0);
  EXPECT_EQ(Lookup(image), PeExport::Absent);
}

}  // namespace
