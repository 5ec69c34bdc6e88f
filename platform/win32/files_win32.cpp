// File operations and the log folder over the Windows API.
#include <windows.h>
// After windows.h, which it needs.
#include <shlobj.h>

#include <algorithm>

#include "platform/files.h"
#include "platform/log_folder.h"
#include "platform/private_folder.h"
#include "platform/win32/log_file_win32.h"
#include "platform/win32/wide_text.h"

namespace platform {

HANDLE open_log_file(const wchar_t* path, const LogFileCalls& calls) {
  HANDLE file = calls.create(path, FILE_APPEND_DATA | SYNCHRONIZE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return file;
  BY_HANDLE_FILE_INFORMATION info;
  if (!calls.information(file, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || info.nNumberOfLinks > 1) {
    CloseHandle(file);
    return INVALID_HANDLE_VALUE;
  }
  return file;
}

long long append_to_file(const std::string& path, const char* data, size_t size) {
  std::wstring wpath;
  if (!to_wide(path, wpath)) return -1;
  HANDLE file = open_log_file(wpath.c_str());
  if (file == INVALID_HANDLE_VALUE) return -1;
  long long total = 0;
  while (static_cast<size_t>(total) < size) {
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(size - total, 1u << 30));
    DWORD written = 0;
    if (!WriteFile(file, data + total, chunk, &written, nullptr) || written == 0) break;
    total += written;
  }
  CloseHandle(file);
  return total;
}

bool copy_file_replacing(const std::string& from, const std::string& to) {
  std::wstring wfrom, wto;
  if (!to_wide(from, wfrom) || !to_wide(to, wto)) return false;
  return CopyFileW(wfrom.c_str(), wto.c_str(), FALSE) != 0;
}

bool make_folder(const std::string& path) {
  std::wstring wpath;
  if (!to_wide(path, wpath)) return false;
  if (CreateDirectoryW(wpath.c_str(), nullptr)) return true;
  DWORD attributes = GetFileAttributesW(wpath.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string log_folder_path() {
  wchar_t base[MAX_PATH] = {};
  std::string folder = "c:\\";
  if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, base)) &&
      base[0]) {
    folder = from_wide(base, wcslen(base));
  }
  for (const char* name : {"Halvren", "logs"}) {
    folder = join_path(folder, name);
    if (make_private_folder(folder) != PrivateFolder::ready) return std::string();
  }
  return folder + "\\";
}

}  // namespace platform
