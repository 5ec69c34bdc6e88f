#include "agent/service/LogCollectionWin32.h"

#include <windows.h>

#include <shellapi.h>

#include "agent/LogWriter.h"
#include "corelib/ExLogger.h"
#include "platform/log_folder.h"
#include "platform/win32/wide.h"

namespace {

DWORD Attributes(const std::string& path) { return GetFileAttributesW(win32::Widen(path).c_str()); }

}  // namespace

std::string CWindowsLogCollectionSeams::LogFolder() { return platform::log_folder_path(); }

std::string CWindowsLogCollectionSeams::ProgramFolder() {
  wchar_t path[MAX_PATH + 1] = {};
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return std::string();
  std::wstring folder(path, n);
  const size_t slash = folder.find_last_of(L"\\/");
  return win32::Narrow(slash == std::wstring::npos ? std::wstring() : folder.substr(0, slash));
}

platform::LocalTime CWindowsLogCollectionSeams::Now() { return platform::local_now(); }

bool CWindowsLogCollectionSeams::IsLink(const std::string& path) {
  const DWORD a = Attributes(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool CWindowsLogCollectionSeams::RemoveLink(const std::string& path) {
  const DWORD a = Attributes(path);
  if (a == INVALID_FILE_ATTRIBUTES) return true;
  // Removing a directory link removes the link, never what it points to.
  const std::wstring wide = win32::Widen(path);
  return (a & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(wide.c_str()) != 0
                                        : DeleteFileW(wide.c_str()) != 0;
}

bool CWindowsLogCollectionSeams::Exists(const std::string& path) {
  return Attributes(path) != INVALID_FILE_ATTRIBUTES;
}

bool CWindowsLogCollectionSeams::DeleteTree(const std::string& path) {
  std::wstring from = win32::Widen(path);
  from.push_back(L'\0');  // the list ends with a second NUL
  SHFILEOPSTRUCTW op{};
  op.wFunc = FO_DELETE;
  op.pFrom = from.c_str();
  op.fFlags = FOF_NOCONFIRMATION | FOF_NOERRORUI | FOF_SILENT;
  return SHFileOperationW(&op) == 0 && !op.fAnyOperationsAborted;
}

bool CWindowsLogCollectionSeams::MakeFolder(const std::string& path) {
  return CreateDirectoryW(win32::Widen(path).c_str(), nullptr) != 0;
}

bool CWindowsLogCollectionSeams::RemoveFile(const std::string& path) {
  return DeleteFileW(win32::Widen(path).c_str()) != 0;
}

std::vector<std::string> CWindowsLogCollectionSeams::LogFiles(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(win32::Widen(folder + "\\*.log").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    if ((data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0)
      names.push_back(win32::Narrow(data.cFileName));
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return names;
}

int CWindowsLogCollectionSeams::CopyLogs(LogSource source, const std::string& folder, int days,
                                         const platform::LocalTime& today, bool upgradeStarted) {
  switch (source) {
    case LogSource::exceptions: {
      const int day[3] = {today.year, today.month, today.day};
      return ExLogger::instance().CopyLogFiles(folder.c_str(), days, day);
    }
    case LogSource::customApi: return custom_api_log().CopyLogFiles(folder.c_str(), days, false, &today);
    case LogSource::customMonitor:
      return custom_monitor_log().CopyLogFiles(folder.c_str(), days, false, &today);
    case LogSource::agentAndUpdate:
      return agent_log().CopyLogFiles(folder.c_str(), days, upgradeStarted, &today);
  }
  return 0;
}

ILogCollectionSeams::ChildResult CWindowsLogCollectionSeams::RunChild(const std::string& commandLine,
                                                                      const std::string& currentFolder,
                                                                      uint32_t timeoutMs) {
  ChildResult result;
  std::wstring command = win32::Widen(commandLine);
  const std::wstring folder = win32::Widen(currentFolder);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESHOWWINDOW;
  si.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &si, &pi)) {
    Log("CollectLogs: the zip tool could not be started: " + std::to_string(GetLastError()));
    return result;
  }
  result.started = true;
  result.finished = WaitForSingleObject(pi.hProcess, timeoutMs) == WAIT_OBJECT_0;
  if (!result.finished) {
    TerminateProcess(pi.hProcess, 255);
    WaitForSingleObject(pi.hProcess, 5000);
  }
  DWORD code = 255;
  if (GetExitCodeProcess(pi.hProcess, &code)) result.exitCode = code;
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return result;
}

void CWindowsLogCollectionSeams::Log(const std::string& line) { agent_log().AppendLogLine(line); }
