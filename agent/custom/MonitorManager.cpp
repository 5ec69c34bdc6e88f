#include "agent/custom/MonitorManager.h"

#include <cctype>

#include "agent/LogFormat.h"
#include "agent/custom/CorvaneAPIRequest.h"
#include "agent/custom/PluginMonitor.h"
#include "corelib/ExceptionRecord.h"

namespace {

constexpr const char* kUnit = "CMonitorManager";

bool EqualsNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

std::string TrimRight(std::string text) {
  while (!text.empty() && isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  return text;
}

std::string Trim(const std::string& text) {
  size_t b = 0;
  while (b < text.size() && isspace(static_cast<unsigned char>(text[b]))) ++b;
  return TrimRight(text.substr(b));
}

bool IsPluginMonitor(const CCustomMonitor& m) {
  return m.Job().type == CustomJob::Add || m.Job().type == CustomJob::Edit;
}

}  // namespace

CMonitorManager::CMonitorManager(ICustomMonitorOwner& owner, JobFactory factory)
    : m_owner(owner), m_factory(std::move(factory)) {
  if (!m_factory)
    m_factory = [](CMonitorManager* manager, CustomJob job) -> std::shared_ptr<CCustomMonitor> {
      if (platform::ICustomRuntime* runtime = manager->Owner().CustomRuntime())
        return std::make_shared<CPluginMonitor>(manager, std::move(job), *runtime);
      return std::make_shared<CCustomMonitor>(manager, std::move(job));
    };
  std::lock_guard<std::mutex> hold(m_sendersLock);
  for (size_t i = 0; i < kSenders; ++i) {
    m_senders.push_back(std::make_unique<CResultsSendThread>());
    m_senders.back()->Attach(&m_owner, this);
    if (m_owner.StartsSenders()) m_senders.back()->StartThread();
  }
}

CMonitorManager::~CMonitorManager() {
  try {
    const auto deadline = CCustomMonitor::Clock::now() + kStopWait;
    WriteLogLine(10, "Stopping custom monitors...");
    Jobs jobs;
    {
      std::lock_guard<std::mutex> hold(m_monitorsLock);
      for (auto& entry : m_monitors) jobs.push_back(std::move(entry.second));
      m_monitors.clear();
      for (auto& job : m_updates) jobs.push_back(std::move(job));
      m_updates.clear();
      for (auto& job : m_finished) jobs.push_back(std::move(job));
      m_finished.clear();
    }
    StopJobs(jobs, deadline);
    jobs.clear();  // each job's destructor joins what is left of it
    WriteLogLine(10, "Custom monitors are stopped.");
    WriteLogLine(10, "Stopping result sending threads...");
    std::vector<std::unique_ptr<CResultsSendThread>> senders;
    {
      std::lock_guard<std::mutex> hold(m_sendersLock);
      senders.swap(m_senders);
    }
    {
      std::lock_guard<std::mutex> hold(m_monitorsLock);
      m_nextThreadIndex = 1;
    }
    for (auto& sender : senders) sender->SignalStop();
    for (auto& sender : senders) sender->FinishStop(deadline);
    senders.clear();
    WriteLogLine(10, "Result sending threads are stopped.");
  } catch (...) {
    LOG_EXCEPTION_RECORD(kUnit);
  }
}

void CMonitorManager::StopJobs(Jobs& jobs, CCustomMonitor::Clock::time_point deadline) {
  for (auto& job : jobs)
    if (job) job->SignalStop();
  for (auto& job : jobs)
    if (job) job->FinishStop(deadline);
}

void CMonitorManager::WriteLogLine(uint32_t code, const std::string& text) {
  m_owner.NotifyStatus(code, text);
}

bool CMonitorManager::Working() {
  {
    std::lock_guard<std::mutex> hold(m_requestLock);
    if (m_stopping) return false;
  }
  return m_owner.IsWorking();
}

void CMonitorManager::Abort() {
  std::lock_guard<std::mutex> hold(m_requestLock);
  m_stopping = true;
  if (m_request) m_request->Abort();
}

void CMonitorManager::SetCacheLimitMinutes(uint32_t minutes) {
  std::lock_guard<std::mutex> hold(m_sendersLock);
  for (auto& sender : m_senders) sender->SetCacheLimitMinutes(minutes);
}

void CMonitorManager::AddResult(uint32_t monitorId, uint32_t jobId, const std::string& pluginName,
                                uint64_t threadIndex, int64_t checkTime, const std::string& results,
                                bool isError) {
  std::lock_guard<std::mutex> hold(m_sendersLock);
  if (threadIndex >= m_senders.size()) return;
  m_senders[threadIndex]->AddResult({monitorId, jobId, pluginName, checkTime, results, isError});
}

void CMonitorManager::RemoveJobs(const std::string& jobIds) {
  std::lock_guard<std::mutex> hold(m_sendersLock);
  if (!m_senders.empty()) m_senders[0]->AddRemoveJobs(jobIds, std::string());
}

void CMonitorManager::RemoveJob(CCustomMonitor* job, const std::string& status) {
  if (job == nullptr) return;
  {
    std::lock_guard<std::mutex> hold(m_monitorsLock);
    auto it = m_monitors.find({Kind::Run, job->Job().jobId});
    if (it != m_monitors.end() && it->second.get() == job) {
      m_finished.push_back(std::move(it->second));
      m_monitors.erase(it);
    }
  }
  std::lock_guard<std::mutex> hold(m_sendersLock);
  if (!m_senders.empty())
    m_senders[0]->AddRemoveJobs(Format("%lu", static_cast<unsigned long>(job->Job().jobId)), status);
}

size_t CMonitorManager::StartAllPlugins() {
  Jobs start;
  size_t count;
  {
    std::lock_guard<std::mutex> hold(m_monitorsLock);
    for (auto& entry : m_monitors) {
      CCustomMonitor& m = *entry.second;
      if (m.IsRunning()) continue;
      // A plugin under update starts again when its update is done.
      bool updating = false;
      for (auto& update : m_updates)
        if (!update->Finished() && EqualsNoCase(update->Job().pluginName, m.Job().pluginName))
          updating = true;
      if (!updating) start.push_back(entry.second);
    }
    count = m_monitors.size();
  }
  for (auto& m : start) m->StartCheck();
  return count;
}

void CMonitorManager::StartPlugins(const std::string& pluginName) {
  Jobs start;
  {
    std::lock_guard<std::mutex> hold(m_monitorsLock);
    for (auto& entry : m_monitors)
      if (IsPluginMonitor(*entry.second) && !entry.second->IsRunning() &&
          EqualsNoCase(entry.second->Job().pluginName, pluginName))
        start.push_back(entry.second);
  }
  for (auto& m : start) m->StartCheck();
}

void CMonitorManager::StopPlugins(const std::string& pluginName, CCustomMonitor* caller) {
  Jobs stop;
  {
    std::lock_guard<std::mutex> hold(m_monitorsLock);
    for (auto& entry : m_monitors)
      if (entry.second.get() != caller && IsPluginMonitor(*entry.second) &&
          EqualsNoCase(entry.second->Job().pluginName, pluginName))
        stop.push_back(entry.second);
  }
  StopJobs(stop, CCustomMonitor::Clock::now() + kStopWait);
}

void CMonitorManager::DeleteMonitorW(uint32_t monitorId) {
  Jobs stop;
  {
    std::lock_guard<std::mutex> hold(m_monitorsLock);
    auto it = m_monitors.find({Kind::Monitor, monitorId});
    if (it == m_monitors.end()) return;
    stop.push_back(std::move(it->second));
    m_monitors.erase(it);
  }
  StopJobs(stop, CCustomMonitor::Clock::now() + kStopWait);
}

CCustomMonitor::Clock::time_point CMonitorManager::TakeStartSlot(std::chrono::milliseconds second) {
  std::lock_guard<std::mutex> hold(m_slotLock);
  const auto now = CCustomMonitor::Clock::now();
  if (m_slot + second <= now) {
    m_slot = now;
    m_slotUsed = 0;
  }
  if (m_slotUsed >= kStartsPerSecond) {
    m_slot += second;
    m_slotUsed = 0;
  }
  ++m_slotUsed;
  return m_slot;
}

size_t CMonitorManager::MonitorCount() const {
  std::lock_guard<std::mutex> hold(m_monitorsLock);
  return m_monitors.size();
}

std::shared_ptr<CCustomMonitor> CMonitorManager::Find(Kind kind, uint32_t id) const {
  std::lock_guard<std::mutex> hold(m_monitorsLock);
  auto it = m_monitors.find({kind, id});
  return it == m_monitors.end() ? nullptr : it->second;
}

std::vector<std::shared_ptr<CCustomMonitor>> CMonitorManager::Updates() const {
  std::lock_guard<std::mutex> hold(m_monitorsLock);
  return m_updates;
}

const CResultsSendThread* CMonitorManager::Sender(size_t index) const {
  std::lock_guard<std::mutex> hold(m_sendersLock);
  return index < m_senders.size() ? m_senders[index].get() : nullptr;
}

void CMonitorManager::ReapFinished() {
  Jobs done;
  {
    std::lock_guard<std::mutex> hold(m_monitorsLock);
    done.swap(m_finished);
    for (auto it = m_updates.begin(); it != m_updates.end();) {
      if ((*it)->Finished()) {
        done.push_back(std::move(*it));
        it = m_updates.erase(it);
      } else {
        ++it;
      }
    }
  }
  StopJobs(done, CCustomMonitor::Clock::now() + kStopWait);
}

uint32_t CMonitorManager::NextThreadIndex() {
  // Senders 1..31 in turn; 0 carries deletions.
  if (m_nextThreadIndex + 1 >= kSenders) m_nextThreadIndex = 1;
  return m_nextThreadIndex++;
}

void CMonitorManager::GetJobs() {
  try {
    ReapFinished();
    CustomCredentials c = m_owner.GetCustomCredentials();
    CCorvaneAPIRequest::Setup setup;
    setup.transport = &m_owner.HttpTransport();
    setup.apiUrl = c.apiHost;
    setup.proxy = c.proxy;
    setup.apiKey = c.apiKey;
    setup.authToken = c.authToken;
    setup.email = c.email;
    setup.agentName = c.agentName;
    setup.ignoreCertErrors = c.ignoreCertErrors;
    setup.now = [this] { return m_owner.Now(); };
    setup.makeXml = [this](int32_t& error) { return m_owner.MakeXml(error); };
    CCorvaneAPIRequest api(setup);
    {
      std::lock_guard<std::mutex> hold(m_requestLock);
      if (m_stopping) return;
      m_request = &api;
    }
    struct Release {
      CMonitorManager* m;
      ~Release() {
        std::lock_guard<std::mutex> hold(m->m_requestLock);
        m->m_request = nullptr;
      }
    } release{this};

    // A failure cut short by a stop is the stop's doing: no line.
    auto fail = [&](const char* format, int32_t code) {
      if (Working()) WriteLogLine(9, Format(format, code, api.LastStatus(), api.LastError().c_str()));
    };
    bool renewApiKey = false, renewSecret = false, renewToken = false, renewAgent = false;
    for (int pass = 0; pass < kPasses; ++pass) {
      if (!Working()) return;
      if (Trim(c.agentKey).empty()) {
        std::string key;
        if (api.RequestAgentKey(c.email, c.hashedPassword, key) == 0) {
          c.agentKey = key;
          m_owner.StoreAgentKey(key);
        }
        if (!Working()) return;
      }
      if (renewApiKey || c.apiKey.empty()) {
        std::string key, secret = c.secretKey;
        const std::string agentKey = TrimRight(c.agentKey);
        const int32_t code = !agentKey.empty() ? api.RequestApiKey(agentKey, key, secret)
                                               : api.RequestApiKey(c.email, c.hashedPassword, key, secret);
        if (code != 0) return fail("Failed getting new API key. (code: %d, status: %d, error: %s)", code);
        c.apiKey = key;
        m_owner.StoreAPIKey(key);
        renewApiKey = false;
        if (!secret.empty()) {
          c.secretKey = secret;
          m_owner.StoreSecretKey(secret);
          renewToken = true;
        } else {
          renewSecret = true;
        }
        if (!Working()) return;
      }
      if (renewSecret || c.secretKey.empty()) {
        std::string secret;
        const int32_t code = api.RequestSecretKey(secret);
        if (code == 3) {
          renewApiKey = true;
          continue;
        }
        if (code != 0) return fail("Failed getting new Secret key. (code: %d, status: %d, error: %s)", code);
        c.secretKey = secret;
        m_owner.StoreSecretKey(secret);
        renewSecret = false;
        renewToken = true;
        if (!Working()) return;
      }
      if (renewToken || c.authToken.empty()) {
        std::string token;
        const int32_t code = api.RequestAuthToken(c.apiKey, c.secretKey, token);
        if (code == 1 || code == 3) {
          renewApiKey = true;
          continue;
        }
        if (code != 0) return fail("Failed getting new auth token. (code: %d, status: %d, error: %s)", code);
        c.authToken = token;
        m_owner.StoreAuthToken(token);
        renewToken = false;
        if (!Working()) return;
      }
      if (renewAgent || c.agentId == 0xFFFFFFFFu) {
        uint32_t id = 0;
        const int32_t code = api.RequestAddAgent(c.agentName, id);
        if (code == 3) {
          renewApiKey = true;
          continue;
        }
        if (code == 4) {
          renewToken = true;
          continue;
        }
        if (code != 0) return fail("Failed getting agent ID. (code: %d, status: %d, error: %s)", code);
        c.agentId = id;
        m_owner.StoreAgentID(id);
        renewAgent = false;
        if (!Working()) return;
      }
      WriteLogLine(10, "Getting jobs from the server...");
      std::vector<std::string> jobs;
      const int32_t code = api.RequestJobs(c.agentId, m_lastJobId, jobs);
      if (code == 3) {
        renewApiKey = true;
        continue;
      }
      if (code == 4) {
        renewToken = true;
        continue;
      }
      if (code == 5) {
        renewAgent = true;
        continue;
      }
      if (code != 0) return fail("Failed getting jobs. (code: %d, status: %d, error: %s)", code);
      ProcessJobs(jobs);
      return;
    }
  } catch (...) {
    LOG_EXCEPTION_RECORD(kUnit);
  }
}

void CMonitorManager::ProcessJobs(const std::vector<std::string>& texts) {
  std::string deletions;
  std::vector<std::pair<std::string, std::shared_ptr<CCustomMonitor>>> updates;
  Jobs replaced;  // taken out under the lock, stopped outside it
  for (const std::string& text : texts) {
    if (!Working()) break;
    std::string summary;
    std::vector<std::string> lines;
    CustomJob parsed = ParseCustomJob(
        text, m_owner.Now(), [this](int32_t& error) { return m_owner.MakeXml(error); }, summary, lines);
    if (!summary.empty()) m_owner.CustomMonitorLog(summary);
    for (const auto& line : lines) WriteLogLine(10, line);
    if (parsed.jobId > m_lastJobId) m_lastJobId = parsed.jobId;
    std::shared_ptr<CCustomMonitor> job = m_factory(this, parsed);
    const CustomJob& j = job->Job();
    switch (j.type) {
      case CustomJob::Add:
      case CustomJob::Edit: {
        if (j.jobId == 0 || j.monitorId == 0) {
          WriteLogLine(10,
                       Format("Received invalid monitor '%s' (monitorid: %lu, jobid: %lu, runnerFile: %s)",
                              j.pluginName.c_str(), static_cast<unsigned long>(j.monitorId),
                              static_cast<unsigned long>(j.jobId), j.runnerFile.c_str()));
          break;
        }
        std::string line;
        {
          std::lock_guard<std::mutex> hold(m_monitorsLock);
          auto it = m_monitors.find({Kind::Monitor, j.monitorId});
          if (it != m_monitors.end()) {
            job->SetThreadIndex(it->second->ThreadIndex());
            replaced.push_back(std::move(it->second));
            it->second = job;
            line = Format(
                "Updated monitor '%s' (monitorid: %lu, jobid: %lu, threadIndex: %d, runnerFile: %s)...",
                j.pluginName.c_str(), static_cast<unsigned long>(j.monitorId),
                static_cast<unsigned long>(j.jobId), static_cast<int>(job->ThreadIndex()),
                j.runnerFile.c_str());
          } else if (!j.runnerFile.empty()) {
            job->SetThreadIndex(NextThreadIndex());
            m_monitors[{Kind::Monitor, j.monitorId}] = job;
            line =
                Format("Added monitor '%s' (monitorid: %lu, jobid: %lu, threadIndex: %d, runnerFile: %s)...",
                       j.pluginName.c_str(), static_cast<unsigned long>(j.monitorId),
                       static_cast<unsigned long>(j.jobId), static_cast<int>(job->ThreadIndex()),
                       j.runnerFile.c_str());
          } else {
            line = Format("Received empty runner file for monitor '%s' (monitorid: %lu, jobid: %lu)",
                          j.pluginName.c_str(), static_cast<unsigned long>(j.monitorId),
                          static_cast<unsigned long>(j.jobId));
          }
        }
        WriteLogLine(10, line);
        break;
      }
      case CustomJob::Delete: {
        WriteLogLine(10,
                     Format("Removing monitor (monitorid: %lu, jobid: %lu)",
                            static_cast<unsigned long>(j.monitorId), static_cast<unsigned long>(j.jobId)));
        {
          std::lock_guard<std::mutex> hold(m_monitorsLock);
          auto it = m_monitors.find({Kind::Monitor, j.monitorId});
          if (it != m_monitors.end()) {
            replaced.push_back(std::move(it->second));
            m_monitors.erase(it);
          }
        }
        if (!deletions.empty()) deletions += ',';
        deletions += Format("%lu", static_cast<unsigned long>(j.jobId));
        break;
      }
      case CustomJob::UpdatePlugin: {
        WriteLogLine(10, Format("Updating plugin '%s'...", j.pluginName.c_str()));
        if (j.pluginName.empty()) break;
        bool found = false;
        for (auto& update : updates)
          if (update.first == j.pluginName) {
            update.second = job;  // the later one wins
            found = true;
          }
        if (!found) updates.emplace_back(j.pluginName, job);
        break;
      }
      case CustomJob::RunCommand: {
        WriteLogLine(10, Format("Running command '%s'...", j.command.c_str()));
        std::lock_guard<std::mutex> hold(m_monitorsLock);
        auto& slot = m_monitors[{Kind::Run, j.jobId}];
        if (slot) replaced.push_back(std::move(slot));
        slot = job;
        break;
      }
      default: WriteLogLine(10, "Unknown monitor type received!"); break;
    }
  }
  StopJobs(replaced, CCustomMonitor::Clock::now() + kStopWait);
  replaced.clear();
  if (!deletions.empty()) RemoveJobs(deletions);
  StartAllPlugins();
  for (auto& update : updates) {
    {
      std::lock_guard<std::mutex> hold(m_monitorsLock);
      m_updates.push_back(update.second);
    }
    update.second->StartUpdate();
  }
  WriteLogLine(3, Format("Received %lu job(s) [%lu]", static_cast<unsigned long>(texts.size()),
                         static_cast<unsigned long>(MonitorCount())));
}
