#include "agent/custom/PluginMonitor.h"

#include <vector>

#include "agent/LogFormat.h"
#include "agent/custom/CorvaneAPIRequest.h"
#include "agent/custom/HTTPRequest.h"
#include "agent/custom/MonitorManager.h"
#include "agent/custom/PluginText.h"
#include "corelib/ExceptionRecord.h"
#include "tools/miniunz/zip_archive.h"

using namespace plugin_text;

namespace {

constexpr const char* kUnit = "CCustomMonitor";
constexpr uint32_t kSlice = 250;  // ms; how often a wait looks at the stop

std::string Encoded(const std::string& text) { return UrlEncode(text); }

}  // namespace

CPluginMonitor::CPluginMonitor(CMonitorManager* manager, CustomJob job, platform::ICustomRuntime& runtime)
    : CCustomMonitor(manager, std::move(job)),
      m_runtime(runtime),
      m_owner(manager->Owner()),
      m_nextCheck(Job().nextCheck) {
  // Once per job object: every thread of the job shares it.
  if (ValidPluginName(Job().pluginName))
    m_downloadMutex = m_runtime.OpenNamedMutex(
        Format("Global\\Corvane_Custom_Monitor_%s_is_downloading", Job().pluginName.c_str()));
}

CPluginMonitor::~CPluginMonitor() {
  SignalStop();
  std::thread thread;
  {
    std::lock_guard<std::mutex> hold(m_lock);
    thread.swap(m_thread);
  }
  if (thread.joinable()) thread.join();
}

void CPluginMonitor::Log(const std::string& line) { m_owner.CustomMonitorLog(line); }

// Lock-free: the manager asks under its monitors lock.
bool CPluginMonitor::IsRunning() const { return !m_done.load(); }

bool CPluginMonitor::Finished() const { return m_done.load(); }

void CPluginMonitor::SignalStop() {
  std::lock_guard<std::mutex> hold(m_lock);
  if (m_stop) m_stop->Signal();
  if (m_http) m_http->Abort();
  m_nextCheck = 0;
}

bool CPluginMonitor::FinishStop(Clock::time_point deadline) {
  std::unique_lock<std::mutex> hold(m_lock);
  if (!m_doneCv.wait_until(hold, deadline, [this] { return m_done.load(); })) return false;
  std::thread thread;
  thread.swap(m_thread);
  hold.unlock();
  if (thread.joinable()) thread.join();
  return true;
}

bool CPluginMonitor::Launch(std::function<void()> body) {
  SignalStop();
  if (!FinishStop(Clock::now() + std::chrono::seconds(60))) return false;
  std::lock_guard<std::mutex> hold(m_lock);
  if (m_ran) return false;
  if (Job().type != CustomJob::Add && Job().type != CustomJob::Edit) m_ran = true;
  m_stop = std::make_shared<CStopEvent>();
  m_done = false;
  m_thread = std::thread([this, body] {
    try {
      body();
    } catch (...) {
      LOG_EXCEPTION_RECORD(kUnit);
    }
    std::lock_guard<std::mutex> hold(m_lock);
    m_done = true;
    m_doneCv.notify_all();
  });
  return true;
}

bool CPluginMonitor::StartCheck() {
  const int32_t type = Job().type;
  if (type != CustomJob::Add && type != CustomJob::Edit && type != CustomJob::RunCommand) return false;
  if (type == CustomJob::RunCommand) return Launch([this] { RunProc(); });
  return Launch([this] { CheckProc(); });
}

bool CPluginMonitor::StartUpdate() {
  if (Job().type != CustomJob::UpdatePlugin) return false;
  return Launch([this] { UpdateProc(); });
}

CPluginMonitor::Got CPluginMonitor::AcquireWatching(platform::INamedLock& lock, uint64_t ms) {
  // ms == 0: no limit (still watching the stop).
  uint64_t waited = 0;
  for (;;) {
    if (Stopped()) return Got::Stop;
    if (lock.Acquire(m_runtime.RealWaitMs(kSlice))) {
      if (!Stopped()) return Got::Unit;
      lock.Release();
      return Got::Stop;
    }
    waited += kSlice;
    if (ms != 0 && waited >= ms) return Got::Timeout;
  }
}

bool CPluginMonitor::PostResult(int64_t checkTime, const std::string& result, bool isError) {
  // The job's lock keeps a stop from slipping between the test and the post.
  std::lock_guard<std::mutex> hold(m_lock);
  if (Stopped()) return false;
  Manager()->AddResult(Job().monitorId, Job().jobId, Job().pluginName, ThreadIndex(), checkTime, result,
                       isError);
  return true;
}

bool CPluginMonitor::PostRemove(const std::string& status) {
  {
    std::lock_guard<std::mutex> hold(m_lock);
    if (Stopped()) return false;
  }
  // RemoveJob takes the manager's locks; none of ours may be held then.
  Manager()->RemoveJob(this, status);
  return true;
}

bool CPluginMonitor::WaitForSlot() {
  const auto slot = Manager()->TakeStartSlot(std::chrono::milliseconds(m_runtime.RealWaitMs(1000)));
  return !m_stop->WaitUntil(slot);
}

CPluginMonitor::Ended CPluginMonitor::WaitProcess(platform::IProcess& process, uint32_t timeoutMinutes) {
  const uint64_t steps = static_cast<uint64_t>(timeoutMinutes) * 60;
  for (uint64_t step = 0; step < steps; ++step) {
    for (uint32_t s = 0; s < 1000 / kSlice; ++s) {
      if (Stopped()) return Ended::Stop;
      if (process.Wait(m_runtime.RealWaitMs(kSlice))) return Ended::Yes;
    }
  }
  return Stopped() ? Ended::Stop : Ended::Timeout;
}

std::string CPluginMonitor::PluginFolder() {
  std::string base = m_runtime.AppDataFolder();
  if (base.empty()) base = "c:\\";
  base = RewriteSystemFolder(base, m_runtime.SystemFolder(), m_runtime.SystemWow64Folder());
  std::string folder = Join(base, "Halvren");
  m_runtime.CreateFolder(folder);
  folder = Join(folder, "Plugins");
  m_runtime.CreateFolder(folder);
  return Join(folder, Job().pluginName);
}

std::string CPluginMonitor::RunPlugin(const std::string& folder, const std::string& script,
                                      const std::string& params, uint32_t& exitCode,
                                      uint32_t timeoutMinutes) {
  Log(Format("Running plugin: folder '%s', script '%s', params '%s'", folder.c_str(), script.c_str(),
             params.c_str()));
  exitCode = 255;
  const std::string out = Format("plugin%lu.out", static_cast<unsigned long>(Job().jobId));
  const std::string outPath = Join(folder, out);
  const Command c = PluginCommand(m_runtime.CommandShell(), folder, script, params, out);
  platform::ProcessSpec spec;
  spec.application = c.application;
  spec.commandLine = c.commandLine;
  spec.workingFolder = folder;
  Log(c.shell ? Format("Shell executing '%s %s'", "cmd.exe", c.parameters.c_str())
              : Format("Creating process '%s %s'", c.application.c_str(), c.parameters.c_str()));
  std::string output;
  uint32_t error = 0;
  std::unique_ptr<platform::IProcess> process = m_runtime.Start(spec, error);
  if (process && process->JobError() != 0)
    Log(Format("Process not placed in a job object (err:%lu)",
               static_cast<unsigned long>(process->JobError())));
  if (!process) {
    output = Encoded(Format("Internal error (code:%d, err:%d)", 102, static_cast<int>(error)));
  } else {
    switch (WaitProcess(*process, timeoutMinutes)) {
      case Ended::Stop:
        process->EndTree(255);
        output = kStopMarker;
        exitCode = kStopCode;
        m_runtime.RemoveFile(outPath);
        break;
      case Ended::Timeout:
        process->EndTree(255);
        exitCode = 255;
        output = Encoded(Format("Plugin script did not finish his job within %d minute(s)",
                                static_cast<int>(timeoutMinutes)));
        m_runtime.RemoveFile(outPath);
        break;
      case Ended::Yes: {
        const uint32_t code = process->ExitCode();
        Log(Format("Plugin stopped with '%lu' exit code", static_cast<unsigned long>(code)));
        if (code != 0)
          Log(Format("ERROR RUNNING PLUGIN '%lu': folder '%s', script '%s', params '%s'",
                     static_cast<unsigned long>(code), folder.c_str(), script.c_str(), params.c_str()));
        bool cut = false;
        if (m_runtime.ReadFileData(outPath, kOutputLimit, output, cut)) {
          exitCode = 0;
          if (cut)
            Log(Format("Plugin output cut at %lu bytes (jobID:%lu)", static_cast<unsigned long>(kOutputLimit),
                       static_cast<unsigned long>(Job().jobId)));
        }
        m_runtime.RemoveFile(outPath);
        break;
      }
    }
  }
  Log(Format("Run plugin result '%s'", output.c_str()));
  return output;
}

std::string CPluginMonitor::RunProcess(const std::string& command, const std::string& user,
                                       const std::string& password, uint32_t& exitCode,
                                       uint32_t timeoutMinutes) {
  Log(Format("Running process: procName '%s'", command.c_str()));
  exitCode = 255;
  platform::ProcessSpec spec;
  spec.commandLine = command;
  spec.user = user;
  spec.password = password;
  std::string result;
  uint32_t error = 0;
  std::unique_ptr<platform::IProcess> process = m_runtime.Start(spec, error);
  if (process && process->JobError() != 0)
    Log(Format("Process not placed in a job object (err:%lu)",
               static_cast<unsigned long>(process->JobError())));
  if (!process) {
    result = Encoded(Format("Internal error (code:%d, err:%d)", 102, static_cast<int>(error)));
  } else {
    switch (WaitProcess(*process, timeoutMinutes)) {
      case Ended::Stop:
        process->EndTree(255);
        result = kStopMarker;
        exitCode = kStopCode;
        break;
      case Ended::Timeout:
        process->EndTree(255);
        exitCode = 255;
        result = Encoded(
            Format("Process did not finish his job within %d minute(s)", static_cast<int>(timeoutMinutes)));
        break;
      case Ended::Yes: exitCode = process->ExitCode(); break;
    }
  }
  Log(Format("Run process result '%s'", result.c_str()));
  return result;
}

bool CPluginMonitor::Unzip2Folder(const std::string& archive, const std::string& folder) {
  const char* name = Job().pluginName.c_str();
  Log(Format("Unzip2Folder(%s): File '%s', Folder '%s'", name, archive.c_str(), folder.c_str()));
  std::string data;
  bool cut = false;
  if (!m_runtime.ReadFileData(archive, zip_archive::kMaxArchiveBytes, data, cut) || cut) return false;
  std::string problem;
  if (!zip_archive::CheckNames(data, problem)) {
    Log(Format("Unzip2Folder(%s): Unsafe archive: %s", name, problem.c_str()));
    return false;
  }
  std::string line;
  const bool ok = m_runtime.ShellUnzip(archive, folder, line);
  Log(Format("Unzip2Folder(%s): %s", name, line.c_str()));
  return ok;
}

std::string CPluginMonitor::DownloadPlugin(uint32_t& exitCode, const std::string& runnerFile) {
  const CustomJob& j = Job();
  const char* name = j.pluginName.c_str();
  if (!ValidPluginName(j.pluginName)) return Format("Invalid plugin name: '%s'", name);
  if (!m_downloadMutex) return Format("Internal error (code:%d, err:%d)", 102, 0);
  switch (AcquireWatching(*m_downloadMutex, 0)) {
    case Got::Unit: break;
    default: exitCode = kStopCode; return kStopMarker;
  }
  struct Release {
    platform::INamedLock& lock;
    ~Release() { lock.Release(); }
  } release{*m_downloadMutex};

  const std::string folder = PluginFolder();
  Log(Format("DownloadPlugin(%s): Folder '%s'", name, folder.c_str()));
  if (!runnerFile.empty() && SafeRelativeName(runnerFile) && Join(folder, runnerFile).size() <= 260 &&
      m_runtime.Exists(Join(folder, runnerFile))) {
    Log(Format("DownloadPlugin(%s): Skipped. File '%s' exists.", name, Join(folder, runnerFile).c_str()));
    return std::string();
  }
  if (j.downloadUrl.empty()) {
    Log(Format("DownloadPlugin(%s): Download URL is empty. Skip downloading.", name));
    return std::string();
  }
  if (j.type == CustomJob::UpdatePlugin && !m_runtime.FolderExists(folder)) {
    Log(Format("DownloadPlugin(%s): Plugin folder doesn't exist. Skip updating.", name));
    return std::string();
  }
  Log(Format("DownloadPlugin(%s): PlugInDownloadUrl '%s'...", name, j.downloadUrl.c_str()));
  const std::string& url = j.downloadUrl;
  const size_t sep = url.find("://");
  if (sep == std::string::npos || sep == 0) return Format("Invalid plugin download URL: '%s'", url.c_str());
  std::string scheme = url.substr(0, sep);
  for (char& ch : scheme) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
  const size_t hostStart = sep + 3;
  const size_t pathStart = std::min(url.find('/', hostStart), url.size());
  std::string host = url.substr(hostStart, pathStart - hostStart);
  std::string path = pathStart < url.size() ? url.substr(pathStart) : "/";
  const size_t at = host.rfind('@');
  if (at != std::string::npos) host = host.substr(at + 1);
  uint32_t port = scheme == "https" ? 443 : 80;
  const size_t colon = host.rfind(':');
  if (colon != std::string::npos) {
    const std::string digits = host.substr(colon + 1);
    host = host.substr(0, colon);
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
      return Format("Invalid plugin download URL: '%s'", url.c_str());
    port = static_cast<uint32_t>(std::stoul(digits));
    if (port == 0 || port > 65535) return Format("Invalid plugin download URL: '%s'", url.c_str());
  }
  if (host.empty() || host.size() > 256 || path.size() > 2084)
    return Format("Invalid plugin download URL: '%s'", url.c_str());
  if (scheme != "http" && scheme != "https")
    return Format("Invalid URI scheme in download URL: '%s'", url.c_str());

  Log(Format("DownloadPlugin(%s): Creating HTTP request...", name));
  const CustomCredentials creds = m_owner.GetCustomCredentials();
  CHTTPRequest::Options options;
  options.proxy = creds.proxy;
  options.secure = scheme == "https";
  options.initialBuffer = 16384;
  options.limit = 268435456;
  options.ignoreCertErrors = creds.ignoreCertErrors;
  std::unique_ptr<CHTTPRequest> http =
      CHTTPRequest::Create(m_owner.HttpTransport(), options, [this](const std::string& l) { Log(l); });
  if (!http) return "Internal error (code:1001)";
  {
    std::lock_guard<std::mutex> hold(m_lock);
    if (Stopped()) {
      exitCode = kStopCode;
      return kStopMarker;
    }
    m_http = http.get();
  }
  struct Unhook {
    CPluginMonitor* m;
    ~Unhook() {
      std::lock_guard<std::mutex> hold(m->m_lock);
      m->m_http = nullptr;
    }
  } unhook{this};
  Log(Format("DownloadPlugin(%s): Connecting...", name));
  const bool fetched = http->Connect(host, static_cast<uint16_t>(port)) &&
                       http->MakeRequest(path, false, std::string(), 300, creds.email, creds.agentName);
  if (Stopped()) {
    exitCode = kStopCode;
    return kStopMarker;
  }
  if (!fetched) {
    std::string text;
    http->ErrorText(text);
    return text;
  }
  const std::string& body = http->Reply();
  Log(Format("DownloadPlugin(%s): Received %d bytes.", name, static_cast<int>(body.size())));
  Log(Format("DownloadPlugin(%s): Creating folder %s....", name, folder.c_str()));
  const std::string archive = Join(folder, "plugin.zip");
  // FolderExists refuses a reparse point: nothing is written through one.
  if (!m_runtime.CreateFolder(folder) || !m_runtime.FolderExists(folder)) return "Internal error (code:1004)";
  Log(Format("DownloadPlugin(%s): Writing to file %s.", name, archive.c_str()));
  if (!m_runtime.WriteFileData(archive, body)) return "Internal error (code:1004)";

  if (!Unzip2Folder(archive, folder)) {
    std::string program = m_runtime.ProgramFolder();
    while (!program.empty() && (program.back() == '\\' || program.back() == '/')) program.pop_back();
    platform::ProcessSpec spec;
    spec.application = Join(program, "miniunz.exe");
    spec.commandLine =
        Format("\"%s\\miniunz.exe\" -xo \"%s\" -d \"%s\"", program.c_str(), archive.c_str(), folder.c_str());
    Log(Format("DownloadPlugin(%s): Executing command '%s'", name, spec.commandLine.c_str()));
    uint32_t error = 0;
    std::unique_ptr<platform::IProcess> tool = m_runtime.Start(spec, error);
    if (!tool) {
      Log(Format("DownloadPlugin(%s): CreateProcessA %lu", name, static_cast<unsigned long>(error)));
      return "Internal error (code:1002)";
    }
    bool ended = false;
    for (uint32_t waited = 0; waited < 60000 && !ended; waited += kSlice) {
      if (Stopped()) {
        tool->EndTree(255);
        exitCode = kStopCode;
        return kStopMarker;
      }
      ended = tool->Wait(m_runtime.RealWaitMs(kSlice));
    }
    if (!ended) {
      Log(Format("DownloadPlugin(%s): Timed out waiting for extract.", name));
      tool->EndTree(255);
      return "Internal error (code:1003)";
    }
    if (tool->ExitCode() != 0) return "Internal error (code:1005)";
  }
  if (!j.setupFile.empty()) {
    const std::string setup = Join(folder, j.setupFile);
    if (!SafeRelativeName(j.setupFile) || setup.size() > 260 || !m_runtime.Exists(setup)) {
      Log(Format("DownloadPlugin(%s): Plugin setup file doesn't exist '%s'", name, setup.c_str()));
      return std::string();
    }
    Log(Format("DownloadPlugin(%s): Running plugin setup file '%s'...", name, setup.c_str()));
    const std::string out = RunPlugin(folder, j.setupFile, std::string(), exitCode, j.interval);
    if (out == kStopMarker && exitCode == kStopCode) return kStopMarker;
  }
  return std::string();
}

void CPluginMonitor::CheckProc() {
  const CustomJob& j = Job();
  const bool validName = ValidPluginName(j.pluginName);
  const std::string folder = validName ? PluginFolder() : std::string();
  const bool safeRunner = SafeRelativeName(j.runnerFile) && Join(folder, j.runnerFile).size() <= 260;
  const std::string runner = safeRunner ? Join(folder, j.runnerFile) : std::string();
  Log(Format("Running plugin '%s'... monitorID:%d, runnerFile:%s...", j.pluginName.c_str(),
             static_cast<int>(j.monitorId), runner.c_str()));
  if (validName && !m_semaphore)
    m_semaphore = m_runtime.OpenNamedSemaphore(
        Format("Global\\Corvane_Custom_Monitor_%s_is_running", j.pluginName.c_str()), j.maxParallelJobs);
  const auto stopLine = [&] {
    Log(Format("Stop event fired (monitorID:%d).", static_cast<int>(j.monitorId)));
  };
  if (!WaitForSlot()) return stopLine();
  for (;;) {
    const time_t now = m_runtime.Now();
    const time_t next = m_nextCheck.load();
    if (next != 0 && now < next) {
      const int64_t remaining = static_cast<int64_t>(next) - now;
      if (m_stop->WaitFor(
              m_runtime.RealWaitMs(static_cast<uint32_t>(remaining < 60 ? remaining * 1000 : 60000))))
        break;
      continue;
    }
    const int64_t t = now;
    uint32_t exitCode = 255;
    std::string result, output;
    bool forcedError = false;
    bool holding = false;
    if (!validName) {
      result = Encoded(Format("Invalid plugin name: '%s'", j.pluginName.c_str()));
      forcedError = true;
    } else if (!m_semaphore) {
      result = Encoded("Plugin script is too busy");
      forcedError = true;
    } else {
      const Got got = AcquireWatching(*m_semaphore, 300000);
      if (got == Got::Stop) break;
      if (got == Got::Timeout) {
        result = Encoded("Plugin script is too busy");
        forcedError = true;
      } else {
        holding = true;
      }
    }
    if (holding) {
      struct Unit {
        platform::INamedLock& lock;
        ~Unit() { lock.Release(); }
      } unit{*m_semaphore};
      const std::string downloaded = DownloadPlugin(exitCode, j.runnerFile);
      if (downloaded == kStopMarker || Stopped()) break;
      if (!downloaded.empty()) {
        output = Encoded(downloaded);
      } else if (runner.empty() || !m_runtime.Exists(runner)) {
        // Never a success, whatever a setup run left in the exit code.
        result = Encoded("Plugin script was not found");
        forcedError = true;
      } else {
        output = RunPlugin(folder, j.runnerFile,
                           Format("%s -checktime %lld000", j.parameters.c_str(), static_cast<long long>(t)),
                           exitCode, j.interval);
        if ((output == kStopMarker && exitCode == kStopCode) || Stopped()) break;
        result = ParseOutput(Trim(output));
      }
      if (result.empty()) {
        output = Trim(output);
        if (!output.empty())
          result = EscapeOutput(output);
        else
          result = Encoded("Plugin script returned empty results");
        forcedError = true;
      }
    }
    const bool isError = exitCode != 0 || forcedError;
    Log(Format(isError ? "Adding error result for %d: '%s'." : "Adding success result for %d: '%s'.",
               static_cast<int>(j.monitorId), result.c_str()));
    if (!PostResult(t, result, isError)) break;
    m_nextCheck = static_cast<time_t>(t + static_cast<int64_t>(j.interval) * 60);
  }
  stopLine();
  Log(Format("Plugin '%s' stopped (monitorID:%d).", j.pluginName.c_str(), static_cast<int>(j.monitorId)));
}

void CPluginMonitor::RunProc() {
  const CustomJob& j = Job();
  Log(Format("Running plugin '%s'...", j.pluginName.c_str()));
  const bool withPlugin = !j.pluginName.empty();
  if (withPlugin && !ValidPluginName(j.pluginName)) {
    PostRemove(Encoded(Format("Invalid plugin name: '%s'", j.pluginName.c_str())));
    return;
  }
  const std::string semName =
      withPlugin ? Format("Global\\Corvane_Custom_Monitor_%s_is_running", j.pluginName.c_str())
                 : std::string("Global\\Corvane_Custom_Monitor__is_running");
  if (!m_semaphore) m_semaphore = m_runtime.OpenNamedSemaphore(semName, j.maxParallelJobs);
  const Got got =
      m_semaphore ? AcquireWatching(*m_semaphore, static_cast<uint64_t>(j.interval) * 60000) : Got::Timeout;
  if (got != Got::Unit) {
    Log("Timeout waiting plugins to finish.");
    if (got == Got::Timeout) PostRemove(Encoded("Timeout waiting plugins to finish."));
    return;
  }
  std::string result;
  {
    struct Unit {
      platform::INamedLock& lock;
      ~Unit() { lock.Release(); }
    } unit{*m_semaphore};
    uint32_t exitCode = 255;
    if (withPlugin) {
      const std::string downloaded = DownloadPlugin(exitCode, j.command);
      if (downloaded == kStopMarker || Stopped()) {
        Log(Format("Stop event fired (monitorID:%d).", static_cast<int>(j.monitorId)));
        return;
      }
      const std::string folder = PluginFolder();
      if (!downloaded.empty()) {
        result = Encoded(downloaded);
      } else if (!SafeRelativeName(j.command) || Join(folder, j.command).size() > 260 ||
                 !m_runtime.Exists(Join(folder, j.command))) {
        result = Encoded("Plugin script was not found");
      } else {
        result = RunPlugin(folder, j.command, j.parameters, exitCode, 5);
      }
    } else {
      result = RunProcess(j.command, j.user, j.password, exitCode, 5);
    }
    if ((result == kStopMarker && exitCode == kStopCode) || Stopped()) {
      Log(Format("Stop event fired (monitorID:%d).", static_cast<int>(j.monitorId)));
      return;
    }
  }
  PostRemove(result);
}

void CPluginMonitor::UpdateProc() {
  const CustomJob& j = Job();
  Log(Format("Updating plugin '%s'...", j.pluginName.c_str()));
  Manager()->StopPlugins(j.pluginName, this);
  uint32_t exitCode = 0;
  const std::string text = DownloadPlugin(exitCode, std::string());
  if ((text == kStopMarker) || Stopped()) {
    Log(Format("Stop event fired (monitorID:%d).", static_cast<int>(j.monitorId)));
    return;
  }
  Log(Format("Update returned '%s'.", text.empty() ? "OK" : text.c_str()));
  if (!PostRemove(text)) return;
  std::lock_guard<std::mutex> hold(m_lock);
  if (!Stopped()) Manager()->StartPlugins(j.pluginName);
}
