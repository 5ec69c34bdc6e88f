// The upgrade's file seams on Windows, under Wine: the unpack folder's access
// list, a folder that is there already, the temporary archive and the tree
// deletion. Wine keeps no access list on files, so the list is checked as the
// seam builds it, not read back from the folder.
#include <winsock2.h>

#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/win32/upgrade_host_win32.h"
#include "platform/win32/wide.h"

namespace {

std::string TempFolder() {
  wchar_t path[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH + 1, path);
  return win32::Narrow(path);
}

bool Exists(const std::string& path) {
  return GetFileAttributesW(win32::Widen(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
  BYTE buffer[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof buffer;
  return CreateWellKnownSid(type, nullptr, buffer, &size) && EqualSid(sid, buffer);
}

TEST(UpgradeHostWine, TheUnpackFolderGrantsTheSystemAndAdministratorsOnlyAndNothingInherited) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
      win32::Widen(platform::kUnpackFolderAccess).c_str(), SDDL_REVISION_1, &descriptor, nullptr));
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
  EXPECT_TRUE(control & SE_DACL_PROTECTED);
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
  ASSERT_TRUE(present && dacl);
  ASSERT_EQ(dacl->AceCount, 2);
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
    EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(ace->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    EXPECT_EQ(ace->Mask, static_cast<ACCESS_MASK>(FILE_ALL_ACCESS));
    PSID sid = &ace->SidStart;
    EXPECT_TRUE(i == 0 ? IsWellKnown(sid, WinLocalSystemSid) : IsWellKnown(sid, WinBuiltinAdministratorsSid));
  }
  LocalFree(descriptor);
}

TEST(UpgradeHostWine, FolderArchiveAndDeletionOnTheRealFileSystem) {
  UpgradeHostWin32 host;
  std::string archive;
  uint32_t error = 0;
  ASSERT_TRUE(host.MakeTempFile(archive, error)) << error;
  const std::string name = archive.substr(archive.find_last_of('\\') + 1);
  EXPECT_EQ(archive.rfind(TempFolder(), 0), 0u) << archive;
  EXPECT_EQ(name.rfind("mon", 0), 0u) << name;
  EXPECT_TRUE(host.IsFile(archive));
  {
    auto file = host.CreateArchive(archive, error);
    ASSERT_TRUE(file) << error;
    ASSERT_TRUE(file->Write("PK", 2, error)) << error;
  }

  const std::string folder = TempFolder() + "~" + name;
  ASSERT_TRUE(host.CreateUnpackFolder(folder, error)) << error;
  EXPECT_FALSE(host.IsFile(folder));
  // Whatever is there already may have been put there by anyone.
  EXPECT_FALSE(host.CreateUnpackFolder(folder, error));
  EXPECT_EQ(error, static_cast<uint32_t>(ERROR_ALREADY_EXISTS));

  ASSERT_TRUE(CreateDirectoryW(win32::Widen(folder + "\\sub").c_str(), nullptr));
  auto inner = host.CreateArchive(folder + "\\sub\\Updater.exe", error);
  ASSERT_TRUE(inner) << error;
  inner.reset();
  EXPECT_TRUE(host.IsFile(folder + "\\sub\\Updater.exe"));
  host.DeleteTree(folder + "\\");
  EXPECT_FALSE(Exists(folder));

  host.RemoveArchive(archive);
  EXPECT_FALSE(Exists(archive));
  EXPECT_FALSE(host.IsFile(archive));
}

TEST(UpgradeHostWine, AgentFolderIsTheProgramsOwn) {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::string program = win32::Narrow(path);
  EXPECT_EQ(UpgradeHostWin32().AgentFolder(), program.substr(0, program.find_last_of('\\')));
}

}  // namespace
