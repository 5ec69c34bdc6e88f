// Opening a log file for appending without following reparse points. The log
// folder is private, but a link planted in it before it was made so would
// otherwise carry the agent's writes, with the agent's rights, to any file of
// the machine. Used by append_to_file and by the fault filter, which opens its
// file in advance.
#pragma once

#include <windows.h>

namespace platform {

// The calls that decide about the file, replaceable by a test's fake.
struct LogFileCalls {
  HANDLE(WINAPI* create)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) = CreateFileW;
  BOOL(WINAPI* information)(HANDLE, LPBY_HANDLE_FILE_INFORMATION) = GetFileInformationByHandle;
};

// Append access (every write lands at the end, even with other appenders),
// shared for reading, writing and deleting, created when missing. A file that
// turns out to be a reparse point, or to have more than one name (a hard link
// to some other file), is closed again: INVALID_HANDLE_VALUE.
HANDLE open_log_file(const wchar_t* path, const LogFileCalls& calls = LogFileCalls());

}  // namespace platform
