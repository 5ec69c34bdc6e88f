// The miniunz tool, run as a program: stored and deflated entries, names
// that climb out of the folder, bombs and damaged archives. The tool's path
// comes from the MINIUNZ environment variable (set by ctest).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/unit/fakes/zip_builder.h"

namespace fs = std::filesystem;

namespace {

std::string Tool() {
  const char* env = getenv("MINIUNZ");
  std::string path = env ? env : "";
#ifdef _WIN32
  if (!path.empty() && path[0] == '/') {  // the build's Unix path, seen from Wine
    for (char& c : path)
      if (c == '/') c = '\\';
    path = "Z:" + path;
  }
#endif
  return path;
}

struct Scratch {
  Scratch() {
    static int n = 0;
    root = fs::temp_directory_path() / ("miniunz_test_" + std::to_string(++n));
    fs::remove_all(root);
    fs::create_directories(root / "out");
  }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  int Unzip(const std::string& archive) {
    const fs::path zip = root / "a.zip";
    std::ofstream(zip, std::ios::binary) << archive;
    const std::string line =
        "\"\"" + Tool() + "\" -xo \"" + zip.string() + "\" -d \"" + (root / "out").string() + "\"\"";
#ifdef _WIN32
    return std::system(line.c_str());
#else
    return std::system(line.substr(1, line.size() - 2).c_str());
#endif
  }
  std::string Read(const std::string& name) {
    std::ifstream in(root / "out" / name, std::ios::binary);
    if (!in) return "<none>";
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  bool OutEmpty() { return fs::is_empty(root / "out"); }
  fs::path root;
};

TEST(Miniunz, ExtractsStoredAndDeflatedOverwriting) {
  ASSERT_FALSE(Tool().empty());
  Scratch s;
  fs::create_directories(s.root / "out" / "sub");
  std::ofstream(s.root / "out" / "run.bat") << "old content that is longer";
  const std::string big(100000, 'z');
  EXPECT_EQ(s.Unzip(MakeZip({{"run.bat", "@echo a=1"},
                             {"sub/", ""},
                             {"sub/deep/x.txt", big, true},
                             {"sub\\y.txt", "why", true},
                             {"empty.txt", "", true}})),
            0);
  EXPECT_EQ(s.Read("run.bat"), "@echo a=1");
  EXPECT_TRUE(s.Read("sub/deep/x.txt") == big);
  EXPECT_EQ(s.Read("sub/y.txt"), "why");
  EXPECT_EQ(s.Read("empty.txt"), "");
}

TEST(Miniunz, RefusesNamesThatClimbOutAndWritesNothing) {
  for (const char* name :
       {"../x.txt", "..\\x.txt", "/x.txt", "\\x.txt", "C:x.txt", "a/../../x.txt", "a/.."}) {
    Scratch s;
    EXPECT_NE(s.Unzip(MakeZip({{"good.txt", "first"}, {name, "evil"}})), 0) << name;
    EXPECT_TRUE(s.OutEmpty()) << name;
    EXPECT_FALSE(fs::exists(s.root / "x.txt")) << name;
  }
}

TEST(Miniunz, DamagedAndOversizedArchivesFail) {
  const std::string good = MakeZip({{"a.txt", "hello hello hello", true}, {"b.txt", "second"}});
  ZipItem bomb{"bomb.bin", std::string(10 << 20, '\0'), true};
  bomb.declaredSize = 1000;  // inflates far past its declared size
  ZipItem huge{"h", "x"};
  huge.declaredSize = 0x7fffffff;
  ZipItem badCrc{"c.txt", "checked", true};
  badCrc.badCrc = true;
  const struct {
    const char* name;
    std::string archive;
  } cases[] = {
      {"bomb", MakeZip({bomb})},
      {"past 1 GiB", MakeZip({huge, huge, huge})},
      {"bad CRC", MakeZip({{"ok.txt", "fine"}, badCrc})},
      {"truncated", good.substr(0, good.size() / 2)},
      {"truncated data", good.substr(0, 40) + good.substr(good.size() - 120)},
      {"no signature", std::string(200, 'A')},
      {"empty file", ""},
  };
  for (const auto& c : cases) {
    Scratch s;
    EXPECT_NE(s.Unzip(c.archive), 0) << c.name;
    EXPECT_TRUE(s.OutEmpty()) << c.name;
  }
}

}  // namespace
