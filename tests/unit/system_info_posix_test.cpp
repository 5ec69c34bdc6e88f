#include "platform/posix/system_info_posix.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <unistd.h>

namespace fs = std::filesystem;

TEST(SystemInfoPosix, AnswersWhatTheWorkerAsks) {
  SystemInfoPosix info;
  EXPECT_FALSE(info.HostName().empty());
  EXPECT_FALSE(info.OSVersionString().empty());
  EXPECT_EQ(info.TempFolder().back(), '/');
  EXPECT_FALSE(info.ErrorMessage(2).empty());
}

TEST(SystemInfoPosix, DeleteFolderTreeRemovesEverythingBelow) {
  SystemInfoPosix info;
  const fs::path root = fs::temp_directory_path() / ("halvren-delete-" + std::to_string(::getpid()));
  fs::create_directories(root / "sub" / "deeper");
  std::ofstream(root / "a.txt") << "a";
  std::ofstream(root / "sub" / "deeper" / "b.bin") << "b";
  info.DeleteFolderTree(root.string() + "/");
  EXPECT_FALSE(fs::exists(root));
  info.DeleteFolderTree(root.string());  // already gone: nothing happens
  info.DeleteFolderTree("");             // never the current folder
  EXPECT_TRUE(fs::exists(fs::current_path()));
}
