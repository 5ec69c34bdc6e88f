// The log folder's protection and the log files' opening, on real folders:
// NTFS-style access lists under Wine (which maps them to the Unix mode bits),
// mode bits natively. What Wine cannot show (a file reparse point) goes through
// a fake of the two calls that decide, named so.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/log_folder.h"
#include "platform/private_folder.h"
#include "tests/unit/test_support.h"

#ifdef _WIN32
#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>

#include "platform/win32/log_file_win32.h"
#include "platform/win32/wide_text.h"
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using platform::PrivateFolder;

#ifdef _WIN32
// Wine keeps no security descriptor of a file of its own: it reads the entries
// back from the Unix mode bits, and the protection flag is lost on the way.
bool under_wine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }
#endif

// Whether only the system and the administrators have access, nothing
// inherited from above, the entries handed down to what is made inside. Under
// Wine, which reads the entries back from the mode bits (owner and group), the
// point is that no entry for everyone is left: no bits for others.
::testing::AssertionResult only_system_and_administrators(const std::string& folder) {
#ifdef _WIN32
  std::wstring wide;
  platform::to_wide(folder, wide);
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (GetNamedSecurityInfoW(wide.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                            nullptr, &sd) != ERROR_SUCCESS) {
    return ::testing::AssertionFailure() << "no security information for " << folder;
  }
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(sd, &control, &revision);
  std::string found;
  int system = 0, admins = 0, everyone = 0, other = 0;
  for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace))) continue;
    PSID sid = &ace->SidStart;
    constexpr BYTE kHandedDown = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    bool full = ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
                (ace->Mask & FILE_ALL_ACCESS) == FILE_ALL_ACCESS &&
                (ace->Header.AceFlags & kHandedDown) == kHandedDown;
    if (IsWellKnownSid(sid, WinWorldSid) || IsWellKnownSid(sid, WinBuiltinUsersSid) ||
        IsWellKnownSid(sid, WinAuthenticatedUserSid)) {
      ++everyone;
    } else if (full && IsWellKnownSid(sid, WinLocalSystemSid)) {
      ++system;
    } else if (full && IsWellKnownSid(sid, WinBuiltinAdministratorsSid)) {
      ++admins;
    } else {
      ++other;
    }
    found += " [type " + std::to_string(ace->Header.AceType) + " flags " +
             std::to_string(ace->Header.AceFlags) + " mask " + std::to_string(ace->Mask) + "]";
  }
  LocalFree(sd);
  bool ok = dacl && everyone == 0;
  if (!under_wine()) ok = ok && system == 1 && admins == 1 && other == 0 && (control & SE_DACL_PROTECTED);
  if (!ok) return ::testing::AssertionFailure() << folder << ": control " << control << ", entries" << found;
  return ::testing::AssertionSuccess();
#else
  struct stat st;
  if (::stat(folder.c_str(), &st) != 0) return ::testing::AssertionFailure() << "no " << folder;
  if ((st.st_mode & 07777) != 0700)
    return ::testing::AssertionFailure() << folder << ": mode " << std::oct << (st.st_mode & 07777);
  return ::testing::AssertionSuccess();
#endif
}

TEST(PrivateFolder, NewAndExistingFoldersEndProtected) {
  test::TempFolder temp;
  const std::string fresh = temp.file("fresh");
  const std::string existing = temp.file("existing");
  ASSERT_TRUE(platform::make_folder(existing));  // default access: readable by everyone
  const std::string nested = platform::join_path(existing, "inside");
  ASSERT_TRUE(platform::make_folder(nested));

  for (const std::string& folder : {fresh, existing, existing + "/", fresh}) {
    SCOPED_TRACE(folder);
    EXPECT_EQ(platform::make_private_folder(folder), PrivateFolder::ready);
    EXPECT_TRUE(only_system_and_administrators(folder));
  }
  // A log file made inside afterwards can still be written by the agent.
  EXPECT_EQ(platform::append_to_file(platform::join_path(existing, "a.log"), "x\r\n", 3), 3);
}

// Under Wine a link to a folder is a reparse point too, but a Windows program
// cannot make one there: the agent's end-to-end test (tests/integration/
// log_folder.sh) links the real log folder from the Unix side.
TEST(PrivateFolder, LinksAndFilesAreNotWrittenThrough) {
  test::TempFolder temp;
  const std::string target = temp.file("target");
  ASSERT_TRUE(platform::make_folder(target));
  const std::string file = temp.file("file");
  ASSERT_EQ(platform::append_to_file(file, "x", 1), 1);
  std::vector<std::pair<std::string, PrivateFolder>> cases = {
      {file, PrivateFolder::failed},
      {temp.file("missing/deeper"), PrivateFolder::failed},
  };
#ifndef _WIN32
  const std::string link = temp.file("link");
  fs::create_directory_symlink(target, link);
  cases.push_back({link, PrivateFolder::reparse_point});
  cases.push_back({link + "/", PrivateFolder::reparse_point});
#endif
  for (const auto& [path, expected] : cases) {
    EXPECT_EQ(platform::make_private_folder(path), expected) << path;
  }
  EXPECT_FALSE(only_system_and_administrators(target)) << "the link's target was changed";
  EXPECT_FALSE(fs::exists(temp.file("missing")));
}

TEST(LogFile, LinkedFilesAreRefused) {
  test::TempFolder temp;
  const std::string elsewhere = temp.file("elsewhere.txt");
  ASSERT_EQ(platform::append_to_file(elsewhere, "keep", 4), 4);
  // A second name of the same file, as a link planted earlier would be.
  const std::string hard = temp.file("hard.log");
  std::error_code error;
  fs::create_hard_link(elsewhere, hard, error);
  ASSERT_FALSE(error) << error.message();
  EXPECT_EQ(platform::append_to_file(hard, "more", 4), -1);
#ifndef _WIN32
  const std::string soft = temp.file("soft.log");
  fs::create_symlink(elsewhere, soft);
  EXPECT_EQ(platform::append_to_file(soft, "more", 4), -1);
#endif
  EXPECT_EQ(test::read_file(elsewhere), "keep");
}

#ifdef _WIN32
// The fake answers for a file that is a reparse point (Wine follows a Unix link
// to a file and never reports one); the handle itself is real.
DWORD g_createFlags = 0;

HANDLE WINAPI recording_create(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                               DWORD disposition, DWORD flags, HANDLE model) {
  g_createFlags = flags;
  return CreateFileW(path, access, share, security, disposition, flags, model);
}

BOOL WINAPI reparse_point_information(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
  if (!GetFileInformationByHandle(file, info)) return FALSE;
  info->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  return TRUE;
}

TEST(LogFile, FakeReparsePointFileIsOpenedUnfollowedAndRefused) {
  test::TempFolder temp;
  std::wstring path;
  ASSERT_TRUE(platform::to_wide(temp.file("monintagent_x.log"), path));
  platform::LogFileCalls calls;
  calls.create = recording_create;
  HANDLE plain = platform::open_log_file(path.c_str(), calls);
  ASSERT_NE(plain, INVALID_HANDLE_VALUE);
  CloseHandle(plain);
  EXPECT_TRUE(g_createFlags & FILE_FLAG_OPEN_REPARSE_POINT) << "the file was opened following reparse points";

  calls.information = reparse_point_information;
  EXPECT_EQ(platform::open_log_file(path.c_str(), calls), INVALID_HANDLE_VALUE);
  // The handle was closed again: the file can be deleted at once.
  EXPECT_TRUE(DeleteFileW(path.c_str()));
}
#else
TEST(PrivateFolder, FolderOfAnotherOwnerIsLeftAlone) {
  if (::geteuid() != 0) GTEST_SKIP() << "handing a folder to another owner needs root";
  test::TempFolder temp;
  const std::string folder = temp.file("theirs");
  ASSERT_TRUE(platform::make_folder(folder));
  ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);
  ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
  EXPECT_EQ(platform::make_private_folder(folder), PrivateFolder::foreign_owner);
  struct stat st;
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0777u) << "its access was changed";
}

// The native log folder below TMPDIR: made private, and empty (nothing to
// write to) while "logs" is a link.
TEST(LogFolder, IsPrivateAndEmptyWhileLogsIsALink) {
  test::TempFolder temp;
  const char* saved = std::getenv("TMPDIR");
  const std::string restore = saved ? saved : "";
  ::setenv("TMPDIR", temp.path().c_str(), 1);
  std::string folder = platform::log_folder_path();
  EXPECT_EQ(folder, temp.file("halvren/logs/"));
  EXPECT_TRUE(only_system_and_administrators(temp.file("halvren")));
  EXPECT_TRUE(only_system_and_administrators(temp.file("halvren/logs")));

  fs::remove(temp.file("halvren/logs"));
  ASSERT_TRUE(platform::make_folder(temp.file("target")));
  fs::create_directory_symlink(temp.file("target"), temp.file("halvren/logs"));
  EXPECT_EQ(platform::log_folder_path(), "");
  if (saved) {
    ::setenv("TMPDIR", restore.c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
}
#endif

}  // namespace
