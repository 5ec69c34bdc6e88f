#include "agent/MainWorker.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <system_error>

#include "agent/AgentIdentity.h"
#include "agent/LogWriter.h"
#include "agent/LogFormat.h"
#include "agent/TextFields.h"
#include "agent/custom/HTTPRequest.h"
#include "agent/custom/MonitorManager.h"
#include "agent/custom/WorkerCustomOwner.h"
#include "corelib/ExceptionRecord.h"
#include "corelib/utf8.h"
#include "platform/config_values.h"

std::atomic<bool> g_workerExists{false};

namespace {

std::string value_or_empty(const std::optional<std::string>& v) { return v ? *v : std::string(); }

// Stand-ins for seams a worker was not given.
class NoHttp : public IHttpCheck {
 public:
  HttpCheckResult Check(const HttpCheckRequest&, std::chrono::milliseconds, IHttpCheckSink&,
                        IHttpCheckStop&) override {
    return HttpCheckResult{};  // failed, no code
  }
  std::string ErrorText(uint32_t) override { return "No HTTP client."; }
};
IHttpCheck& NoHttpCheck() {
  static NoHttp none;
  return none;
}

class NoAdapters : public IAdapterNames {
 public:
  bool List(std::vector<std::string>& names, const std::function<void(const std::string&)>&) override {
    names.clear();
    return true;
  }
};
IAdapterNames& NoAdapterNames() {
  static NoAdapters none;
  return none;
}

}  // namespace

bool IsUpgradeFolder(std::string temp, const std::string& path) {
  if (temp.empty() || temp.size() > 260) return false;
  if (temp.back() != '\\' && temp.back() != '/') temp += '\\';
  if (path.size() <= temp.size()) return false;
  auto lower = [](unsigned char c) { return static_cast<char>(tolower(c)); };
  for (size_t i = 0; i < temp.size(); ++i) {
    char a = lower(path[i]), b = lower(temp[i]);
    if (a != b && !((a == '/' || a == '\\') && (b == '/' || b == '\\'))) return false;
  }
  std::string name = path.substr(temp.size());
  if (name.size() < 5 || name[0] != '~' || lower(name[1]) != 'm' || lower(name[2]) != 'o' ||
      lower(name[3]) != 'n')
    return false;
  // A direct child, named plainly: no separator, wildcard, stream or drive
  // colon, and no dots standing for a parent.
  if (name.find_first_of("\\/*?:\"<>|") != std::string::npos) return false;
  return name.find("..") == std::string::npos && name.back() != '.' && name.back() != ' ';
}

MainLoopWait ComputeMainLoopWait(uint32_t pollInterval, size_t cachedResults, int64_t secondsSinceWake) {
  if (pollInterval == 0) return {1, 60};
  if (cachedResults > 0) return {1, pollInterval};
  int64_t rest = static_cast<int64_t>(pollInterval) - secondsSinceWake;
  return {rest > 0 ? static_cast<uint32_t>(rest) : 1u, pollInterval};
}

CMainWorker::CMainWorker(WorkerSeams seams)
    : m_seams(seams),
      m_settings(seams.config),
      m_cache(
          seams.config, [this](const std::string& line) { AppendLog(line); }, m_settings.GetCacheMaxMB()),
      m_cpuMon(seams.cpu, seams.snmp ? *seams.snmp : DefaultSnmpReads()),
      m_memMon(seams.memory, seams.snmp ? *seams.snmp : DefaultSnmpReads()),
      m_diskMon(seams.disk),
      m_eventLogMon(seams.eventLog ? *seams.eventLog : NoEventLogReader()),
      m_httpMon(seams.http ? *seams.http : NoHttpCheck()),
      m_icmpMon(seams.icmp),
      m_netMon(seams.adapters ? *seams.adapters : NoAdapterNames()),
      m_procMon(seams.process),
      m_snmpMon([this] {
        std::lock_guard<std::mutex> lock(m_credentialsLock);
        return m_settings.GetTrapPort();
      }),
      m_exchange(seams.exchange) {
  try {
    m_email = value_or_empty(m_settings.GetEmail());
    m_password = value_or_empty(m_settings.GetPassword());
    m_agentKey = value_or_empty(m_settings.GetAgentKey());
    m_agentName = value_or_empty(m_settings.GetAgentName());
    m_proxy = value_or_empty(m_settings.GetProxy());
    m_ignoreCertErrors = m_settings.GetIgnoreCertErrors();

    m_gatewayHost = agent_identity::kDefaultGatewayHost;
    m_gatewayPath = agent_identity::kDefaultGatewayPath;
    m_gatewayPort = agent_identity::kDefaultGatewayPort;
    if (auto host = m_settings.GetHost()) {
      GatewayAddress address;
      if (SplitGatewayUrl(*host, address)) {
        m_gatewayHost = address.host;
        m_gatewayPath = address.path;
        m_gatewayPort = address.port;
        m_useSecureConnection = address.secure;
      }
    }
    if (m_seams.initialListener) m_listeners.push_back(m_seams.initialListener);
    if (m_seams.customHttp) m_customOwner = std::make_unique<CWorkerCustomOwner>(*this, *m_seams.customHttp);
    m_zlibAvailable = m_seams.compression.Available();
    m_lastStatusTime = m_seams.now();
    m_seams.system.EnableDebugPrivilege();
    m_hostName = m_seams.system.HostName();
    m_osVersion = m_seams.system.OSVersionString();

    AppendLog(Format(
        "\r\n******** Monitoring agent configuration ********\r\n     Login name: '%s'\r\n      Agent key: "
        "'%s'\r\n     Agent name: '%s'\r\n         Server: '%s'\r\n            Url: '%s'\r\n           Port: "
        "'%d'\r\n  Agent version: '%s'\r\n     OS Version: '%s'\r\n       Hostname: '%s'\r\n     Build date: '%s "
        "%s'\r\n************************************************\r\n",
        m_email.c_str(), m_agentKey.c_str(), m_agentName.c_str(), m_gatewayHost.c_str(), m_gatewayPath.c_str(),
        m_gatewayPort, agent_identity::kVersion, m_osVersion.c_str(), m_hostName.c_str(),
        agent_identity::kBuildDate, agent_identity::kBuildTime));
    g_workerExists = true;

    if ((!m_agentKey.empty() || (!m_email.empty() && !m_password.empty())) && !m_agentName.empty()) {
      std::string message;
      if (!StartWork(&message)) m_seams.system.ReportError(message);
    }
  } catch (...) {
    LOG_EXCEPTION_RECORD(kUnit);
  }
}

// Nothing goes before every thread that touches it has ended: a stop begun
// elsewhere is waited for, then the monitors' late checks, the exchange and
// the main loop are joined without limit. (A service whose stop overran exits
// without running this.)
CMainWorker::~CMainWorker() {
  try {
    {
      std::unique_lock<std::mutex> lock(m_stateLock);
      m_stateChanged.wait(lock, [this] { return !m_stopInProgress; });
    }
    StopAllWorks();
    g_workerExists = false;
    for (CMonitor* monitor : m_monitors) monitor->Shutdown();
    m_exchange.Cancel();
    m_exchange.Join(std::chrono::milliseconds::max());
    {
      std::lock_guard<std::mutex> lock(m_threadLock);
      if (m_mainThread.joinable()) m_mainThread.join();
    }
    StopUpgrade(std::chrono::milliseconds::max());
    std::unique_ptr<CMonitorManager> manager;
    {
      std::lock_guard<std::mutex> lock(m_customLock);
      manager = std::move(m_customManager);
    }
    manager.reset();
    JoinLeftoverHttpExchanges();
  } catch (...) {
    LOG_EXCEPTION_RECORD(kUnit);
  }
}

// ---- lifecycle ---------------------------------------------------------------

bool CMainWorker::StartWork(std::string* message) {
  try {
    std::lock_guard<std::mutex> control(m_controlLock);
    if (GetWorkState() != Stopped) {
      if (message) *message = "Halvren is already running.";
      return true;
    }
    {
      std::lock_guard<std::mutex> lock(m_credentialsLock);
      if (m_agentKey.empty() && (m_email.empty() || m_password.empty())) {
        if (message) *message = "The Agent Key is empty.";
        return false;
      }
      if (m_agentName.empty()) {
        if (message) *message = "The Agent Name is empty.";
        return false;
      }
      for (CMonitor* monitor : m_monitors) monitor->SetOwner(this);
      // The stored proxy, also after a restart, not only once SetProxy is called.
      m_httpMon.SetProxy(m_proxy);
      m_sessionID.clear();
      m_authorized = false;
    }
    // An exchange that outlasted the last stop's wait ends before new work begins.
    m_exchange.Join(std::chrono::milliseconds::max());
    {
      // So does an upgrade thread the last stop cut short; then UPDs count again.
      std::unique_lock<std::mutex> lock(m_upgradeThreadLock);
      m_upgradeEnded.wait(lock, [this] { return !m_upgradeRunning; });
      if (m_upgradeThread.joinable()) m_upgradeThread.join();
      m_upgradeBlocked = false;
    }
    {
      std::lock_guard<std::mutex> lock(m_threadLock);
      if (m_mainThread.joinable()) m_mainThread.join();  // ended on its own earlier
      {
        std::lock_guard<std::mutex> stop(m_stopLock);
        m_stopSignalled = false;
      }
      try {
        m_mainThread = std::thread([this] { mainWork(); });
      } catch (const std::system_error& e) {
        std::string text = m_seams.system.ErrorMessage(static_cast<uint32_t>(e.code().value()));
        m_seams.system.ReportError(text);
        if (message) *message = text;
        return false;
      }
      SetWorkState(Working);
    }
    NotifyStatus(5, std::string("Initialization completed"));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    return true;
  } catch (...) {
    LOG_EXCEPTION_RECORD(kUnit);
    return false;
  }
}

// The one stop order. Claiming Stopping first makes every later step final:
// a second stop backs off, the reply being processed stops at its next line,
// and no monitor starts again. Then the exchange is cut and joined (bounded),
// the monitors are signalled and waited for with one deadline, and the main
// loop ends.
bool CMainWorker::StopAllWorks(std::string* message) {
  try {
    {
      std::lock_guard<std::mutex> lock(m_stateLock);
      if (m_workState == Stopped) {
        if (message) *message = "Agent is already stopped.";
        return true;
      }
      if (m_workState == Stopping) {
        if (message) *message = "Currently, the agent stops all work, wait for completion of the process.";
        return false;
      }
      m_workState = Stopping;
      m_stopInProgress = true;
    }
    // Whatever happens below, the stop ends here for the destructor waiting on it.
    struct StopEnd {
      CMainWorker* w;
      ~StopEnd() {
        // Told under the lock: once the destructor sees the flag it may free
        // the worker, so nothing of it may be touched after the unlock.
        std::lock_guard<std::mutex> lock(w->m_stateLock);
        w->m_stopInProgress = false;
        w->m_stateChanged.notify_all();
      }
    } stopEnd{this};
    std::lock_guard<std::mutex> control(m_controlLock);
    m_exchange.Wake();  // authorize stops waiting for the exchange
    m_exchange.Cancel();
    // A download or unzip in progress ends and leaves no archive behind.
    StopUpgrade(m_seams.upgradeLimits.stopWait);
    {
      // The manager's job poll on mainWork ends at its next step; a request
      // it is waiting for ends now.
      std::lock_guard<std::mutex> lock(m_customLock);
      if (m_customManager) m_customManager->Abort();
    }
    // From the exchange's own thread (the gateway refused the agent) there is
    // nothing to wait for; an exchange past the bound is joined by the next
    // StartWork or the destructor.
    m_exchange.Join(m_seams.exchangeStopWait);
    for (CMonitor* monitor : m_monitors) monitor->SignalStop();
    auto deadline = CMonitor::Clock::now() + CMonitor::kStopWait;
    for (CMonitor* monitor : m_monitors) monitor->FinishStop(deadline);
    // The custom-monitor manager goes with the main loop, on its thread.
    {
      std::lock_guard<std::mutex> lock(m_stopLock);
      m_stopSignalled = true;
    }
    m_stopEvent.notify_all();
    {
      std::lock_guard<std::mutex> lock(m_threadLock);
      if (m_mainThread.joinable() && m_mainThread.get_id() != std::this_thread::get_id()) m_mainThread.join();
    }
    // Without a main loop (it ended by itself, or never ran) nobody else says so.
    if (GetWorkState() == Stopping) SetWorkState(Stopped);
    m_authorized = false;
    SetPollInterval(0);
    return true;
  } catch (...) {
    LOG_EXCEPTION_RECORD(kUnit);
    return false;
  }
}

uint32_t CMainWorker::GetWorkState() const {
  std::lock_guard<std::mutex> lock(m_stateLock);
  return m_workState;
}

void CMainWorker::SetWorkState(uint32_t state) {
  {
    std::lock_guard<std::mutex> lock(m_stateLock);
    m_workState = state;
  }
  m_stateChanged.notify_all();
  m_exchange.Wake();
}

bool CMainWorker::StopRequested() {
  std::lock_guard<std::mutex> lock(m_stopLock);
  return m_stopSignalled;
}

bool CMainWorker::PauseWhileWorking(int ms) {
  std::unique_lock<std::mutex> lock(m_stopLock);
  return !m_stopEvent.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_stopSignalled; });
}

// ---- the main loop ------------------------------------------------------------

void CMainWorker::mainWork() {
  try {
    auto lastWake = std::chrono::steady_clock::now();
    for (;;) {
      auto since = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - lastWake);
      MainLoopWait wait = ComputeMainLoopWait(GetPollInterval(), m_cache.Count(), since.count());
      if (wait.pollInterval != GetPollInterval()) SetPollInterval(wait.pollInterval);
      bool stopped;
      {
        std::unique_lock<std::mutex> lock(m_stopLock);
        stopped = m_stopEvent.wait_for(lock, std::chrono::seconds(wait.seconds), [this] { return m_stopSignalled; });
      }
      lastWake = std::chrono::steady_clock::now();
      if (stopped) {
        if (GetWorkState() == Stopping) break;
        std::lock_guard<std::mutex> lock(m_stopLock);
        m_stopSignalled = false;
        continue;
      }
      MainLoop();
      RunCustomMonitors();
    }
  } catch (...) {
    LOG_EXCEPTION_RECORD(kUnit);
  }
  try {
    std::unique_ptr<CMonitorManager> manager;
    {
      std::lock_guard<std::mutex> lock(m_customLock);
      manager = std::move(m_customManager);
    }
    manager.reset();  // stops its monitors and senders, bounded
  } catch (...) {
    LOG_EXCEPTION_RECORD(kUnit);
  }
  NotifyStatus(4, std::string("All monitors are stopped."));
  SetWorkState(Stopped);
}

void CMainWorker::RunCustomMonitors() {
  try {
    if (!m_authorized || GetWorkState() != Working || !m_customOwner) return;
    if (!m_customManager) {
      if (GetAPIHost().empty()) {
        if (!m_customOffSaid) NotifyStatus(10, std::string("Custom monitors are off: APIHost is not set."));
        m_customOffSaid = true;
        return;
      }
      auto manager = std::make_unique<CMonitorManager>(*m_customOwner);
      manager->SetCacheLimitMinutes(GetCacheLimitMinutes());
      std::lock_guard<std::mutex> lock(m_customLock);
      // A stop that began meanwhile finds no manager to abort: none is kept.
      if (GetWorkState() != Working) return;
      m_customManager = std::move(manager);
    }
    m_customManager->GetJobs();
  } catch (...) {
    LOG_EXCEPTION_RECORD(kUnit);
  }
}

bool CMainWorker::ExchangeStillRunning() { return m_exchange.Running() || LeftoverHttpExchanges() > 0; }

void CMainWorker::MainLoop() {
  try {
    // Unsent results age out even while the gateway does not take them.
    m_cache.AgeCache(GetCacheLimitMinutes(), m_seams.now());
    if (m_authorized) {
      if (GetWorkState() == Working) {
        AddListsToCache();
        authorize();
      }
      return;
    }
    NotifyStatus(10, std::string("Authorizing..."));
    if (GetWorkState() == Working) authorize();
    CleanUpgradeFolder();
    if (m_authorized) {
      for (int i = 0; i < 9 && GetWorkState() == Working; ++i) {
        if (!PauseWhileWorking(500)) break;
      }
      if (GetWorkState() == Working) {
        AddListsToCache();
        authorize();  // carries the first results
      }
    }
  } catch (...) {
    LOG_EXCEPTION_RECORD(kUnit);
  }
}

void CMainWorker::AddListsToCache() {
  CMonResult2 drives;
  if (m_diskMon.get_disks_list(drives)) AddToCache(&drives);
  CMonResult2 adapters;
  if (m_netMon.get_netadapter_list(adapters)) AddToCache(&adapters);
  CMonResult2 processes;
  if (m_procMon.get_proc_list(processes)) AddToCache(&processes);
}

void CMainWorker::CleanUpgradeFolder() {
  // The folder of this process's own hand-over is the running Updater's.
  if (m_upgradeStarted) return;
  std::optional<std::string> path;
  {
    std::lock_guard<std::mutex> lock(m_credentialsLock);
    path = m_settings.GetUpgradePath();
  }
  if (!path) return;
  if (IsUpgradeFolder(m_seams.system.TempFolder(), *path)) m_seams.system.DeleteFolderTree(*path);
  std::lock_guard<std::mutex> lock(m_credentialsLock);
  m_settings.DeleteUpgradePath();
}

// ---- status -------------------------------------------------------------------

void CMainWorker::NotifyStatus(uint32_t code, const std::wstring& text) {
  std::string utf8;
  WideToUtf8(text.c_str(), utf8);
  NotifyStatus(code, utf8);
}

void CMainWorker::NotifyStatus(uint32_t code, const std::string& text) {
  try {
    if (GetTrace()) AppendLog(text);
    time_t now = m_seams.now();
    std::lock_guard<std::recursive_mutex> firing(m_firingLock);
    std::vector<IStatusListener*> snapshot;
    {
      std::lock_guard<std::mutex> lock(m_listenerLock);
      // While authorised, repeated failures reach the listeners at most once per 120 seconds.
      if (m_authorized && (code == 2 || code == 9) && now - m_lastStatusTime < 120) return;
      snapshot = m_listeners;
    }
    for (IStatusListener* listener : snapshot) {
      // A listener removed by an earlier callback of this firing is not called.
      if (IsListening(listener)) listener->StatusChanged(code, text);
    }
    std::lock_guard<std::mutex> lock(m_listenerLock);
    if (code != 6 && code != 7 && code != 10) {
      m_lastStatusCode = code;
      m_lastStatusTime = now;
    }
    if (code == 8) m_listeners.clear();
  } catch (...) {
    LOG_EXCEPTION_RECORD(kUnit);
  }
}

bool CMainWorker::IsListening(IStatusListener* listener) const {
  std::lock_guard<std::mutex> lock(m_listenerLock);
  return std::find(m_listeners.begin(), m_listeners.end(), listener) != m_listeners.end();
}

void CMainWorker::AddListener(IStatusListener* listener) {
  if (!g_workerExists || !listener) return;
  std::lock_guard<std::mutex> lock(m_listenerLock);
  m_listeners.push_back(listener);
}

// Once this returns the listener is not called again: a firing in progress on
// another thread is waited for (from inside a callback, that firing is this one).
void CMainWorker::RemoveListener(IStatusListener* listener) {
  if (!g_workerExists) return;
  {
    std::lock_guard<std::mutex> lock(m_listenerLock);
    auto it = std::find(m_listeners.begin(), m_listeners.end(), listener);
    if (it == m_listeners.end()) return;
    m_listeners.erase(it);
  }
  std::lock_guard<std::recursive_mutex> firing(m_firingLock);
}

uint32_t CMainWorker::GetLastStatusCode() const {
  std::lock_guard<std::mutex> lock(m_listenerLock);
  return m_lastStatusCode;
}

// ---- settings -------------------------------------------------------------------

uint32_t CMainWorker::GetPollInterval() const {
  std::lock_guard<std::mutex> lock(m_pollLock);
  return m_pollInterval;
}

void CMainWorker::SetPollInterval(uint32_t seconds) {
  std::lock_guard<std::mutex> lock(m_pollLock);
  m_pollInterval = seconds;
}

uint32_t CMainWorker::GetCacheLimitMinutes() const {
  std::lock_guard<std::mutex> lock(m_cacheLimitLock);
  return m_cacheLimitMinutes;
}

void CMainWorker::SetCacheLimitMinutes(uint32_t minutes) {
  uint32_t limit;
  {
    std::lock_guard<std::mutex> lock(m_cacheLimitLock);
    m_cacheLimitMinutes = limit = std::clamp<uint32_t>(minutes, 60, 14400);
  }
  std::lock_guard<std::mutex> lock(m_customLock);
  if (m_customManager) m_customManager->SetCacheLimitMinutes(limit);
}

uint32_t CMainWorker::GetBufferSize() const {
  std::lock_guard<std::mutex> lock(m_bufferSizeLock);
  return m_bufferSize;
}

void CMainWorker::SetBufferSize(uint32_t bytes) {
  std::lock_guard<std::mutex> lock(m_bufferSizeLock);
  m_bufferSize = std::clamp<uint32_t>(bytes, 16384, 262144);
}

std::string CMainWorker::GetEMail() const {
  std::lock_guard<std::mutex> lock(m_credentialsLock);
  return m_email;
}

std::string CMainWorker::GetAgentKey() const {
  std::lock_guard<std::mutex> lock(m_credentialsLock);
  return m_agentKey;
}

std::string CMainWorker::GetAgentName() const {
  std::lock_guard<std::mutex> lock(m_credentialsLock);
  return m_agentName;
}

std::string CMainWorker::GetProxy() const {
  std::lock_guard<std::mutex> lock(m_credentialsLock);
  return m_proxy;
}

std::string CMainWorker::GetAPIHost() const {
  std::lock_guard<std::mutex> lock(m_credentialsLock);
  return value_or_empty(m_settings.GetAPIHost());
}

std::string CMainWorker::GetAPIKey() const {
  std::lock_guard<std::mutex> lock(m_credentialsLock);
  return value_or_empty(m_settings.GetAPIKey());
}

void CMainWorker::SetAPIKey(const std::string& key) {
  std::lock_guard<std::mutex> lock(m_credentialsLock);
  m_settings.SetAPIKey(key.c_str());
}

std::string CMainWorker::GetSecretKey() const {
  std::lock_guard<std::mutex> lock(m_credentialsLock);
  return value_or_empty(m_settings.GetSecretKey());
}

void CMainWorker::SetSecretKey(const std::string& key) {
  std::lock_guard<std::mutex> lock(m_credentialsLock);
  m_settings.SetSecretKey(key.c_str());
}

std::string CMainWorker::GetAuthToken() const {
  std::lock_guard<std::mutex> lock(m_credentialsLock);
  return value_or_empty(m_settings.GetAuthToken());
}

void CMainWorker::SetAuthToken(const std::string& token) {
  std::lock_guard<std::mutex> lock(m_credentialsLock);
  m_settings.SetAuthToken(token.c_str());
}

uint32_t CMainWorker::GetAgentID() const {
  std::lock_guard<std::mutex> lock(m_credentialsLock);
  return m_settings.GetAgentID();
}

void CMainWorker::SetAgentID(uint32_t id) {
  std::lock_guard<std::mutex> lock(m_credentialsLock);
  m_settings.SetAgentID(id);
}

void CMainWorker::StoreAgentKey(const std::string& key) {
  std::lock_guard<std::mutex> lock(m_credentialsLock);
  m_agentKey = key;
  m_settings.SetAgentKey(key.c_str());
}

std::string CMainWorker::GetSessionID() const {
  std::lock_guard<std::mutex> lock(m_credentialsLock);
  return m_sessionID;
}

bool CMainWorker::SetRegistration(const char* agentKey, const char* agentName) {
  if (!agentKey || !agentName) return false;
  {
    std::lock_guard<std::mutex> lock(m_credentialsLock);
    m_agentKey = agentKey;
    m_agentName = agentName;
  }
  NotifyStatus(7, std::string("Registration info will be set after server approval."));
  m_authorized = false;
  return true;
}

void CMainWorker::ForgetRegistration() {
  std::lock_guard<std::mutex> lock(m_credentialsLock);
  m_settings.DeleteRegistration();
  m_email.clear();
  m_password.clear();
  m_agentKey.clear();
  m_agentName.clear();
}

void CMainWorker::SetTrace(bool on) {
  std::lock_guard<std::mutex> lock(m_credentialsLock);
  m_settings.SetTrace(on ? 10 : 0);
}

bool CMainWorker::GetTrace() const { return m_trace.get() != 0; }

void CMainWorker::AppendLog(const std::string& line) const {
  agent_log().AppendLogLine(line);
  if (m_seams.logTap) m_seams.logTap(line);
}
