// Private folders over the Windows security API. The folder is opened without
// following reparse points and everything after that works on the handle, so a
// link swapped in between the checks and the change is never followed.
#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>

#include <cstring>

#include "platform/private_folder.h"
#include "platform/win32/unique_handle.h"
#include "platform/win32/wide_text.h"

namespace platform {
namespace {

constexpr BYTE kHandedDown = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

// SYSTEM and Administrators with full control, handed down to files and folders
// inside. Built once; never changed afterwards.
class PrivateAcl {
 public:
  PrivateAcl() {
    DWORD systemSize = sizeof(m_system), adminsSize = sizeof(m_admins);
    m_ok = CreateWellKnownSid(WinLocalSystemSid, nullptr, m_system, &systemSize) &&
           CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, m_admins, &adminsSize) &&
           InitializeAcl(acl(), sizeof(m_acl), ACL_REVISION) &&
           AddAccessAllowedAceEx(acl(), ACL_REVISION, kHandedDown, FILE_ALL_ACCESS, m_system) &&
           AddAccessAllowedAceEx(acl(), ACL_REVISION, kHandedDown, FILE_ALL_ACCESS, m_admins);
  }

  bool ok() const { return m_ok; }
  PACL acl() { return reinterpret_cast<PACL>(m_acl); }

  // The same entries in the same order: setting it again would change nothing
  // but still walk every file inside to hand the entries down.
  bool same_entries(PACL other) {
    if (!other || other->AceCount != acl()->AceCount) return false;
    for (DWORD i = 0; i < other->AceCount; ++i) {
      void* mine = nullptr;
      void* theirs = nullptr;
      if (!GetAce(acl(), i, &mine) || !GetAce(other, i, &theirs)) return false;
      WORD size = static_cast<ACE_HEADER*>(mine)->AceSize;
      if (static_cast<ACE_HEADER*>(theirs)->AceSize != size || std::memcmp(mine, theirs, size) != 0)
        return false;
    }
    return true;
  }

 private:
  alignas(DWORD) BYTE m_system[SECURITY_MAX_SID_SIZE];
  alignas(DWORD) BYTE m_admins[SECURITY_MAX_SID_SIZE];
  alignas(DWORD) BYTE m_acl[256];
  bool m_ok = false;
};

PrivateAcl& private_acl() {
  static PrivateAcl acl;
  return acl;
}

bool is_own_account(PSID sid) {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return false;
  win32::unique_handle token(raw);
  alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD length = 0;
  if (!GetTokenInformation(token.get(), TokenUser, buffer, sizeof(buffer), &length)) return false;
  return EqualSid(sid, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid) != 0;
}

bool owner_allowed(PSID owner) {
  if (!owner || !IsValidSid(owner)) return false;
  return IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
         is_own_account(owner);
}

// The folder's owner, its entries and whether they are protected, as stored now.
class CurrentAccess {
 public:
  explicit CurrentAccess(HANDLE folder) {
    m_read = GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                             &m_owner, nullptr, &m_dacl, nullptr, &m_descriptor) == ERROR_SUCCESS;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    m_protected = m_read && GetSecurityDescriptorControl(m_descriptor, &control, &revision) &&
                  (control & SE_DACL_PROTECTED);
  }
  ~CurrentAccess() {
    if (m_descriptor) LocalFree(m_descriptor);
  }
  CurrentAccess(const CurrentAccess&) = delete;
  CurrentAccess& operator=(const CurrentAccess&) = delete;

  bool read() const { return m_read; }
  PSID owner() const { return m_owner; }
  PACL dacl() const { return m_dacl; }
  bool is_protected() const { return m_protected; }

 private:
  PSECURITY_DESCRIPTOR m_descriptor = nullptr;
  PSID m_owner = nullptr;
  PACL m_dacl = nullptr;
  bool m_read = false;
  bool m_protected = false;
};

}  // namespace

PrivateFolder make_private_folder(const std::string& path) {
  std::string bare = path;
  // "X\" names the same folder but makes some calls follow a reparse point.
  while (bare.size() > 1 && (bare.back() == '\\' || bare.back() == '/')) bare.pop_back();
  std::wstring wpath;
  if (!to_wide(bare, wpath)) return PrivateFolder::failed;
  PrivateAcl& wanted = private_acl();
  if (!wanted.ok()) return PrivateFolder::failed;

  SECURITY_DESCRIPTOR descriptor;
  if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&descriptor, TRUE, wanted.acl(), FALSE) ||
      !SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
    return PrivateFolder::failed;
  }
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &descriptor, FALSE};
  // Fails when something of that name exists; the checks below decide about it.
  CreateDirectoryW(wpath.c_str(), &attributes);

  win32::unique_handle folder(
      CreateFileW(wpath.c_str(), READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!folder) return PrivateFolder::failed;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(folder.get(), &info)) return PrivateFolder::failed;
  // The handle's attributes are the ones that count on Windows (nothing can be
  // swapped in after the open). Wine follows a linked folder even when told
  // not to and reports the link only through its name; asking both costs
  // nothing on Windows.
  DWORD named = GetFileAttributesW(wpath.c_str());
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
      (named != INVALID_FILE_ATTRIBUTES && (named & FILE_ATTRIBUTE_REPARSE_POINT))) {
    return PrivateFolder::reparse_point;
  }
  if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return PrivateFolder::failed;
  {
    CurrentAccess now(folder.get());
    if (!now.read()) return PrivateFolder::failed;
    if (!owner_allowed(now.owner())) return PrivateFolder::foreign_owner;
    if (now.is_protected() && wanted.same_entries(now.dacl())) return PrivateFolder::ready;
  }

  // SetSecurityInfo also hands the entries down to the files already inside,
  // which would otherwise keep what they inherited from the open folder above.
  // Wine accepts its protected form but changes nothing; there the lower-level
  // call, which hands nothing down, sets it. (Wine reads the entries back from
  // the Unix mode bits, as owner and group, so they cannot be compared after.)
  if (SetSecurityInfo(folder.get(), SE_FILE_OBJECT,
                      DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                      wanted.acl(), nullptr) != ERROR_SUCCESS) {
    return PrivateFolder::failed;
  }
  if (!wanted.same_entries(CurrentAccess(folder.get()).dacl()) &&
      !SetKernelObjectSecurity(folder.get(), DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                               &descriptor)) {
    return PrivateFolder::failed;
  }
  return PrivateFolder::ready;
}

}  // namespace platform
