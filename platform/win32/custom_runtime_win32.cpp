// The plugin runner's system seams on Windows. Every process starts
// suspended, hidden, in a console of its own, inside a job object that ends
// the whole tree when the job handle closes (so plugins also die with the
// agent); only then does it run. A spec may ask for no job: the Updater must
// outlive the agent that starts it.
#include <windows.h>
//
#include <exdisp.h>
#include <shldisp.h>
#include <shlobj.h>
#include <userenv.h>

#include <vector>

#include "platform/custom_runtime.h"
#include "platform/win32/error_text.h"
#include "platform/win32/wide.h"

namespace {

using win32::Narrow;
using win32::Widen;

class Process : public platform::IProcess {
 public:
  Process(HANDLE process, HANDLE job, DWORD jobError)
      : m_process(process), m_job(job), m_jobError(jobError) {}
  ~Process() override {
    // Closing the job handle ends whatever is still in it.
    if (m_job) CloseHandle(m_job);
    CloseHandle(m_process);
  }
  bool Wait(uint32_t ms) override { return WaitForSingleObject(m_process, ms) == WAIT_OBJECT_0; }
  uint32_t ExitCode() override {
    DWORD code = 255;
    if (!GetExitCodeProcess(m_process, &code)) code = 255;
    return code;
  }
  void EndTree(uint32_t exitCode) override {
    if (m_job) TerminateJobObject(m_job, exitCode);
    TerminateProcess(m_process, exitCode);
    WaitForSingleObject(m_process, 5000);
  }
  uint32_t JobError() const override { return m_jobError; }

 private:
  HANDLE m_process;
  HANDLE m_job;
  DWORD m_jobError;
};

class NamedLock : public platform::INamedLock {
 public:
  NamedLock(HANDLE handle, bool semaphore) : m_handle(handle), m_semaphore(semaphore) {}
  ~NamedLock() override { CloseHandle(m_handle); }
  bool Acquire(uint32_t ms) override {
    const DWORD r = WaitForSingleObject(m_handle, ms);
    return r == WAIT_OBJECT_0 || (!m_semaphore && r == WAIT_ABANDONED);
  }
  void Release() override {
    if (m_semaphore)
      ReleaseSemaphore(m_handle, 1, nullptr);
    else
      ReleaseMutex(m_handle);
  }

 private:
  HANDLE m_handle;
  bool m_semaphore;
};

// A job object per process tree; the caller logs a failure to join it.
HANDLE NewKillJob() {
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (!job) return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits))) {
    CloseHandle(job);
    return nullptr;
  }
  return job;
}

std::wstring FolderOf(const std::wstring& path) {
  const size_t at = path.find_last_of(L"\\/");
  return at == std::wstring::npos ? std::wstring() : path.substr(0, at);
}

class Runtime : public platform::ICustomRuntime {
 public:
  std::unique_ptr<platform::IProcess> Start(const platform::ProcessSpec& spec, uint32_t& error) override {
    std::wstring app = Widen(spec.application), line = Widen(spec.commandLine),
                 folder = Widen(spec.workingFolder);
    std::vector<wchar_t> mutableLine(line.begin(), line.end());
    mutableLine.push_back(L'\0');
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION pi = {};
    DWORD flags = CREATE_SUSPENDED | CREATE_NEW_CONSOLE | CREATE_UNICODE_ENVIRONMENT;
    // Out of any job the agent itself may run in, where that job allows it.
    if (!spec.killOnClose) flags |= CREATE_BREAKAWAY_FROM_JOB;
    BOOL ok;
    if (!spec.user.empty()) {
      // Fail closed: without a logon nothing runs.
      HANDLE token = nullptr;
      const std::wstring user = Widen(spec.user), password = Widen(spec.password);
      if (!LogonUserW(user.c_str(), L".", password.c_str(), LOGON32_LOGON_BATCH, LOGON32_PROVIDER_DEFAULT,
                      &token)) {
        error = GetLastError();
        return nullptr;
      }
      void* environment = nullptr;
      wchar_t profile[MAX_PATH] = {};
      DWORD profileSize = MAX_PATH;
      CreateEnvironmentBlock(&environment, token, FALSE);
      GetUserProfileDirectoryW(token, profile, &profileSize);
      CloseHandle(token);
      ok = CreateProcessWithLogonW(user.c_str(), L".", password.c_str(), LOGON_WITH_PROFILE,
                                   app.empty() ? nullptr : app.c_str(), mutableLine.data(), flags,
                                   environment, profile[0] ? profile : nullptr, &si, &pi);
      error = ok ? 0 : GetLastError();
      if (environment) DestroyEnvironmentBlock(environment);
    } else {
      ok = CreateProcessW(app.empty() ? nullptr : app.c_str(), mutableLine.data(), nullptr, nullptr, FALSE,
                          flags, nullptr, folder.empty() ? nullptr : folder.c_str(), &si, &pi);
      error = ok ? 0 : GetLastError();
      if (!ok && error == ERROR_ACCESS_DENIED && (flags & CREATE_BREAKAWAY_FROM_JOB)) {
        flags &= ~CREATE_BREAKAWAY_FROM_JOB;
        ok = CreateProcessW(app.empty() ? nullptr : app.c_str(), mutableLine.data(), nullptr, nullptr, FALSE,
                            flags, nullptr, folder.empty() ? nullptr : folder.c_str(), &si, &pi);
        error = ok ? 0 : GetLastError();
      }
    }
    if (!ok) return nullptr;
    if (!spec.killOnClose) {
      ResumeThread(pi.hThread);
      CloseHandle(pi.hThread);
      return std::make_unique<Process>(pi.hProcess, nullptr, 0);
    }
    HANDLE job = NewKillJob();
    DWORD jobError = job ? 0 : GetLastError();
    if (job && !AssignProcessToJobObject(job, pi.hProcess)) {
      jobError = GetLastError();
      CloseHandle(job);
      job = nullptr;
    }
    if (job == nullptr && jobError == 0) jobError = ERROR_GEN_FAILURE;
    ResumeThread(pi.hThread);
    CloseHandle(pi.hThread);
    return std::make_unique<Process>(pi.hProcess, job, jobError);
  }

  std::unique_ptr<platform::INamedLock> OpenNamedSemaphore(const std::string& name, uint32_t count) override {
    if (count == 0) count = 1;
    HANDLE h =
        CreateSemaphoreW(nullptr, static_cast<LONG>(count), static_cast<LONG>(count), Widen(name).c_str());
    if (!h) return nullptr;
    return std::make_unique<NamedLock>(h, true);
  }
  std::unique_ptr<platform::INamedLock> OpenNamedMutex(const std::string& name) override {
    HANDLE h = CreateMutexW(nullptr, FALSE, Widen(name).c_str());
    if (!h) return nullptr;
    return std::make_unique<NamedLock>(h, false);
  }

  bool Exists(const std::string& path) override {
    const DWORD a = GetFileAttributesW(Widen(path).c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
  }
  bool FolderExists(const std::string& path) override {
    const DWORD a = GetFileAttributesW(Widen(path).c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) &&
           !(a & FILE_ATTRIBUTE_REPARSE_POINT);
  }
  bool CreateFolder(const std::string& path) override {
    return CreateDirectoryW(Widen(path).c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
  }
  bool ReadFileData(const std::string& path, size_t limit, std::string& data, bool& cut) override {
    data.clear();
    cut = false;
    HANDLE h = CreateFileW(Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    char buffer[65536];
    DWORD got = 0;
    while (::ReadFile(h, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
      const size_t room = limit - data.size();
      if (got > room) {
        data.append(buffer, room);
        cut = true;
        break;
      }
      data.append(buffer, got);
    }
    CloseHandle(h);
    return true;
  }
  bool WriteFileData(const std::string& path, const std::string& data) override {
    HANDLE h = CreateFileW(Widen(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    size_t done = 0;
    bool ok = true;
    while (ok && done < data.size()) {
      DWORD wrote = 0;
      const DWORD chunk = static_cast<DWORD>(std::min<size_t>(data.size() - done, 1 << 20));
      ok = ::WriteFile(h, data.data() + done, chunk, &wrote, nullptr) && wrote == chunk;
      done += wrote;
    }
    CloseHandle(h);
    return ok;
  }
  void RemoveFile(const std::string& path) override { DeleteFileW(Widen(path).c_str()); }

  std::string AppDataFolder() override {
    wchar_t path[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path)))
      return std::string();
    return Narrow(path);
  }
  std::string SystemFolder() override {
    wchar_t path[MAX_PATH] = {};
    const UINT n = GetSystemDirectoryW(path, MAX_PATH);
    return n > 0 && n < MAX_PATH ? Narrow(path) : std::string();
  }
  std::string SystemWow64Folder() override {
    wchar_t path[MAX_PATH] = {};
    const UINT n = GetSystemWow64DirectoryW(path, MAX_PATH);
    return n > 0 && n < MAX_PATH ? Narrow(path) : SystemFolder();
  }
  std::string ProgramFolder() override {
    wchar_t path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return std::string();
    return Narrow(FolderOf(path));
  }
  std::string CommandShell() override { return SystemFolder() + "\\cmd.exe"; }

  bool ShellUnzip(const std::string& archive, const std::string& folder, std::string& log) override;

  time_t Now() override { return time(nullptr); }
};

std::string HrText(HRESULT hr) {
  if (hr == S_FALSE) return "S_FALSE: nothing returned";
  std::string text = win32::ErrorText(static_cast<uint32_t>(hr));
  return text.empty() ? "Unknown error" : text;
}

bool Runtime::ShellUnzip(const std::string& archive, const std::string& folder, std::string& log) {
  const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(init) && init != RPC_E_CHANGED_MODE) {
    log = "CoInitializeEx failed!!! (" + HrText(init) + ")";
    return false;
  }
  struct Uninit {
    bool on;
    ~Uninit() {
      if (on) CoUninitialize();
    }
  } uninit{SUCCEEDED(init)};
  IShellDispatch* shell = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_Shell, nullptr, CLSCTX_INPROC_SERVER, IID_IShellDispatch,
                                reinterpret_cast<void**>(&shell));
  if (FAILED(hr) || !shell) {
    log = "CoCreateInstance for IID_IShellDispatch failed!!! (" + HrText(hr) + ")";
    return false;
  }
  Folder* zip = nullptr;
  Folder* target = nullptr;
  FolderItems* items = nullptr;
  bool ok = false;
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(Widen(archive).c_str());
  hr = shell->NameSpace(v, &zip);
  VariantClear(&v);
  if (hr != S_OK || !zip) {
    log = "NameSpace retrieval for zip file failed!!! (" + HrText(hr) + ")";
  } else {
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(Widen(folder).c_str());
    hr = shell->NameSpace(v, &target);
    VariantClear(&v);
    if (hr != S_OK || !target) {
      log = "NameSpace retrieval for folder failed!!! (" + HrText(hr) + ")";
    } else if (FAILED(hr = zip->Items(&items)) || !items) {
      log = "Items retrieval for zip file failed!!! (" + HrText(hr) + ")";
    } else {
      long count = 0;
      if (FAILED(hr = items->get_Count(&count))) {
        log = "Items count retrieval for zip file failed!!! (" + HrText(hr) + ")";
      } else if (count < 1) {
        log = "Zip file is empty!!!";
      } else {
        VARIANT what, options;
        VariantInit(&what);
        VariantInit(&options);
        what.vt = VT_DISPATCH;
        what.pdispVal = items;
        options.vt = VT_I4;
        options.lVal = 1556;
        hr = target->CopyHere(what, options);
        if (FAILED(hr)) {
          log = "CopyHere failed!!! (" + HrText(hr) + ")";
        } else {
          log = "Files count '" + std::to_string(count) + "'; Unzipped successfully.";
          ok = true;
        }
      }
    }
  }
  if (items) items->Release();
  if (target) target->Release();
  if (zip) zip->Release();
  shell->Release();
  return ok;
}

}  // namespace

namespace platform {

ICustomRuntime* system_custom_runtime() {
  static Runtime runtime;
  return &runtime;
}

}  // namespace platform
