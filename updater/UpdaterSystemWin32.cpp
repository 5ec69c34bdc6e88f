#include "updater/UpdaterSystemWin32.h"

#include <windows.h>
// After windows.h, which they need.
#include <shlobj.h>
#include <shobjidl.h>
#include <tlhelp32.h>

#include "platform/daily_logs.h"
#include "platform/files.h"
#include "platform/local_time.h"
#include "platform/text_format.h"
#include "platform/win32/error_text.h"
#include "platform/win32/wide.h"

namespace updater {
namespace {

using win32::Narrow;
using win32::Widen;

constexpr REGSAM kView = KEY_WOW64_64KEY;

std::string folder_path(int csidl) {
  wchar_t path[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path))) return std::string();
  return Narrow(path);
}

// An existing folder that is no link.
bool plain_folder(const std::string& path) {
  const DWORD a = GetFileAttributesW(Widen(path).c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) &&
         !(a & FILE_ATTRIBUTE_REPARSE_POINT);
}

uint32_t last_error_or(BOOL ok) { return ok ? 0 : GetLastError(); }

class Service : public IService {
 public:
  explicit Service(SC_HANDLE h) : m_h(h) {}
  ~Service() override { CloseServiceHandle(m_h); }
  uint32_t Stop() override {
    SERVICE_STATUS status = {};
    return last_error_or(ControlService(m_h, SERVICE_CONTROL_STOP, &status));
  }
  uint32_t Query(ServiceStatus& out) override {
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(m_h, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                              &needed))
      return GetLastError();
    out.state = status.dwCurrentState;
    out.processId = status.dwProcessId;
    return 0;
  }
  uint32_t Delete() override { return last_error_or(DeleteService(m_h)); }
  uint32_t Start() override { return last_error_or(StartServiceW(m_h, 0, nullptr)); }

 private:
  SC_HANDLE m_h;
};

class ServiceManager : public IServiceManager {
 public:
  explicit ServiceManager(SC_HANDLE h) : m_h(h) {}
  ~ServiceManager() override { CloseServiceHandle(m_h); }
  std::unique_ptr<IService> Open(const std::string& name, ServiceAccess access, uint32_t& error) override {
    const DWORD rights =
        access == ServiceAccess::Start ? SERVICE_START : SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE;
    SC_HANDLE h = OpenServiceW(m_h, Widen(name).c_str(), rights);
    if (!h) {
      error = GetLastError();
      return nullptr;
    }
    return std::make_unique<Service>(h);
  }

 private:
  SC_HANDLE m_h;
};

class RunningProcess : public IRunningProcess {
 public:
  explicit RunningProcess(HANDLE h) : m_h(h) {}
  ~RunningProcess() override { CloseHandle(m_h); }
  uint32_t Terminate(uint32_t exitCode) override { return last_error_or(TerminateProcess(m_h, exitCode)); }
  bool WaitForExit(uint32_t ms) override { return WaitForSingleObject(m_h, ms) == WAIT_OBJECT_0; }

 private:
  HANDLE m_h;
};

class RegistryKey : public IRegistryKey {
 public:
  explicit RegistryKey(HKEY h) : m_h(h) {}
  ~RegistryKey() override { RegCloseKey(m_h); }
  uint32_t SubKey(uint32_t index, std::string& name) override {
    wchar_t buffer[256];  // the longest key name the registry allows, and its terminator
    DWORD length = 256;
    const LONG r = RegEnumKeyExW(m_h, index, buffer, &length, nullptr, nullptr, nullptr, nullptr);
    if (r != ERROR_SUCCESS) return static_cast<uint32_t>(r);
    name = Narrow(buffer, static_cast<int>(length));
    return 0;
  }
  uint32_t Value(uint32_t index, RegistryValue& value) override {
    DWORD nameMax = 0, dataMax = 0;
    LONG r = RegQueryInfoKeyW(m_h, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &nameMax,
                              &dataMax, nullptr, nullptr);
    if (r != ERROR_SUCCESS) return static_cast<uint32_t>(r);
    std::wstring name(nameMax + 1, L'\0');
    std::string data(dataMax, '\0');
    DWORD nameLength = nameMax + 1, dataLength = dataMax, type = 0;
    r = RegEnumValueW(m_h, index, &name[0], &nameLength, nullptr, &type,
                      data.empty() ? nullptr : reinterpret_cast<BYTE*>(&data[0]), &dataLength);
    if (r != ERROR_SUCCESS) return static_cast<uint32_t>(r);
    value.name = Narrow(name.data(), static_cast<int>(nameLength));
    value.type = type;
    value.data.assign(data.data(), dataLength);
    return 0;
  }
  uint32_t SetValue(const RegistryValue& value) override {
    const std::wstring name = Widen(value.name);
    return static_cast<uint32_t>(RegSetValueExW(m_h, name.c_str(), 0, value.type,
                                                reinterpret_cast<const BYTE*>(value.data.data()),
                                                static_cast<DWORD>(value.data.size())));
  }

 private:
  HKEY m_h;
};

// All the seams in one object: each is a handful of calls.
class Seams : public IServices, public IProcesses, public IRegistry, public IFiles, public IShell {
 public:
  std::unique_ptr<IServiceManager> OpenManager(uint32_t& error) override {
    SC_HANDLE h = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!h) {
      error = GetLastError();
      return nullptr;
    }
    return std::make_unique<ServiceManager>(h);
  }

  std::unique_ptr<IRunningProcess> OpenFirstNamed(const std::string& exeName) override {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return nullptr;
    const std::wstring wanted = Widen(exeName);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    DWORD id = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
      if (lstrcmpiW(entry.szExeFile, wanted.c_str()) == 0) {
        id = entry.th32ProcessID;
        break;
      }
    }
    CloseHandle(snapshot);
    if (id == 0) return nullptr;
    HANDLE h = OpenProcess(PROCESS_ALL_ACCESS, FALSE, id);
    return h ? std::make_unique<RunningProcess>(h) : nullptr;
  }
  std::unique_ptr<IRunningProcess> OpenForWait(uint32_t processId) override {
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, processId);
    return h ? std::make_unique<RunningProcess>(h) : nullptr;
  }

  std::unique_ptr<IRegistryKey> Create(const std::string& path, uint32_t& error) override {
    HKEY h = nullptr;
    const LONG r = RegCreateKeyExW(HKEY_LOCAL_MACHINE, Widen(path).c_str(), 0, nullptr, 0,
                                   KEY_READ | KEY_WRITE | kView, nullptr, &h, nullptr);
    if (r != ERROR_SUCCESS) {
      error = static_cast<uint32_t>(r);
      return nullptr;
    }
    return std::make_unique<RegistryKey>(h);
  }
  std::unique_ptr<IRegistryKey> OpenForReading(const std::string& path, uint32_t& error) override {
    HKEY h = nullptr;
    const LONG r = RegOpenKeyExW(HKEY_LOCAL_MACHINE, Widen(path).c_str(), 0, KEY_READ | kView, &h);
    if (r != ERROR_SUCCESS) {
      error = static_cast<uint32_t>(r);
      return nullptr;
    }
    return std::make_unique<RegistryKey>(h);
  }
  uint32_t DeleteLeaf(const std::string& path) override {
    return static_cast<uint32_t>(RegDeleteKeyExW(HKEY_LOCAL_MACHINE, Widen(path).c_str(), kView, 0));
  }

  uint32_t List(const std::string& folder, std::vector<FolderEntry>& entries) override {
    entries.clear();
    WIN32_FIND_DATAW found = {};
    HANDLE h = FindFirstFileW(Widen(folder + "\\*").c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) return GetLastError();
    do {
      FolderEntry entry;
      entry.name = Narrow(found.cFileName);
      entry.folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      entry.reparsePoint = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
      entries.push_back(entry);
    } while (FindNextFileW(h, &found));
    FindClose(h);
    return 0;
  }
  uint32_t CreateFolder(const std::string& path) override {
    if (CreateDirectoryW(Widen(path).c_str(), nullptr)) return 0;
    const DWORD error = GetLastError();
    return plain_folder(path) ? 0 : error;
  }
  bool Attributes(const std::string& path, uint32_t& attributes) override {
    const DWORD a = GetFileAttributesW(Widen(path).c_str());
    if (a == INVALID_FILE_ATTRIBUTES) return false;
    attributes = a;
    return true;
  }
  uint32_t SetNormal(const std::string& path) override {
    return last_error_or(SetFileAttributesW(Widen(path).c_str(), FILE_ATTRIBUTE_NORMAL));
  }
  uint32_t Copy(const std::string& from, const std::string& to) override {
    return last_error_or(CopyFileW(Widen(from).c_str(), Widen(to).c_str(), FALSE));
  }
  bool ReadHead(const std::string& path, size_t limit, std::string& data) override {
    data.clear();
    HANDLE h = CreateFileW(Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    char buffer[65536];
    DWORD got = 0;
    while (data.size() < limit && ReadFile(h, buffer, sizeof(buffer), &got, nullptr) && got > 0)
      data.append(buffer, std::min<size_t>(got, limit - data.size()));
    CloseHandle(h);
    return true;
  }
  uint32_t Remove(const std::string& path) override {
    return last_error_or(DeleteFileW(Widen(path).c_str()));
  }

  bool CommonStartMenu(std::string& folder) override {
    folder = folder_path(CSIDL_COMMON_STARTMENU);
    return !folder.empty();
  }
  uint32_t WriteInternetShortcut(const std::string& path, const std::string& url, const std::string& iconFile,
                                 const std::string& iconIndex) override {
    const std::wstring file = Widen(path);
    const wchar_t* section = L"InternetShortcut";
    if (!WritePrivateProfileStringW(section, L"URL", Widen(url).c_str(), file.c_str()) ||
        !WritePrivateProfileStringW(section, L"IconFile", Widen(iconFile).c_str(), file.c_str()) ||
        !WritePrivateProfileStringW(section, L"IconIndex", Widen(iconIndex).c_str(), file.c_str()))
      return GetLastError();
    return 0;
  }
  uint32_t CreateShellLink(const std::string& path, const std::string& target, const std::string& iconFile,
                           int iconIndex) override {
    IShellLinkW* link = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                  reinterpret_cast<void**>(&link));
    if (FAILED(hr)) return static_cast<uint32_t>(hr);
    link->SetPath(Widen(target).c_str());
    link->SetDescription(L"");
    link->SetIconLocation(Widen(iconFile).c_str(), iconIndex);
    IPersistFile* file = nullptr;
    hr = link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file));
    if (SUCCEEDED(hr)) {
      hr = file->Save(Widen(path).c_str(), TRUE);
      file->Release();
    }
    link->Release();
    return FAILED(hr) ? static_cast<uint32_t>(hr) : 0;
  }
  void NotifyChanged() override { SHChangeNotify(SHCNE_ALLEVENTS, SHCNF_IDLIST, nullptr, nullptr); }
  uint32_t Open(const std::string& file, const std::string& parameters) override {
    const HINSTANCE r =
        ShellExecuteW(nullptr, L"open", Widen(file).c_str(), Widen(parameters).c_str(), nullptr, SW_HIDE);
    return reinterpret_cast<INT_PTR>(r) > 32 ? 0 : GetLastError();
  }
};

}  // namespace

class CWindowsSystem : public Seams {
 public:
  CUpdateLogFile log;
};

void CUpdateLogFile::Line(const std::string& text) {
  const std::string appData = folder_path(CSIDL_COMMON_APPDATA);
  if (appData.empty()) return;
  const std::string product = appData + "\\Halvren", folder = product + "\\logs";
  if (!plain_folder(product) || !plain_folder(folder)) return;
  const platform::LocalTime now = platform::local_now();
  const std::string line = Format("%02d:%02d:%02d (%u): ", now.hour, now.minute, now.second,
                                  static_cast<unsigned>(platform::current_thread_id())) +
                           text + "\r\n";
  platform::append_to_file(folder + "\\" + platform::daily_log_name("monupdate_", now), line.data(),
                           line.size());
}

CWindowsUpdater::CWindowsUpdater() : m_system(std::make_unique<CWindowsSystem>()) {}
CWindowsUpdater::~CWindowsUpdater() = default;

UpdaterSeams CWindowsUpdater::Seams() {
  CWindowsSystem& s = *m_system;
  return UpdaterSeams{s.log,
                      s,
                      s,
                      s,
                      s,
                      s,
                      *platform::system_custom_runtime(),
                      [](uint32_t ms) { Sleep(ms); },
                      [](uint32_t code) { return win32::ErrorText(code); }};
}

}  // namespace updater
