// Updater.exe UPDATE_FOLDER INSTALL_FOLDER VERSION: installs the version the
// agent unpacked into UPDATE_FOLDER over INSTALL_FOLDER. No window; the exit
// code and the monupdate log tell the outcome.
#include <windows.h>
// After windows.h, which it needs.
#include <objbase.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "platform/text_format.h"
#include "platform/win32/proc_address.h"
#include "platform/win32/wide.h"
#include "updater/UpdateProcedure.h"
#include "updater/UpdaterSystemWin32.h"

namespace {

// DLLs this process loads come from the system folder only, never from the
// Updater's own folder, which may hold what the network delivered.
void restrict_dll_search() {
  using SetDirectories = BOOL(WINAPI*)(DWORD);
  auto set =
      win32::ResolveFunction<SetDirectories>(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
  if (set) set(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

void enable_debug_privilege() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return;
  TOKEN_PRIVILEGES privileges = {};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &privileges.Privileges[0].Luid))
    AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
  CloseHandle(token);
}

std::vector<std::string> split_arguments(const wchar_t* commandLine) {
  std::vector<std::string> arguments;
  int count = 0;
  wchar_t** argv = CommandLineToArgvW(commandLine, &count);
  if (!argv) return arguments;
  for (int i = 1; i < count; ++i) arguments.push_back(win32::Narrow(argv[i]));
  LocalFree(argv);
  return arguments;
}

// A machine fault still leaves its line: the log is all an unattended run tells.
LONG WINAPI log_fault(EXCEPTION_POINTERS* fault) {
  updater::CUpdateLogFile().Line(Format("ERROR. Exception 0x%08lX; update incomplete.",
                                        static_cast<unsigned long>(fault->ExceptionRecord->ExceptionCode)));
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  restrict_dll_search();
  SetUnhandledExceptionFilter(log_fault);
  updater::CUpdateLogFile log;
  try {
    enable_debug_privilege();
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const wchar_t* commandLine = GetCommandLineW();
    int result;
    {
      updater::CWindowsUpdater system;
      updater::CUpdateProcedure procedure(system.Seams());
      result = procedure.Run(win32::Narrow(commandLine), split_arguments(commandLine));
    }
    if (SUCCEEDED(com)) CoUninitialize();
    return result;
  } catch (...) {
    log.Line("ERROR. Unexpected exception; update incomplete.");
    return updater::kExitIncomplete;
  }
}
