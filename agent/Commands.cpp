// The gateway's reply body: test definitions for the monitors and commands
// that steer the agent, one per line.
#include <cctype>

#include "agent/LogFormat.h"
#include "agent/MainWorker.h"
#include "agent/TextFields.h"
#include "corelib/ExceptionRecord.h"

namespace {

uint32_t non_negative(int32_t n) { return n < 0 ? 0u : static_cast<uint32_t>(n); }

}  // namespace

void CMainWorker::ProcessCommands(const std::string& body) {
  try {
    if (body.empty()) return;
    if (body == "111111") {
      // The gateway ended the session; the next pass authorises again.
      std::lock_guard<std::mutex> lock(m_credentialsLock);
      m_sessionID.clear();
      m_authorized = false;
      return;
    }
    std::vector<std::string> lines = SplitText(body, '\n');
    if (lines.empty()) return;
    for (const std::string& line : lines) {
      // A stop claimed meanwhile ends the reply here: nothing older than the
      // stop may change a setting or start a monitor after it.
      if (!IsWorking()) return;
      AppendLog(Format("Processing command '%s'...", line.c_str()));
      if (DispatchTest(line)) continue;
      std::vector<std::string> fields = SplitText(line, '\t');
      if (!fields.empty()) ExecuteCommand(fields);
    }
    AppendLog("Data processed successfully.");
  } catch (...) {
    LOG_EXCEPTION_RECORD(kUnit);
  }
}

bool CMainWorker::DispatchTest(const std::string& line) {
  if (line.size() < 3 || (line[2] != 'A' && line[2] != 'M' && line[2] != 'D')) return false;
  const struct {
    const char* prefix;
    CMonitor* monitor;
  } routes[] = {
      {"CU", &m_cpuMon},  {"MM", &m_memMon}, {"DK", &m_diskMon}, {"LE", &m_eventLogMon}, {"HP", &m_httpMon},
      {"PG", &m_icmpMon}, {"NT", &m_netMon}, {"PR", &m_procMon}, {"SP", &m_snmpMon},     {"TR", &m_snmpMon},
  };
  for (const auto& route : routes) {
    if (line.compare(0, 2, route.prefix) == 0) return route.monitor->ProcessTest(line.c_str());
  }
  return false;
}

void CMainWorker::ExecuteCommand(const std::vector<std::string>& fields) {
  const std::string& name = fields[0];
  const size_t n = fields.size();
  if (name == "POL" && n >= 3) {
    AppendLog(Format("POL command received: timeout: '%s'", fields[2].c_str()));
    SetPollInterval(non_negative(ReadNumber(fields[2])));
  } else if (name == "CHK" && n >= 3) {
    AppendLog(Format("CHK command received: interval: '%s'", fields[2].c_str()));
    SetCheckInterval(ReadNumber(fields[2]));
  } else if (name == "UPD" && n >= 3) {
    AppendLog(Format("(Upgrade) UPD command received: '%s' '%s' '%s'", fields[1].c_str(), fields[2].c_str(),
                     n > 3 ? fields[3].c_str() : ""));
    // The version stands quoted on the Updater's command line.
    if (!fields[1].empty() && !IsQuotableVersion(fields[1])) {
      AppendLog(Format("(Upgrade) Refusing version text '%s'", fields[1].c_str()));
      return;
    }
    // No digest comes with the order: only a connection as safe as the
    // gateway's may bring the package.
    if (m_useSecureConnection && !IsHttpsLocation(NormaliseUpgradeLocation(fields[2]))) {
      AppendLog(Format("(Upgrade) Refusing unencrypted download location '%s'", fields[2].c_str()));
      return;
    }
    if (!StoreUpgradeOrder(fields[1], fields[2])) return;
    // The download thread starts here, unless an upgrade is already under way.
    StartUpgradeThread();
  } else if (name == "BFS" && n >= 2) {
    AppendLog(Format("BFS command received: size: '%s'", fields[1].c_str()));
    SetBufferSize(non_negative(ReadNumber(fields[1])));
  } else if (name == "CLT" && n >= 2) {
    const std::string& value = n >= 3 ? fields[2] : fields[1];
    AppendLog(Format("CLT command received: timeout: '%s'", value.c_str()));
    SetCacheLimitMinutes(non_negative(ReadNumber(value)));
  } else if (name == "RPL") {
    ResendLists();
  }
}

void CMainWorker::SetCheckInterval(int32_t seconds) {
  if (seconds < 1) return;
  for (CMonitor* monitor : m_monitors) {
    if (monitor->GetCheckPeriod() == seconds) continue;
    monitor->SetCheckPeriod(seconds);
    monitor->ResetSchedule();
  }
}

std::vector<int32_t> CMainWorker::CheckPeriods() const {
  std::vector<int32_t> periods;
  for (const CMonitor* monitor : m_monitors) periods.push_back(monitor->GetCheckPeriod());
  return periods;
}

void CMainWorker::ResendLists() {
  // Forgotten inventories are sent in full by the next pass of the main loop.
  m_diskMon.ResetDisksList();
  m_netMon.ResetNetAdapterList();
  m_procMon.ResetProcList();
}

std::string NormaliseUpgradeLocation(const std::string& location) {
  bool hasScheme = location.size() >= 5 && tolower(static_cast<unsigned char>(location[0])) == 'h' &&
                   tolower(static_cast<unsigned char>(location[1])) == 't' &&
                   tolower(static_cast<unsigned char>(location[2])) == 't' &&
                   tolower(static_cast<unsigned char>(location[3])) == 'p';
  return hasScheme ? location : "https://" + location;
}

bool IsHttpsLocation(const std::string& location) {
  static const char kScheme[] = "https://";
  if (location.size() < sizeof kScheme - 1) return false;
  for (size_t i = 0; i + 1 < sizeof kScheme; ++i)
    if (tolower(static_cast<unsigned char>(location[i])) != kScheme[i]) return false;
  return true;
}

bool CMainWorker::StoreUpgradeOrder(const std::string& version, const std::string& location) {
  if (version.empty() || location.empty()) return false;
  std::lock_guard<std::mutex> lock(m_upgradeLock);
  m_upgradeLocation = NormaliseUpgradeLocation(location);
  m_upgradeVersion = version;
  return true;
}

std::string CMainWorker::GetUpgradeVersion() const {
  std::lock_guard<std::mutex> lock(m_upgradeLock);
  return m_upgradeVersion;
}

std::string CMainWorker::GetUpgradeLocation() const {
  std::lock_guard<std::mutex> lock(m_upgradeLock);
  return m_upgradeLocation;
}
