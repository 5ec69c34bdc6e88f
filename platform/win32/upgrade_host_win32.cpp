#include <winsock2.h>

#include "platform/win32/upgrade_host_win32.h"

#include <sddl.h>
#include <shellapi.h>

#include <cstdio>

#include "platform/win32/error_text.h"
#include "platform/win32/wide.h"
#include "platform/win32/winhttp_common.h"
#include "platform/win32/winhttp_request.h"

namespace {

class ArchiveFile : public platform::IArchiveFile {
 public:
  explicit ArchiveFile(HANDLE file) : file_(file) {}
  ~ArchiveFile() override { CloseHandle(file_); }
  bool Write(const char* data, uint32_t size, uint32_t& error) override {
    DWORD wrote = 0;
    if (!WriteFile(file_, data, size, &wrote, nullptr) || wrote != size) {
      error = GetLastError();
      if (error == 0) error = ERROR_WRITE_FAULT;
      return false;
    }
    return true;
  }

 private:
  HANDLE file_;
};

}  // namespace

std::unique_ptr<platform::IPackageGet> UpgradeHostWin32::NewGet() { return NewWinHttpPackageGet(); }

std::string UpgradeHostWin32::UserProxy() { return win32::Narrow(win32::UserProxy()); }

std::string UpgradeHostWin32::ErrorText(uint32_t error) {
  std::string text = win32::WinHttpMessage(error);
  if (!text.empty()) return text;
  char fallback[48];
  snprintf(fallback, sizeof fallback, error >= 12000 && error < 13000 ? "WinHTTP error %u" : "Error %u",
           static_cast<unsigned>(error));
  return fallback;
}

bool UpgradeHostWin32::MakeTempFile(std::string& path, uint32_t& error) {
  wchar_t folder[MAX_PATH + 1] = {};
  const DWORD n = GetTempPathW(MAX_PATH + 1, folder);
  if (n == 0 || n > MAX_PATH) {
    error = n == 0 ? GetLastError() : ERROR_BUFFER_OVERFLOW;
    return false;
  }
  wchar_t name[MAX_PATH] = {};
  if (GetTempFileNameW(folder, L"mon", 0, name) == 0) {
    error = GetLastError();
    return false;
  }
  path = win32::Narrow(name);
  return true;
}

std::unique_ptr<platform::IArchiveFile> UpgradeHostWin32::CreateArchive(const std::string& path, uint32_t& error) {
  HANDLE file = CreateFileW(win32::Widen(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    return nullptr;
  }
  return std::make_unique<ArchiveFile>(file);
}

void UpgradeHostWin32::RemoveArchive(const std::string& path) { DeleteFileW(win32::Widen(path).c_str()); }

bool UpgradeHostWin32::CreateUnpackFolder(const std::string& path, uint32_t& error) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(win32::Widen(platform::kUnpackFolderAccess).c_str(),
                                                            SDDL_REVISION_1, &descriptor, nullptr)) {
    error = GetLastError();
    return false;
  }
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
  // A folder that is there already may hold what someone else put in it.
  const BOOL made = CreateDirectoryW(win32::Widen(path).c_str(), &attributes);
  error = made ? 0 : GetLastError();
  LocalFree(descriptor);
  return made != FALSE;
}

bool UpgradeHostWin32::IsFile(const std::string& path) {
  const DWORD a = GetFileAttributesW(win32::Widen(path).c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
}

void UpgradeHostWin32::DeleteTree(const std::string& path) {
  std::wstring from = win32::Widen(path);
  while (!from.empty() && (from.back() == L'\\' || from.back() == L'/')) from.pop_back();
  if (from.empty()) return;
  from.push_back(L'\0');
  SHFILEOPSTRUCTW op = {};
  op.wFunc = FO_DELETE;
  op.pFrom = from.c_str();
  op.fFlags = FOF_NOCONFIRMATION | FOF_NOERRORUI | FOF_SILENT;
  SHFileOperationW(&op);
}

std::string UpgradeHostWin32::AgentFolder() {
  wchar_t path[MAX_PATH] = {};
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return std::string();
  std::wstring folder(path, n);
  const size_t at = folder.find_last_of(L"\\/");
  return at == std::wstring::npos ? std::string() : win32::Narrow(folder.substr(0, at));
}
