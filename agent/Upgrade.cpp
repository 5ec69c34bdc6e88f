// The gateway's upgrade order: download the package on a thread of its own,
// unpack it with the zip tool beside the agent into a protected folder, and
// hand over to the Updater, which stops this service and installs the files.
#include <algorithm>
#include <system_error>
#include <vector>

#include "agent/AgentIdentity.h"
#include "agent/LogFormat.h"
#include "agent/MainWorker.h"
#include "corelib/ExceptionRecord.h"

namespace {

constexpr uint32_t kReadPiece = 16384;
constexpr uint32_t kWaitSlice = 100;  // ms: how soon the unzip wait sees a stop

std::string WithoutTrailingSeparators(std::string path) {
  while (!path.empty() && (path.back() == '\\' || path.back() == '/')) path.pop_back();
  return path;
}

}  // namespace

std::string UnpackFolderFor(const std::string& archive) {
  const size_t at = archive.find_last_of("\\/");
  if (at == std::string::npos) return "~" + archive;
  return archive.substr(0, at + 1) + "~" + archive.substr(at + 1);
}

bool IsQuotableVersion(const std::string& version) {
  if (version.empty() || version.back() == '\\') return false;
  return std::none_of(version.begin(), version.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return c == '"' || u < 0x20 || u == 0x7F;
  });
}

// ---- the thread and its owner ---------------------------------------------------

bool CMainWorker::StartUpgradeThread() {
  // Claimed before the thread exists: a second UPD meanwhile starts nothing.
  bool expected = false;
  if (!m_upgradeStarted.compare_exchange_strong(expected, true)) return false;
  std::unique_lock<std::mutex> lock(m_upgradeThreadLock);
  if (m_upgradeBlocked || !m_seams.upgrade || !m_seams.processes) {
    m_upgradeStarted = false;
    return false;
  }
  // The last attempt's thread has reached its end: its flag was cleared last.
  m_upgradeEnded.wait(lock, [this] { return !m_upgradeRunning; });
  if (m_upgradeThread.joinable()) m_upgradeThread.join();
  m_upgradeAbort = false;
  try {
    m_upgradeRunning = true;
    m_upgradeThread = std::thread([this] { UpgradeThread(); });
  } catch (const std::system_error&) {
    m_upgradeRunning = false;
    m_upgradeStarted = false;
    return false;
  }
  return true;
}

void CMainWorker::UpgradeThread() {
  bool handedOver = false;
  try {
    std::string location, version;
    {
      std::lock_guard<std::mutex> lock(m_upgradeLock);
      location = m_upgradeLocation;
      version = m_upgradeVersion;
    }
    if (!location.empty() && !version.empty()) {
      AppendLog(Format("(Upgrade) Downloading from '%s' (version:%s)", location.c_str(), version.c_str()));
      std::string archive;
      if (DownloadPackage(location, archive)) handedOver = MakeUpgrade(archive, version);
    }
  } catch (...) {
    LOG_EXCEPTION_RECORD(kUnit);
  }
  // After a hand-over the flag stays: the Updater is about to end this process.
  if (!handedOver) m_upgradeStarted = false;
  std::lock_guard<std::mutex> lock(m_upgradeThreadLock);
  m_upgradeRunning = false;
  m_upgradeEnded.notify_all();
}

void CMainWorker::StopUpgrade(std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(m_upgradeThreadLock);
  m_upgradeBlocked = true;
  m_upgradeAbort = true;
  if (m_upgradeGet) m_upgradeGet->Abort();
  // The thread deletes its partial archive and unpack folder on its way out.
  auto ended = [this] { return !m_upgradeRunning; };
  // An unbounded wait must not go through wait_for: now + max overflows.
  if (wait == std::chrono::milliseconds::max())
    m_upgradeEnded.wait(lock, ended);
  else if (!m_upgradeEnded.wait_for(lock, wait, ended))
    return;
  if (m_upgradeThread.joinable()) m_upgradeThread.join();
}

// ---- the download ----------------------------------------------------------------

bool CMainWorker::DownloadPackage(const std::string& location, std::string& archive) {
  platform::IUpgradeHost& host = *m_seams.upgrade;
  const UpgradeLimits& limits = m_seams.upgradeLimits;
  const auto deadline = std::chrono::steady_clock::now() + limits.download;

  platform::PackageGetSpec spec;
  spec.url = location;
  spec.userAgent = agent_identity::kUserAgent;
  // The worker's proxy, else the user's named one, else the system's default.
  spec.proxy = GetProxy();
  if (spec.proxy.empty()) spec.proxy = host.UserProxy();
  spec.headers = "Content-Type: application/x-www-form-urlencoded;charset=UTF-8\r\n";
  spec.ignoreCertErrors = m_ignoreCertErrors;
  spec.deadline = deadline;

  std::unique_ptr<platform::IPackageGet> get = host.NewGet();
  if (!get) return false;
  {
    std::lock_guard<std::mutex> lock(m_upgradeThreadLock);
    if (m_upgradeAbort) return false;
    m_upgradeGet = get.get();
  }
  struct Unregister {
    CMainWorker* w;
    std::unique_ptr<platform::IPackageGet>& get;
    ~Unregister() {
      std::lock_guard<std::mutex> lock(w->m_upgradeThreadLock);
      w->m_upgradeGet = nullptr;
      get.reset();  // closes the handles
    }
  } unregister{this, get};

  std::string path;
  std::unique_ptr<platform::IArchiveFile> file;
  // Every failure from here leaves no file behind.
  auto failed = [&](const std::string& line) {
    AppendLog(line);
    file.reset();
    if (!path.empty()) host.RemoveArchive(path);
    return false;
  };
  auto failedWithError = [&](const char* line, uint32_t error) {
    AppendLog(line);
    return failed(Format("(Upgrade) Download failed. %s", host.ErrorText(error).c_str()));
  };

  const platform::PackageGetReply reply = get->Send(spec);
  if (reply.relaxedRetry) {
    AppendLog("(Upgrade) HttpSendRequestA failed");
    AppendLog("(Upgrade) Trying different security options...");
  }
  switch (reply.failed) {
    case platform::PackageGetStep::None: break;
    case platform::PackageGetStep::CrackUrl: return failedWithError("(Upgrade) InternetCrackUrlA failed", reply.error);
    case platform::PackageGetStep::Open: return failedWithError("(Upgrade) WinHttpOpen failed", reply.error);
    case platform::PackageGetStep::Connect: return failedWithError("(Upgrade) WinHttpConnect failed", reply.error);
    case platform::PackageGetStep::OpenRequest:
      return failedWithError("(Upgrade) WinHttpOpenRequest failed", reply.error);
    case platform::PackageGetStep::Send: return failedWithError("(Upgrade) HttpSendRequestA failed", reply.error);
    case platform::PackageGetStep::Receive: return failedWithError("(Upgrade) HttpQueryInfoA failed", reply.error);
  }
  if (reply.status != 200)
    return failed(Format("(Upgrade) Download Failed. Server Response code: %d", static_cast<int>(reply.status)));
  const std::string tooLarge =
      Format("(Upgrade) Download failed. The package exceeds %llu bytes.",
             static_cast<unsigned long long>(limits.packageBytes));
  if (reply.contentLength > 0 && static_cast<uint64_t>(reply.contentLength) > limits.packageBytes)
    return failed(tooLarge);

  // The body goes straight to the archive, which exists only once a byte came.
  std::vector<char> piece(kReadPiece);
  uint64_t total = 0;
  for (;;) {
    if (m_upgradeAbort) return failed("(Upgrade) Download failed. The agent is stopping.");
    uint32_t got = 0, error = 0;
    const bool read = get->Read(piece.data(), kReadPiece, got, error);
    if (std::chrono::steady_clock::now() >= deadline)
      return failed("(Upgrade) Download failed. Time limit reached.");
    if (!read) return failed(Format("(Upgrade) Download failed. %s", host.ErrorText(error).c_str()));
    if (got == 0) break;
    if (total + got > limits.packageBytes) return failed(tooLarge);
    if (!file) {
      if (!host.MakeTempFile(path, error)) {
        path.clear();
        return failedWithError("(Upgrade) GetTempFileNameA failed.", error);
      }
      file = host.CreateArchive(path, error);
      if (!file) return failedWithError("(Upgrade) CreateFileA failed", error);
    }
    if (!file->Write(piece.data(), got, error)) return failedWithError("(Upgrade) WriteFile failed", error);
    total += got;
  }
  AppendLog(Format("(Upgrade) Downloaded %d bytes", static_cast<int>(total)));
  if (total == 0) return failed("(Upgrade) Download failed. Received 0 bytes.");
  if (reply.contentLength >= 0 && total != static_cast<uint64_t>(reply.contentLength))
    return failed(Format("(Upgrade) Download failed. Received %d of %d bytes.", static_cast<int>(total),
                         static_cast<int>(reply.contentLength)));
  file.reset();
  archive = path;
  return true;
}

// ---- unpack and hand over -----------------------------------------------------------

bool CMainWorker::MakeUpgrade(const std::string& archive, const std::string& version) {
  platform::IUpgradeHost& host = *m_seams.upgrade;
  platform::ICustomRuntime& processes = *m_seams.processes;
  AppendLog(Format("(Upgrade) Upgrading from file '%s' (version:%s)...", archive.c_str(), version.c_str()));
  const std::string folder = UnpackFolderFor(archive);
  AppendLog(Format("(Upgrade) Extracting to '%s'...", folder.c_str()));
  uint32_t error = 0;
  if (!host.CreateUnpackFolder(folder, error)) {
    AppendLog(Format("(Upgrade) CreateDirectoryA %s", host.ErrorText(error).c_str()));
    host.RemoveArchive(archive);
    return false;
  }
  // From here a failure takes the archive and everything unpacked along.
  auto abandon = [&] {
    host.RemoveArchive(archive);
    host.DeleteTree(folder);
    return false;
  };

  const std::string agentFolder = WithoutTrailingSeparators(host.AgentFolder());
  platform::ProcessSpec unzip;
  unzip.application = agentFolder + "\\miniunz.exe";
  unzip.commandLine =
      Format("\"%s\\miniunz.exe\" -xo \"%s\" -d \"%s\"", agentFolder.c_str(), archive.c_str(), folder.c_str());
  AppendLog(Format("(Upgrade) Executing command '%s'", unzip.commandLine.c_str()));
  std::unique_ptr<platform::IProcess> process = processes.Start(unzip, error);
  if (!process) {
    AppendLog(Format("(Upgrade) CreateProcessA %s", host.ErrorText(error).c_str()));
    return abandon();
  }
  const auto until = std::chrono::steady_clock::now() + m_seams.upgradeLimits.unzip;
  bool ended = false;
  while (!ended && !m_upgradeAbort && std::chrono::steady_clock::now() < until) ended = process->Wait(kWaitSlice);
  if (!ended) {
    if (!m_upgradeAbort) AppendLog("(Upgrade) Timed out waiting for extract.");
    process->EndTree(255);
    process.reset();
    if (m_upgradeAbort) AppendLog("(Upgrade) Extraction failed.");
    return abandon();
  }
  const uint32_t exitCode = process->ExitCode();
  process.reset();  // its job goes, and with it anything the tool left running
  AppendLog(Format("(Upgrade) GetExitCodeProcess returned %d", static_cast<int>(exitCode)));
  if (exitCode != 0 || m_upgradeAbort) {
    AppendLog("(Upgrade) Extraction failed.");
    return abandon();
  }
  host.RemoveArchive(archive);

  const std::string packaged = folder + "\\Updater.exe";
  platform::ProcessSpec updater;
  updater.application = host.IsFile(packaged) ? packaged : agentFolder + "\\Updater.exe";
  updater.commandLine = Format("\"%s\" \"%s\" \"%s\" \"%s\"", updater.application.c_str(), folder.c_str(),
                               agentFolder.c_str(), version.c_str());
  updater.killOnClose = false;
  AppendLog(Format("(Upgrade) Running command '%s'...", updater.commandLine.c_str()));
  // Written first: a stop right after the start must still find the folder.
  {
    std::lock_guard<std::mutex> lock(m_credentialsLock);
    m_settings.SetUpgradePath(folder.c_str());
  }
  std::unique_ptr<platform::IProcess> started = processes.Start(updater, error);
  if (!started) {
    AppendLog(Format("(Upgrade) Run command failed with error %s", host.ErrorText(error).c_str()));
    host.DeleteTree(folder);
    std::lock_guard<std::mutex> lock(m_credentialsLock);
    m_settings.DeleteUpgradePath();
    return false;
  }
  return true;  // never waited for: it ends this process
}
