// CMainWorker: the spine of the agent. One per process. It holds the identity
// and settings, runs the main loop thread that authorises with the gateway and
// exchanges a report every poll interval, executes the gateway's commands,
// owns the result cache and the monitors, and fires status events.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent/AgentSettings.h"
#include "agent/ExchangeInFlight.h"
#include "agent/Plugins/cpu_mon.h"
#include "agent/Plugins/mem_mon.h"
#include "agent/Plugins/disk_mon.h"
#include "agent/Plugins/event_log_mon.h"
#include "agent/Plugins/http_mon.h"
#include "agent/Plugins/icmp_mon.h"
#include "agent/Plugins/net_mon.h"
#include "agent/Plugins/proc_mon.h"
#include "agent/Plugins/snmp_mon.h"
#include "agent/Plugins/SnmpReads.h"
#include "agent/ResultCache.h"
#include "agent/StatusListener.h"
#include "platform/compression.h"
#include "platform/config_store.h"
#include "platform/config_values.h"
#include "platform/cpu_probe.h"
#include "platform/disk_probe.h"
#include "platform/adapter_names.h"
#include "platform/event_log_reader.h"
#include "platform/gateway_exchange.h"
#include "platform/http_check.h"
#include "platform/icmp_echo.h"
#include "platform/memory_probe.h"
#include "platform/process_probe.h"
#include "platform/system_info.h"
#include "platform/custom_runtime.h"
#include "platform/upgrade_host.h"

class CMonResult2;
class CMonitorManager;
class CWorkerCustomOwner;
namespace platform {
class IHttpTransport;
}

// The bounds of an upgrade attempt (tests shorten them).
struct UpgradeLimits {
  uint64_t packageBytes = 268435456;
  std::chrono::milliseconds download{600000};  // the whole GET, body included
  std::chrono::milliseconds unzip{60000};
  std::chrono::milliseconds stopWait{2000};  // a stop's wait for the upgrade thread
};

// The operating system as the worker sees it; tests hand in fakes. The seams
// must outlive the worker: its destructor still stops work through them.
struct WorkerSeams {
  platform::ConfigStore& config;
  IGatewayExchange& exchange;
  ICompression& compression;
  ISystemInfo& system;
  // What the monitors measure.
  ICpuProbe& cpu;
  IMemoryProbe& memory;
  IDiskProbe& disk;
  IProcessProbe& process;
  IIcmpEcho& icmp;
  std::function<time_t()> now = [] { return time(nullptr); };
  // Subscribed before the worker starts itself, so it hears the first events.
  IStatusListener* initialListener = nullptr;
  // How long a pass waits for its exchange, and a stop for a cancelled one.
  std::chrono::milliseconds exchangeLimit{50000};
  std::chrono::milliseconds exchangeStopWait{2000};
  // How the CPU and memory monitors read remote hosts; null: over the SNMP client.
  ISnmpReads* snmp = nullptr;
  // The event logs; none when null (every open fails).
  IEventLogReader* eventLog = nullptr;
  // The HTTP monitor's requests and the adapter names; none given: every
  // request fails and no adapter is listed.
  IHttpCheck* http = nullptr;
  IAdapterNames* adapters = nullptr;
  // The custom-monitor side's HTTP transport; without one (or without
  // APIHost) there are no custom monitors.
  platform::IHttpTransport* customHttp = nullptr;
  // The upgrade's download and files, and its process starts (the unzip tool,
  // the Updater); without both an UPD is stored but starts no download.
  platform::IUpgradeHost* upgrade = nullptr;
  platform::ICustomRuntime* processes = nullptr;
  UpgradeLimits upgradeLimits{};
  // Sees every agent-log line as well (tests read the upgrade's texts).
  std::function<void(const std::string&)> logTap = nullptr;
};

// What one exchange carries, decided once when it begins: an authorisation
// request (no body, confirms nothing) or a data exchange with the batch it
// took from the cache, if any.
struct ExchangePlan {
  bool authorization = false;
  CResultCache::BatchToken batchToken = CResultCache::kNoBatch;  // kNoBatch: no batch
};

// Wait of the main loop before its next pass, in seconds. A poll interval of 0
// (fresh start) becomes 60 with a 1-second first wait; waiting results are
// sent every second; otherwise the rest of the interval since the last wake.
struct MainLoopWait {
  uint32_t seconds;
  uint32_t pollInterval;  // the poll interval to keep
};
MainLoopWait ComputeMainLoopWait(uint32_t pollInterval, size_t cachedResults, int64_t secondsSinceWake);

// Whether `path` may be deleted as a left-over upgrade folder: a direct child
// of the temporary-files folder `temp` named "~mon..." without wildcards.
bool IsUpgradeFolder(std::string temp, const std::string& path);

// The unpack folder of an archive: its path with "~" before the file name
// (C:\Temp\monAB12.tmp: C:\Temp\~monAB12.tmp).
std::string UnpackFolderFor(const std::string& archive);
// A version text that may stand quoted on the Updater's command line: no
// double quote, no control character, no trailing backslash.
bool IsQuotableVersion(const std::string& version);
// An upgrade location without "http" in front gets "https://".
std::string NormaliseUpgradeLocation(const std::string& location);
bool IsHttpsLocation(const std::string& location);

class CMainWorker;
using CMonitor = CMonCheckerBase<CMainWorker>;

class CMainWorker {
 public:
  enum WorkState : uint32_t { Stopped = 1, Working = 2, Stopping = 4 };

  explicit CMainWorker(WorkerSeams seams);
  virtual ~CMainWorker();
  CMainWorker(const CMainWorker&) = delete;
  CMainWorker& operator=(const CMainWorker&) = delete;

  // Lifecycle. `message`, when given, receives the reason or remark.
  bool StartWork(std::string* message = nullptr);
  bool StopAllWorks(std::string* message = nullptr);

  void NotifyStatus(uint32_t code, const std::string& text);
  void NotifyStatus(uint32_t code, const std::wstring& text);
  void AddListener(IStatusListener* listener);
  void RemoveListener(IStatusListener* listener);

  uint32_t GetWorkState() const;
  bool IsWorking() const { return GetWorkState() == Working; }
  // An exchange that outlasted the stop's wait: destroying the worker would
  // wait for it (a program that must end now exits without destroying it).
  bool ExchangeStillRunning();
  uint32_t GetPollInterval() const;
  void SetPollInterval(uint32_t seconds);
  uint32_t GetCacheLimitMinutes() const;
  void SetCacheLimitMinutes(uint32_t minutes);  // clamped to 60..14400
  uint32_t GetBufferSize() const;
  void SetBufferSize(uint32_t bytes);  // clamped to 16384..262144
  uint32_t GetLastStatusCode() const;
  std::string GetEMail() const;
  std::string GetAgentKey() const;
  std::string GetAgentName() const;
  std::string GetProxy() const;
  bool IsAuthorized() const { return m_authorized; }
  std::string GetSessionID() const;

  // The custom-monitor API's credentials, locked; stored in memory and registry.
  std::string GetAPIHost() const;
  std::string GetAPIKey() const;
  void SetAPIKey(const std::string& key);
  std::string GetSecretKey() const;
  void SetSecretKey(const std::string& key);
  std::string GetAuthToken() const;
  void SetAuthToken(const std::string& token);
  uint32_t GetAgentID() const;  // AgentSettings::kNoAgentID when absent
  void SetAgentID(uint32_t id);
  // A new agent key, in memory and as "Agent Key"; no status, Authorized untouched.
  void StoreAgentKey(const std::string& key);
  bool IgnoreCertErrors() const { return m_ignoreCertErrors; }
  time_t Now() const { return m_seams.now(); }

  // Registration and settings from the control object.
  bool SetRegistration(const char* agentKey, const char* agentName);
  void ForgetRegistration();
  void SetProxy(const char* proxy);
  void SetTrace(bool on);
  bool GetTrace() const;

  // The gateway the constructor settled on.
  const std::string& GatewayHost() const { return m_gatewayHost; }
  const std::string& GatewayPath() const { return m_gatewayPath; }
  uint16_t GatewayPort() const { return m_gatewayPort; }
  bool UseSecureConnection() const { return m_useSecureConnection; }
  bool CompressionAvailable() const { return m_zlibAvailable; }

  // Results.
  void AddToCache(const CMonResult2* record) {
    m_cache.AddToCache(record, GetCacheLimitMinutes(), m_seams.now());
  }
  size_t CachedResults() const { return m_cache.Count(); }

  // Gateway session.
  void authorize();
  int SendPerfData();
  std::string BuildRequestHeaders(bool authorization, uint32_t checksum, uint32_t uncompressedSize);
  void ProcessAuthorizationResult(const std::string& value);
  // `plan` is what the exchange carried: only a data exchange's batch is confirmed.
  void ProcessServerReply(const std::string& body, uint32_t error, uint32_t status,
                          const ExchangePlan& plan = {});
  std::string HashedPassword() const;

  // Gateway commands.
  void ProcessCommands(const std::string& body);
  bool DispatchTest(const std::string& line);
  void ExecuteCommand(const std::vector<std::string>& fields);
  void SetCheckInterval(int32_t seconds);
  std::vector<int32_t> CheckPeriods() const;  // of the nine monitors, in member order
  void ResendLists();
  std::string GetUpgradeVersion() const;
  std::string GetUpgradeLocation() const;
  // An upgrade is under way (its log is still being written).
  bool UpgradeStarted() const { return m_upgradeStarted; }
  // Unpacks the archive and starts the Updater on it; true once it runs.
  bool MakeUpgrade(const std::string& archive, const std::string& version);

  void AppendLog(const std::string& line) const;

 protected:
  void SetWorkState(uint32_t state);
  // Adds the inventories that changed since they were last reported.
  void AddListsToCache();

 private:
  // The unit its exception records name, for all of the worker's sources.
  static constexpr const char* kUnit = "MainWorker";

  void mainWork();
  void MainLoop();
  // After each pass: creates the custom-monitor manager once authorised, and
  // runs its job poll.
  void RunCustomMonitors();
  void CleanUpgradeFolder();
  void BuildBody(const std::vector<uint8_t>& payload, GatewayRequest& request, uint32_t& checksum,
                 uint32_t& uncompressedSize);
  bool StoreUpgradeOrder(const std::string& version, const std::string& location);
  bool StopRequested();
  bool IsListening(IStatusListener* listener) const;
  // Waits up to `ms` unless the work stops first; false when it stopped.
  bool PauseWhileWorking(int ms);

  WorkerSeams m_seams;
  mutable platform::TraceLevelCache m_trace{m_seams.config};

  mutable std::mutex m_stateLock;
  uint32_t m_workState = Stopped;
  bool m_stopInProgress = false;  // from the claim until StopAllWorks returns
  std::mutex m_controlLock;       // one StartWork or StopAllWorks at a time

  std::mutex m_stopLock;  // the stop event of the main loop
  std::condition_variable m_stopEvent;
  bool m_stopSignalled = false;

  bool m_zlibAvailable = false;
  mutable std::mutex m_pollLock;
  uint32_t m_pollInterval = 0;
  mutable std::mutex m_cacheLimitLock;
  uint32_t m_cacheLimitMinutes = 300;
  mutable std::mutex m_bufferSizeLock;
  uint32_t m_bufferSize = 16384;

  std::mutex m_threadLock;  // guards m_mainThread
  std::thread m_mainThread;
  std::condition_variable m_stateChanged;  // with m_stateLock: the state or m_stopInProgress changed

  // Firings are serialised, in order, under m_firingLock (a listener may report
  // back from its callback); the list and the last status have a small lock of
  // their own, so that adding a listener or reading the last code never waits
  // for a slow sink.
  std::recursive_mutex m_firingLock;
  mutable std::mutex m_listenerLock;
  std::vector<IStatusListener*> m_listeners;
  uint32_t m_lastStatusCode = 4;
  time_t m_lastStatusTime = 0;

  mutable std::mutex m_credentialsLock;
  std::string m_sessionID;
  std::string m_email, m_password, m_agentName, m_proxy, m_agentKey;
  std::atomic<bool> m_authorized{false};
  std::atomic<bool> m_connectionLost{false};

  mutable AgentSettings m_settings;  // under m_credentialsLock
  CResultCache m_cache;

 protected:  // tests look at the monitors
  // The nine built-in monitors, in this order everywhere (owner, CHK, stop).
  CCPUmon<CMainWorker> m_cpuMon;
  CMemMon<CMainWorker> m_memMon;
  CDiskMon<CMainWorker> m_diskMon;
  CEventLogMon<CMainWorker> m_eventLogMon;
  CHttpMon<CMainWorker> m_httpMon;
  CICMPMon<CMainWorker> m_icmpMon;
  CNetMon<CMainWorker> m_netMon;
  CProcMon<CMainWorker> m_procMon;
  CSnmpMon<CMainWorker> m_snmpMon;
  CMonitor* const m_monitors[9] = {&m_cpuMon,  &m_memMon, &m_diskMon,  &m_eventLogMon, &m_httpMon,
                                   &m_icmpMon, &m_netMon, &m_procMon, &m_snmpMon};

 private:
  mutable std::mutex m_upgradeLock;
  std::string m_upgradeLocation, m_upgradeVersion;
  std::atomic<bool> m_upgradeStarted{false};
  // The upgrade thread, owned like the exchange: a stop aborts it and waits a
  // bounded time; a thread past the bound is joined by the destructor.
  bool StartUpgradeThread();
  void UpgradeThread();
  // The archive's path once written whole; on failure no file is left.
  bool DownloadPackage(const std::string& location, std::string& archive);
  // Cuts the download or the unzip short and waits for the thread (`wait`).
  void StopUpgrade(std::chrono::milliseconds wait);
  bool UpgradeAborted() const { return m_upgradeAbort; }
  std::mutex m_upgradeThreadLock;  // the members below
  std::condition_variable m_upgradeEnded;
  std::thread m_upgradeThread;
  bool m_upgradeRunning = false;   // the thread has not reached its end yet
  bool m_upgradeBlocked = false;   // from a stop until the next StartWork
  platform::IPackageGet* m_upgradeGet = nullptr;  // the running GET, for the stop's abort
  std::atomic<bool> m_upgradeAbort{false};

  std::string m_gatewayHost, m_gatewayPath;
  uint16_t m_gatewayPort = 443;
  bool m_useSecureConnection = true;
  bool m_ignoreCertErrors = false;
  std::string m_hostName, m_osVersion;

  // The custom-monitor manager: created, used and destroyed on mainWork;
  // other threads reach it only under m_customLock (a stop's Abort, CLT).
  std::unique_ptr<CWorkerCustomOwner> m_customOwner;
  std::mutex m_customLock;
  std::unique_ptr<CMonitorManager> m_customManager;
  bool m_customOffSaid = false;  // on mainWork

  CExchangeInFlight m_exchange;  // after everything its thread touches
};

// Set while the process-wide worker exists; the control object checks it.
extern std::atomic<bool> g_workerExists;
