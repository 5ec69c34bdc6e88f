#include "agent/service/WindowsShell.h"

#include <tlhelp32.h>

#include <cstdio>
#include <cwctype>

#include "platform/win32/wide.h"

CallerFacts CComCallerIdentity::Identify() {
  CallerFacts facts;
  IServerSecurity* security = nullptr;
  const HRESULT hr = CoGetCallContext(IID_IServerSecurity, reinterpret_cast<void**>(&security));
  if (hr == RPC_E_CALL_COMPLETE) {
    facts.context = CallerFacts::Context::none;
    return facts;
  }
  if (FAILED(hr) || security == nullptr) return facts;  // unknown: refused where it matters
  if (FAILED(security->ImpersonateClient())) {
    security->Release();
    return facts;
  }
  BYTE systemSid[SECURITY_MAX_SID_SIZE], adminSid[SECURITY_MAX_SID_SIZE];
  DWORD systemSize = sizeof systemSid, adminSize = sizeof adminSid;
  BOOL isSystem = FALSE, isAdmin = FALSE;
  const bool ok = CreateWellKnownSid(WinLocalSystemSid, nullptr, systemSid, &systemSize) &&
                  CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, adminSid, &adminSize) &&
                  CheckTokenMembership(nullptr, systemSid, &isSystem) &&
                  CheckTokenMembership(nullptr, adminSid, &isAdmin);
  security->RevertToSelf();
  security->Release();
  if (!ok) return facts;
  facts.context = CallerFacts::Context::client;
  facts.system = isSystem != FALSE;
  facts.administrator = isAdmin != FALSE;
  return facts;
}

std::wstring ReadInstallPath(bool& keyOpened) {
  keyOpened = false;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvren", 0, KEY_READ | KEY_WOW64_64KEY, &key) !=
      ERROR_SUCCESS)
    return std::wstring();
  keyOpened = true;
  wchar_t buffer[MAX_PATH + 1] = {};
  DWORD type = 0, bytes = sizeof(buffer) - sizeof(wchar_t);
  const LONG rc = RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS || type != REG_SZ || bytes % sizeof(wchar_t) != 0 || bytes < sizeof(wchar_t))
    return {};
  const size_t chars = bytes / sizeof(wchar_t);
  if (buffer[chars - 1] != L'\0') return std::wstring();
  return std::wstring(buffer, chars - 1);
}

namespace {

std::wstring Folded(std::wstring s) {
  for (wchar_t& c : s) c = static_cast<wchar_t>(std::towlower(c));
  while (!s.empty() && (s.back() == L'\\' || s.back() == L'/')) s.pop_back();
  return s;
}

// One running Controller.exe from the folder, opened to end it; null if none.
HANDLE FindFrontEnd(const std::wstring& folder) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return nullptr;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  HANDLE found = nullptr;
  for (BOOL more = Process32FirstW(snapshot, &entry); more && found == nullptr;
       more = Process32NextW(snapshot, &entry)) {
    if (_wcsicmp(entry.szExeFile, L"Controller.exe") != 0) continue;
    HANDLE process =
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE, entry.th32ProcessID);
    if (process == nullptr) continue;
    wchar_t image[MAX_PATH * 2] = {};
    DWORD size = MAX_PATH * 2;
    bool match = false;
    if (QueryFullProcessImageNameW(process, 0, image, &size)) {
      std::wstring path(image, size);
      const size_t slash = path.find_last_of(L"\\/");
      match = slash != std::wstring::npos && Folded(path.substr(0, slash)) == folder;
    }
    if (match) {
      found = process;
    } else {
      CloseHandle(process);
    }
  }
  CloseHandle(snapshot);
  return found;
}

}  // namespace

void TerminateFrontEnd(const std::wstring& installFolder,
                       const std::function<void(const std::string&)>& log) {
  log("TerminateProcess. procEXEName 'Controller.exe', procEXEPath '" + win32::Narrow(installFolder) + "'");
  const std::wstring folder = Folded(installFolder);
  for (int round = 0; round < 29; ++round) {
    HANDLE process = FindFrontEnd(folder);
    if (process == nullptr) return;
    log("Process found. Terminating...");
    TerminateProcess(process, 0xFFFFFFFF);
    CloseHandle(process);
    Sleep(100);
  }
}

NoticeSeams WindowsNoticeSeams(const wchar_t* source) {
  const std::wstring name = source;
  NoticeSeams seams;
  seams.reportEvent = [name](WORD type, DWORD eventId, const std::wstring& text) {
    HANDLE log = RegisterEventSourceW(nullptr, name.c_str());
    if (log == nullptr) return;
    const wchar_t* strings[1] = {text.c_str()};
    ReportEventW(log, type, 0, eventId, nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(log);
  };
  seams.standardError = [](const std::wstring& text) {
    fwprintf(stderr, L"%ls\n", text.c_str());
    fflush(stderr);
  };
  seams.desktopVisible = [] {
    DWORD session = 0;
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &session) || session == 0) return false;
    USEROBJECTFLAGS flags{};
    HWINSTA station = GetProcessWindowStation();
    if (station == nullptr || !GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, nullptr))
      return false;
    return (flags.dwFlags & WSF_VISIBLE) != 0;
  };
  seams.messageBox = [name](const std::wstring& text) {
    MessageBoxW(nullptr, text.c_str(), name.c_str(), MB_OK);
  };
  return seams;
}
