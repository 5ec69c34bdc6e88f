#include "agent/service/CorvaneModule.h"

#include <sddl.h>

#include <cstdio>

#include "agent/LogWriter.h"
#include "agent/service/LogCollectionWin32.h"
#include "agent/service/Registration.h"
#include "agent/service/ServiceInstaller.h"
#include "agent/service/WindowsShell.h"
#include "platform/win32/wide.h"

namespace {

using namespace std::chrono_literals;

CCorvaneModule* g_module = nullptr;

// How long the service may take to stop, from the stop control on.
constexpr ULONGLONG kStopLimitMs = 10000;
// A local server ends this long after its last client went.
constexpr auto kShutdownTimeout = 100ms;
// At the end of a run: how long a delivery to a client may still take.
constexpr auto kEventsStopWait = 1000ms;

std::wstring LoadText(UINT id) {
  wchar_t buffer[256] = {};
  const int n = LoadStringW(GetModuleHandleW(nullptr), id, buffer, 255);
  return std::wstring(buffer, n > 0 ? static_cast<size_t>(n) : 0);
}

void AgentLog(const std::string& line) { agent_log().AppendLogLine(line); }

// The COM security of the service: SYSTEM, the administrators and interactive
// users may call and activate; callers over the network are refused first.
void InitializeServiceSecurity() {
  PSECURITY_DESCRIPTOR relative = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
          L"O:SYG:SYD:(D;;0x1F;;;NU)(A;;0x0B;;;SY)(A;;0x0B;;;BA)(A;;0x0B;;;IU)", SDDL_REVISION_1, &relative,
          nullptr)) {
    AgentLog("Could not build the COM security descriptor: " + std::to_string(GetLastError()));
    return;
  }
  // CoInitializeSecurity takes the descriptor in absolute form.
  DWORD sdSize = 0, daclSize = 0, saclSize = 0, ownerSize = 0, groupSize = 0;
  MakeAbsoluteSD(relative, nullptr, &sdSize, nullptr, &daclSize, nullptr, &saclSize, nullptr, &ownerSize,
                 nullptr, &groupSize);
  std::vector<BYTE> sd(sdSize), dacl(daclSize + 1), sacl(saclSize + 1), owner(ownerSize + 1),
      group(groupSize + 1);
  if (MakeAbsoluteSD(relative, sd.data(), &sdSize, reinterpret_cast<PACL>(dacl.data()), &daclSize,
                     reinterpret_cast<PACL>(sacl.data()), &saclSize, owner.data(), &ownerSize, group.data(),
                     &groupSize)) {
    const HRESULT hr = CoInitializeSecurity(sd.data(), -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_PKT,
                                            RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
    if (FAILED(hr))
      AgentLog("CoInitializeSecurity failed: " + std::to_string(static_cast<unsigned long>(hr)));
  } else {
    AgentLog("Could not build the COM security descriptor: " + std::to_string(GetLastError()));
  }
  LocalFree(relative);
}

}  // namespace

CCorvaneModule& corvane_module() { return *g_module; }

CCorvaneModule::CCorvaneModule() {
  g_module = this;
  m_serviceName = LoadText(100);
  m_description = LoadText(101);
  wchar_t path[MAX_PATH + 1] = {};
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (n > 0 && n < MAX_PATH) m_modulePath.assign(path, n);
  m_notices = std::make_unique<CServiceNotices>(WindowsNoticeSeams(m_serviceName.c_str()));
  m_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  m_status.dwCurrentState = SERVICE_STOPPED;
  m_status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
}

CCorvaneModule::~CCorvaneModule() {
  {
    std::lock_guard<std::mutex> lock(m_monitorLock);
    m_monitorStop = true;
  }
  m_monitorWake.notify_all();
  if (m_monitor.joinable()) m_monitor.join();
  if (m_stopThread.joinable()) m_stopThread.join();
  m_factory.reset();
  if (m_typeLib != nullptr) m_typeLib->Release();
  g_module = nullptr;
}

int CCorvaneModule::Main(ProgramAction action) {
  if (IsRegistration(action)) return static_cast<int>(Registration(action));
  return Start();
}

HRESULT CCorvaneModule::Registration(ProgramAction action) {
  if (m_modulePath.empty()) return E_FAIL;
  CScmServiceManager scm;
  CServiceInstaller installer(scm, *m_notices);
  RegistrationContext c;
  c.serviceName = m_serviceName;
  c.description = m_description;
  c.modulePath = m_modulePath;
  c.installer = &installer;
  c.notices = m_notices.get();
  c.perUser = action == ProgramAction::RegServerPerUser || action == ProgramAction::UnregServerPerUser;
  const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  HRESULT hr = S_OK;
  switch (action) {
    case ProgramAction::RegServer:
    case ProgramAction::RegServerPerUser:
    case ProgramAction::Service:
      hr = RegisterAppId(c, action == ProgramAction::Service);
      if (SUCCEEDED(hr)) hr = RegisterClassAndTypeLibrary(c);
      if (SUCCEEDED(hr) && !c.perUser) hr = ProtectAgentKey();
      break;
    case ProgramAction::UnregServer:
    case ProgramAction::UnregServerPerUser:
      // Both halves are removed even when the first fails; the first failure is returned.
      hr = UnregisterClassAndTypeLibrary(c);
      if (const HRESULT appId = UnregisterAppId(c); SUCCEEDED(hr)) hr = appId;
      break;
    default: hr = E_INVALIDARG;
  }
  if (SUCCEEDED(init)) CoUninitialize();
  if (FAILED(hr)) {
    // The step that failed has told its own text; this is for the console.
    fwprintf(stderr, L"Registration failed: 0x%08lX\n", static_cast<unsigned long>(hr));
    fflush(stderr);
  }
  return hr;
}

int CCorvaneModule::Start() {
  std::wstring localService;
  LONG error = ERROR_SUCCESS;
  if (!ReadLocalService(localService, error)) return static_cast<int>(error);
  m_isService = !localService.empty();
  if (m_isService) {
    SERVICE_TABLE_ENTRYW table[] = {{&m_serviceName[0], ServiceMainThunk}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) return static_cast<int>(GetLastError());
    return static_cast<int>(m_status.dwWin32ExitCode);
  }
  m_mainThreadId = GetCurrentThreadId();
  const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(init)) return static_cast<int>(init);
  const HRESULT hr = Run();
  const bool clean = FinishRun();
  CoUninitialize();
  if (!clean) {
    agent_log().Stop();
    ExitProcess(static_cast<UINT>(hr));
  }
  m_worker.reset();
  return static_cast<int>(hr);
}

void WINAPI CCorvaneModule::ServiceMainThunk(DWORD, LPWSTR*) { g_module->ServiceMain(); }

void WINAPI CCorvaneModule::HandlerThunk(DWORD control) { g_module->Handler(control); }

void CCorvaneModule::ServiceMain() {
  // The main thread and its message queue exist before any control can
  // arrive, so a stop that comes during the start still finds its WM_QUIT.
  m_mainThreadId = GetCurrentThreadId();
  MSG probe;
  PeekMessageW(&probe, nullptr, WM_USER, WM_USER, PM_NOREMOVE);

  m_status.dwCurrentState = SERVICE_START_PENDING;
  m_statusHandle = RegisterServiceCtrlHandlerW(m_serviceName.c_str(), HandlerThunk);
  if (m_statusHandle == nullptr) {
    LogEvent(L"Handler not installed");
    return;
  }
  SetServiceState(SERVICE_START_PENDING);
  const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(init)) {
    SetServiceState(SERVICE_STOPPED, static_cast<DWORD>(init));
    return;
  }
  m_delayShutdown = false;
  const HRESULT hr = Run();
  const bool clean = FinishRun();
  if (!clean) {
    // Whatever still runs (a stop past its deadline, a client that does not
    // return) is not waited for: the service reports its end and the process goes.
    AgentLog("The stop is still under way; the process ends without waiting for it.");
    SetServiceState(SERVICE_STOPPED, static_cast<DWORD>(hr));
    LogEvent(L"Service stopped");
    agent_log().Stop();
    ExitProcess(static_cast<UINT>(hr));
  }
  CoUninitialize();
  m_worker.reset();
  SetServiceState(SERVICE_STOPPED, static_cast<DWORD>(hr));
  LogEvent(L"Service stopped");
}

void CCorvaneModule::SetServiceState(DWORD state, DWORD exitCode, DWORD checkPoint, DWORD waitHint) {
  std::lock_guard<std::mutex> lock(m_statusLock);
  m_status.dwCurrentState = state;
  m_status.dwWin32ExitCode = exitCode;
  m_status.dwCheckPoint = checkPoint;
  m_status.dwWaitHint = waitHint;
  // A stop is taken from the start on (the main thread's queue exists before
  // the handler does); not while one is under way.
  m_status.dwControlsAccepted =
      (state == SERVICE_STOP_PENDING || state == SERVICE_STOPPED) ? 0 : SERVICE_ACCEPT_STOP;
  if (m_statusHandle != nullptr) SetServiceStatus(m_statusHandle, &m_status);
}

void CCorvaneModule::LogEvent(const std::wstring& text) {
  if (!m_isService) {
    wprintf(L"%ls\n", text.c_str());
    fflush(stdout);
  }
  m_notices->Information(text);
}

void CCorvaneModule::Handler(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP: {
      {
        std::lock_guard<std::mutex> lock(m_runLock);
        if (m_stopRequested) return;
        m_stopRequested = true;
      }
      m_stopDeadline = GetTickCount64() + kStopLimitMs;
      SetServiceState(SERVICE_STOP_PENDING, NO_ERROR, 1, static_cast<DWORD>(kStopLimitMs));
      m_stopThread = std::thread([this] { StopProcedure(); });
      // The main loop may be waiting without a time-out: wake it to see the deadline.
      PostThreadMessageW(m_mainThreadId, WM_NULL, 0, 0);
      break;
    }
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
    case SERVICE_CONTROL_INTERROGATE:
    case SERVICE_CONTROL_SHUTDOWN: break;
    default: LogEvent(L"Bad service request");
  }
}

void CCorvaneModule::StopProcedure() {
  bool keyOpened = false;
  const std::wstring installPath = ReadInstallPath(keyOpened);
  if (keyOpened) AgentLog("Stopping service... Install path: '" + win32::Narrow(installPath) + "'");
  if (!installPath.empty()) TerminateFrontEnd(installPath, AgentLog);
  const ULONGLONG deadline = GetTickCount64() + kStopLimitMs;
  CMainWorker* worker = nullptr;
  {
    std::lock_guard<std::mutex> lock(m_runLock);
    worker = m_worker.get();
  }
  if (worker != nullptr) {
    worker->NotifyStatus(8, std::string("Service is stopped."));
    worker->StopAllWorks();
    DWORD checkPoint = 1, waitHint = static_cast<DWORD>(kStopLimitMs);
    while (GetTickCount64() < deadline && worker->GetWorkState() != CMainWorker::Stopped) {
      waitHint += 10000;
      SetServiceState(SERVICE_STOP_PENDING, NO_ERROR, ++checkPoint, waitHint);
      Sleep(1000);
    }
  }
  PostThreadMessageW(m_mainThreadId, WM_QUIT, 0, 0);
  m_stopDone = true;
}

bool CCorvaneModule::BuildWorker() {
  std::lock_guard<std::mutex> lock(m_runLock);
  if (m_stopRequested) return false;  // a stop before the start: nothing to build
  ProtectAgentKey();
  m_windows = std::make_unique<WindowsSeams>();
  m_worker = std::make_unique<CMainWorker>(m_windows->Seams());
  return true;
}

HRESULT CCorvaneModule::Run() {
  if (m_isService) InitializeServiceSecurity();
  if (!BuildWorker()) {
    PumpMessages();
    return S_OK;
  }
  HRESULT hr = LoadTypeLibEx(m_modulePath.c_str(), REGKIND_NONE, &m_typeLib);
  if (FAILED(hr)) return hr;
  m_caller = std::make_unique<CComCallerIdentity>();
  ControlObjectSeams seams;
  seams.worker = m_worker.get();
  seams.caller = m_caller.get();
  seams.typeLib = m_typeLib;
  m_collectionSeams = std::make_unique<CWindowsLogCollectionSeams>();
  m_collector = std::make_unique<CLogCollector>(*m_collectionSeams);
  seams.collectLogs = [this](std::string& path) {
    const CLogCollector::Result r = m_collector->CollectLogs(m_worker->UpgradeStarted());
    path = r.path;
    return r.outcome != CLogCollector::Outcome::failed;
  };
  seams.lockModule = [this] { Lock(); };
  seams.unlockModule = [this] { Unlock(); };
  seams.log = AgentLog;
  seams.afterUnregister = [] { ProtectAgentKey(); };
  // Everything is set up before the class object is registered: Wine does not
  // hold activations back for REGCLS_SUSPENDED.
  m_factory = std::make_unique<CHalvrenFactory>(seams);
  hr = CoRegisterClassObject(CLSID_Halvren, m_factory.get(), CLSCTX_LOCAL_SERVER,
                             REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED, &m_classCookie);
  if (SUCCEEDED(hr)) {
    if (m_delayShutdown) m_monitor = std::thread([this] { MonitorShutdown(); });
    hr = CoResumeClassObjects();
  }
  if (FAILED(hr)) {
    if (m_classCookie != 0) CoRevokeClassObject(m_classCookie);
    m_classCookie = 0;
    return hr;
  }
  if (m_isService) {
    LogEvent(L"Service started");
    // A stop that came during the start has reported STOP_PENDING already.
    std::lock_guard<std::mutex> lock(m_runLock);
    if (!m_stopRequested) SetServiceState(SERVICE_RUNNING);
  }
  PumpMessages();
  CoRevokeClassObject(m_classCookie);
  m_classCookie = 0;
  if (m_delayShutdown) std::this_thread::sleep_for(kShutdownTimeout);
  return S_OK;
}

void CCorvaneModule::PumpMessages() {
  for (;;) {
    DWORD wait = INFINITE;
    if (const ULONGLONG deadline = m_stopDeadline.load(); deadline != 0) {
      const ULONGLONG now = GetTickCount64();
      if (now >= deadline) {
        AgentLog("The stop did not end within its time; the main loop ends.");
        return;
      }
      wait = static_cast<DWORD>(deadline - now);
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, wait, QS_ALLINPUT);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) return;
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
}

bool CCorvaneModule::FinishRun() {
  {
    std::lock_guard<std::mutex> lock(m_monitorLock);
    m_monitorStop = true;
  }
  m_monitorWake.notify_all();
  if (m_monitor.joinable()) m_monitor.join();
  bool clean = true;
  if (m_factory) {
    if (CHalvren* object = m_factory->Object()) {
      clean = object->StopEvents(kEventsStopWait);
      // Clients' references go now, so the object does not outlive the worker.
      CoDisconnectObject(static_cast<IHalvren*>(object), 0);
    }
  }
  if (m_stopThread.joinable()) {
    if (m_stopDone) {
      m_stopThread.join();
    } else {
      clean = false;
    }
  }
  if (m_worker && m_worker->ExchangeStillRunning()) clean = false;
  if (clean) m_factory.reset();
  return clean;
}

void CCorvaneModule::Lock() {
  ++m_lockCount;
  std::lock_guard<std::mutex> lock(m_monitorLock);
  m_activity = true;
}

void CCorvaneModule::Unlock() {
  if (--m_lockCount != 0) return;
  if (m_isService) return;  // the last client's release never ends a service
  {
    std::lock_guard<std::mutex> lock(m_monitorLock);
    m_activity = true;
  }
  m_monitorWake.notify_all();
}

void CCorvaneModule::MonitorShutdown() {
  // Suspending and resuming the class objects are calls into COM.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  struct Apartment {
    HRESULT hr;
    ~Apartment() {
      if (SUCCEEDED(hr)) CoUninitialize();
    }
  } apartment{com};
  std::unique_lock<std::mutex> lock(m_monitorLock);
  for (;;) {
    m_monitorWake.wait(lock, [this] { return m_monitorStop || (m_activity && m_lockCount == 0); });
    if (m_monitorStop) return;
    // Quiet for a whole time-out with no client: suspend, look again, quit.
    do {
      m_activity = false;
      m_monitorWake.wait_for(lock, kShutdownTimeout, [this] { return m_monitorStop; });
      if (m_monitorStop) return;
    } while (m_activity);
    if (m_lockCount != 0) continue;
    lock.unlock();
    CoSuspendClassObjects();
    lock.lock();
    if (m_lockCount == 0) {
      PostThreadMessageW(m_mainThreadId, WM_QUIT, 0, 0);
      return;
    }
    lock.unlock();
    CoResumeClassObjects();  // a client came back meanwhile
    lock.lock();
  }
}
