#include "platform/win32/system_info_win32.h"

// Windows Sockets before windows.h, the shell's header after it.
#include <winsock2.h>

#include <windows.h>

#include <shellapi.h>

#include "platform/win32/error_text.h"
#include "platform/win32/proc_address.h"
#include "platform/win32/wide.h"

namespace {

template <typename Fn>
Fn Kernel32Function(const char* name) {
  return win32::ResolveFunction<Fn>(GetModuleHandleW(L"kernel32.dll"), name);
}

}  // namespace

std::string SystemInfoWin32::HostName() {
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return "Unknown";
  char name[512] = {};
  const bool ok = gethostname(name, sizeof name) == 0;
  WSACleanup();
  name[sizeof name - 1] = '\0';
  return ok && name[0] != '\0' ? std::string(name) : std::string("Unknown");
}

OSFacts SystemInfoWin32::GatherOSFacts() {
  OSFacts facts;
  OSVERSIONINFOEXW version = {};
  version.dwOSVersionInfoSize = sizeof version;
  // GetVersionExW is deprecated for good reason (it reports the version the
  // program was manifested for), but it is what the gateway's text is made of.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  const BOOL known = GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version));
#pragma GCC diagnostic pop
  if (!known) {
    facts.platformId = 0;  // nothing known: reported as an unknown version
    return facts;
  }
  facts.platformId = version.dwPlatformId;
  facts.major = version.dwMajorVersion;
  facts.minor = version.dwMinorVersion;
  facts.build = version.dwBuildNumber;
  facts.productType = version.wProductType;
  facts.suiteMask = version.wSuiteMask;
  facts.servicePack = win32::Narrow(version.szCSDVersion);

  // A 32-bit build on 64-bit Windows must see the machine's processor, not
  // the emulated one; the native call is missing before XP.
  SYSTEM_INFO system = {};
  using GetNativeSystemInfoFn = void(WINAPI*)(SYSTEM_INFO*);
  if (auto native = Kernel32Function<GetNativeSystemInfoFn>("GetNativeSystemInfo"))
    native(&system);
  else
    GetSystemInfo(&system);
  facts.processorArchitecture = system.wProcessorArchitecture;
  facts.serverR2 = GetSystemMetrics(SM_SERVERR2) != 0;

  using GetProductInfoFn = BOOL(WINAPI*)(DWORD, DWORD, DWORD, DWORD, DWORD*);
  if (facts.major >= 6) {
    if (auto productInfo = Kernel32Function<GetProductInfoFn>("GetProductInfo")) {
      DWORD type = 0;
      productInfo(version.dwMajorVersion, version.dwMinorVersion, version.wServicePackMajor,
                  version.wServicePackMinor, &type);
      facts.productInfoAvailable = true;
      facts.productInfoType = type;
    }
  }
  return facts;
}

std::string SystemInfoWin32::OSVersionString() { return FormatOSVersion(GatherOSFacts()); }

bool SystemInfoWin32::EnableDebugPrivilege() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return false;
  TOKEN_PRIVILEGES privileges = {};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  bool ok = LookupPrivilegeValueW(nullptr, SE_DEBUG_NAME, &privileges.Privileges[0].Luid) != FALSE;
  // AdjustTokenPrivileges succeeds even when the account lacks the privilege;
  // only the last error tells.
  ok = ok && AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, nullptr, nullptr) != FALSE &&
       GetLastError() != ERROR_NOT_ALL_ASSIGNED;
  CloseHandle(token);
  return ok;
}

std::string SystemInfoWin32::TempFolder() {
  wchar_t path[MAX_PATH + 1] = {};
  const DWORD n = GetTempPathW(MAX_PATH + 1, path);
  if (n == 0 || n > MAX_PATH) return std::string();
  return win32::Narrow(path, static_cast<int>(n));
}

void SystemInfoWin32::DeleteFolderTree(const std::string& path) {
  std::wstring from = win32::Widen(path);
  // A trailing separator makes the shell refuse the folder.
  while (!from.empty() && (from.back() == L'\\' || from.back() == L'/')) from.pop_back();
  // An empty name would be taken relative to the current folder.
  if (from.empty()) return;
  from.push_back(L'\0');  // the list of names ends with a second zero

  SHFILEOPSTRUCTW op = {};
  op.wFunc = FO_DELETE;
  op.pFrom = from.c_str();
  op.fFlags = FOF_NOCONFIRMATION | FOF_NOERRORUI | FOF_SILENT;
  SHFileOperationW(&op);
}

void SystemInfoWin32::ReportError(const std::string& text) {
  HANDLE source = RegisterEventSourceW(nullptr, L"Halvren");
  if (source == nullptr) return;
  const std::wstring wide = win32::Widen(text);
  const wchar_t* strings[] = {wide.c_str()};
  ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}

std::string SystemInfoWin32::ErrorMessage(uint32_t code) { return win32::ErrorText(code); }
