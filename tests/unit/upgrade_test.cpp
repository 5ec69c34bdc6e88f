// The gateway's upgrade order end to end on fakes: the UPD command, the
// download into the temporary archive, the unzip and the hand-over.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "platform/memory_config_store.h"
#include "tests/unit/fakes/fake_custom_runtime.h"
#include "tests/unit/fakes/fake_upgrade_host.h"
#include "tests/unit/fakes/worker_fakes.h"

using namespace std::chrono_literals;

namespace {

const std::string kAgentFolder = "C:\\Program Files\\Halvren";

class TestWorker : public CMainWorker {
 public:
  using CMainWorker::CMainWorker;
  using CMainWorker::SetWorkState;
};

class UpgradeTest : public ::testing::Test, protected WorkerFakes {
 protected:
  UpgradeTest() {
    CreateAgentKeys(store);
    limits.unzip = 300ms;
  }

  void PutSetting(const char* name, const std::string& value) { PutString(store, kSettingsKey, name, value); }

  std::unique_ptr<TestWorker> Make() {
    WorkerSeams seams = SeamsOver(store);
    seams.upgrade = &host;
    seams.processes = &runtime;
    seams.upgradeLimits = limits;
    seams.logTap = [this](const std::string& line) {
      if (line.rfind("(Upgrade)", 0) != 0) return;
      std::lock_guard<std::mutex> hold(logLock);
      log.push_back(line);
    };
    auto w = std::make_unique<TestWorker>(seams);
    w->SetWorkState(CMainWorker::Working);
    return w;
  }

  // Waits for the attempt to end (the flag cleared) or to hand over (an Updater start).
  bool WaitForEnd(TestWorker& w) {
    for (int i = 0; i < 500; ++i) {
      if (!w.UpgradeStarted() || Has("(Upgrade) Running command")) {
        std::this_thread::sleep_for(20ms);  // the thread's last steps
        return true;
      }
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

  std::vector<std::string> Log() {
    std::lock_guard<std::mutex> hold(logLock);
    return log;
  }
  bool Has(const std::string& start) {
    std::lock_guard<std::mutex> hold(logLock);
    return std::any_of(log.begin(), log.end(), [&](const std::string& l) { return l.rfind(start, 0) == 0; });
  }
  std::string Joined() {
    std::string all;
    for (auto& l : Log()) all += l + "\n";
    return all;
  }

  platform::MemoryConfigStore store;
  FakeUpgradeHost host;
  FakeCustomRuntime runtime;
  UpgradeLimits limits;
  std::mutex logLock;
  std::vector<std::string> log;
};

TEST(UpgradeText, UnpackFolderAndQuotableVersions) {
  EXPECT_EQ(UnpackFolderFor("C:\\Temp\\monAB12.tmp"), "C:\\Temp\\~monAB12.tmp");
  EXPECT_EQ(UnpackFolderFor("C:\\Temp\\x.y\\monAB12"), "C:\\Temp\\x.y\\~monAB12");
  for (const char* good : {"4.03.01", "4.03 beta", "v\\1"}) EXPECT_TRUE(IsQuotableVersion(good)) << good;
  for (const char* bad : {"", "4\"03", "4.03\\", "4.03\t1", "4.03\n", "4\x7f"}) EXPECT_FALSE(IsQuotableVersion(bad));
  EXPECT_EQ(NormaliseUpgradeLocation("host/a.zip"), "https://host/a.zip");
  EXPECT_EQ(NormaliseUpgradeLocation("HTTPS://host/a.zip"), "HTTPS://host/a.zip");
  EXPECT_EQ(NormaliseUpgradeLocation("http"), "https://http");
  EXPECT_TRUE(IsHttpsLocation("HTTPS://h/a"));
  EXPECT_FALSE(IsHttpsLocation("http://h/a"));
  EXPECT_FALSE(IsHttpsLocation("httpsx//h"));
}

TEST_F(UpgradeTest, RefusedOrdersStoreAndStartNothing) {
  host.reply.status = 404;
  const struct {
    const char* gateway;  // Host setting; empty: the default https gateway
    const char* line;
    const char* refusal;  // empty: accepted, a download starts
  } cases[] = {
      {"", "UPD\t4.03\"x\thttps://dl/a.zip", "(Upgrade) Refusing version text '4.03\"x'"},
      {"", "UPD\t4.03\\\thttps://dl/a.zip", "(Upgrade) Refusing version text '4.03\\'"},
      {"", "UPD\t4.03\x01\thttps://dl/a.zip", "(Upgrade) Refusing version text '4.03\x01'"},
      {"", "UPD\t4.03\thttp://dl/a.zip", "(Upgrade) Refusing unencrypted download location 'http://dl/a.zip'"},
      {"", "UPD\t4.03\tHTTP://dl/a.zip", "(Upgrade) Refusing unencrypted download location 'HTTP://dl/a.zip'"},
      {"", "UPD\t4.03\tdl/a.zip", ""},
      {"", "UPD\t4.03\tHttpS://dl/a.zip", ""},
      {"http://gw.example/agent", "UPD\t4.03\thttp://dl/a.zip", ""},
      {"http://gw.example/agent", "UPD\t4.03\thttps://dl/a.zip", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    log.clear();
    host.gets.clear();
    PutSetting("Host", c.gateway);
    auto w = Make();
    w->ProcessCommands(c.line);
    ASSERT_TRUE(WaitForEnd(*w));
    if (*c.refusal) {
      EXPECT_TRUE(Has(c.refusal)) << Joined();
      EXPECT_TRUE(host.Gets().empty());
      EXPECT_EQ(w->GetUpgradeVersion(), "");
    } else {
      ASSERT_EQ(host.Gets().size(), 1u) << Joined();
      EXPECT_TRUE(Has("(Upgrade) Download Failed. Server Response code: 404"));
    }
  }
}

TEST_F(UpgradeTest, DownloadFailuresLeaveNoArchiveAndAllowANewOrder) {
  limits.packageBytes = 4096;
  limits.download = 300ms;
  const struct {
    const char* name;
    platform::PackageGetReply reply;
    std::vector<std::string> body;
    bool endless;
    const char* expected;
  } cases[] = {
      {"404", {platform::PackageGetStep::None, 0, false, 404, -1}, {"x"}, false,
       "(Upgrade) Download Failed. Server Response code: 404"},
      {"empty", {platform::PackageGetStep::None, 0, false, 200, -1}, {}, false,
       "(Upgrade) Download failed. Received 0 bytes."},
      {"short", {platform::PackageGetStep::None, 0, false, 200, 2000}, {"abc", "def"}, false,
       "(Upgrade) Download failed. Received 6 of 2000 bytes."},
      {"declared too large", {platform::PackageGetStep::None, 0, false, 200, 5000}, {"abc"}, false,
       "(Upgrade) Download failed. The package exceeds 4096 bytes."},
      {"grows too large", {platform::PackageGetStep::None, 0, false, 200, -1}, {std::string(1000, 'z')}, true,
       "(Upgrade) Download failed. The package exceeds 4096 bytes."},
      {"send refused", {platform::PackageGetStep::Send, 12029, false, 0, -1}, {}, false,
       "(Upgrade) Download failed. Error 12029"},
      {"bad url", {platform::PackageGetStep::CrackUrl, 12006, false, 0, -1}, {}, false,
       "(Upgrade) InternetCrackUrlA failed"},
  };
  auto w = Make();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    log.clear();
    host.reply = c.reply;
    host.body = c.body;
    host.endlessBody = c.endless;
    const size_t before = host.Gets().size();
    w->ProcessCommands("UPD\t4.03\thttps://dl/a.zip");
    ASSERT_TRUE(WaitForEnd(*w));
    EXPECT_EQ(host.Gets().size(), before + 1);  // each order after a failure starts a new attempt
    EXPECT_TRUE(Has(c.expected)) << Joined();
    EXPECT_FALSE(w->UpgradeStarted());
    EXPECT_TRUE(host.Archives().empty());
    EXPECT_TRUE(runtime.Starts().empty());
  }
  // The time limit, on a body that keeps coming slowly.
  log.clear();
  host.reply = {platform::PackageGetStep::None, 0, false, 200, -1};
  host.body = {"a"};
  host.endlessBody = true;
  host.pieceDelay = 20ms;
  w->ProcessCommands("UPD\t4.03\thttps://dl/a.zip");
  ASSERT_TRUE(WaitForEnd(*w));
  EXPECT_TRUE(Has("(Upgrade) Download failed. Time limit reached.")) << Joined();
  EXPECT_TRUE(host.Archives().empty());
}

TEST_F(UpgradeTest, RequestCarriesTheAgentsIdentityProxyAndCertificateRule) {
  host.reply.status = 404;
  host.userProxy = "userproxy:8080";
  {
    auto w = Make();
    w->ProcessCommands("UPD\t4.03\tdl.example/a.zip");
    ASSERT_TRUE(WaitForEnd(*w));
  }
  PutSetting("Proxy", "agentproxy:3128");
  {
    std::unique_ptr<platform::ConfigKey> key;
    ASSERT_EQ(store.open_key(kSettingsKey, platform::ConfigAccess::ReadWrite, key), 0);
    auto one = platform::encode_dword(1);
    ASSERT_EQ(key->write("IgnoreCertErrors", platform::kTypeDword, one.data(), one.size()), 0);
  }
  {
    auto w = Make();
    w->ProcessCommands("UPD\t4.03\tdl.example/a.zip");
    ASSERT_TRUE(WaitForEnd(*w));
  }
  const auto gets = host.Gets();
  ASSERT_EQ(gets.size(), 2u);
  EXPECT_EQ(gets[0].url, "https://dl.example/a.zip");
  EXPECT_EQ(gets[0].proxy, "userproxy:8080");
  EXPECT_EQ(gets[0].headers, "Content-Type: application/x-www-form-urlencoded;charset=UTF-8\r\n");
  EXPECT_FALSE(gets[0].userAgent.empty());
  EXPECT_EQ(gets[1].proxy, "agentproxy:3128");
  EXPECT_FALSE(gets[0].ignoreCertErrors);
  EXPECT_TRUE(gets[1].ignoreCertErrors);
  EXPECT_TRUE(Has("(Upgrade) Downloading from 'https://dl.example/a.zip' (version:4.03)"));
}

TEST_F(UpgradeTest, RelaxedRetryIsLoggedBeforeTheSecondFailure) {
  host.reply = {platform::PackageGetStep::Send, 12175, true, 0, -1};
  auto w = Make();
  w->ProcessCommands("UPD\t4.03\thttps://dl/a.zip");
  ASSERT_TRUE(WaitForEnd(*w));
  const std::vector<std::string> expected = {
      "(Upgrade) UPD command received: '4.03' 'https://dl/a.zip' ''",
      "(Upgrade) Downloading from 'https://dl/a.zip' (version:4.03)",
      "(Upgrade) HttpSendRequestA failed",
      "(Upgrade) Trying different security options...",
      "(Upgrade) HttpSendRequestA failed",
      "(Upgrade) Download failed. Error 12175",
  };
  EXPECT_EQ(Log(), expected);
}

TEST_F(UpgradeTest, GoodPackageIsUnpackedAndHandedToTheUpdater) {
  host.reply.contentLength = 6;
  host.body = {"PK", "\x03\x04zz"};
  runtime.onStart = [this](const platform::ProcessSpec& spec) {
    if (spec.application.find("miniunz") != std::string::npos) host.Put("C:\\Temp\\~mon1.tmp\\Halvren.exe", "MZ");
    return FakeCustomRuntime::Run();
  };
  auto w = Make();
  w->ProcessCommands("UPD\t4.03.01\thttps://dl/a.zip\textra");
  ASSERT_TRUE(WaitForEnd(*w));
  const auto starts = runtime.Starts();
  ASSERT_EQ(starts.size(), 2u) << Joined();
  EXPECT_EQ(starts[0].application, kAgentFolder + "\\miniunz.exe");
  EXPECT_EQ(starts[0].commandLine,
            "\"C:\\Program Files\\Halvren\\miniunz.exe\" -xo \"C:\\Temp\\mon1.tmp\" -d \"C:\\Temp\\~mon1.tmp\"");
  EXPECT_TRUE(starts[0].killOnClose);
  EXPECT_EQ(starts[1].commandLine,
            "\"C:\\Program Files\\Halvren\\Updater.exe\" \"C:\\Temp\\~mon1.tmp\" \"C:\\Program Files\\Halvren\" "
            "\"4.03.01\"");
  EXPECT_FALSE(starts[1].killOnClose);
  EXPECT_TRUE(w->UpgradeStarted());  // stays: the Updater ends this process
  EXPECT_TRUE(host.Archives().empty());
  EXPECT_TRUE(host.HasFolder("C:\\Temp\\~mon1.tmp"));
  EXPECT_EQ(AgentSettings(store).GetUpgradePath().value_or(""), "C:\\Temp\\~mon1.tmp");
  EXPECT_TRUE(Has("(Upgrade) Downloaded 6 bytes"));
  EXPECT_TRUE(Has("(Upgrade) GetExitCodeProcess returned 0"));
  // A later order while the hand-over stands starts nothing.
  w->ProcessCommands("UPD\t4.04\thttps://dl/b.zip");
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(host.Gets().size(), 1u);
  EXPECT_EQ(w->GetUpgradeVersion(), "4.04");
}

TEST_F(UpgradeTest, MakeUpgradeFailuresAndTheUpdaterChoice) {
  const std::string archive = "C:\\Temp\\monAB.tmp", folder = "C:\\Temp\\~monAB.tmp";
  struct Case {
    const char* name;
    FakeCustomRuntime::Run unzip;
    bool packagedUpdater;
    bool updaterStarts;
    bool existingFolder;
    bool result;
    const char* expected;
  };
  FakeCustomRuntime::Run exit2, hang, fine, refused;
  exit2.exitCode = 2;
  hang.hang = FakeCustomRuntime::Hang::Real;
  refused.started = false;
  refused.error = 2;
  const Case cases[] = {
      {"unzip exit 2", exit2, false, true, false, false, "(Upgrade) Extraction failed."},
      {"unzip hangs", hang, false, true, false, false, "(Upgrade) Timed out waiting for extract."},
      {"unzip missing", refused, false, true, false, false, "(Upgrade) CreateProcessA Error 2"},
      {"folder there", fine, false, true, true, false, "(Upgrade) CreateDirectoryA Error 183"},
      {"updater fails", fine, false, false, false, false, "(Upgrade) Run command failed with error Error 5"},
      {"agent's updater", fine, false, true, false, true, "(Upgrade) Running command '\"C:\\Program Files\\Halvren\\Updater.exe\""},
      {"package's updater", fine, true, true, false, true, "(Upgrade) Running command '\"C:\\Temp\\~monAB.tmp\\Updater.exe\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log.clear();
    host.files.clear();
    host.folders.clear();
    runtime.starts.clear();
    runtime.endedTrees = 0;
    host.Put(archive, "PK");
    if (c.existingFolder) host.folders.insert(folder);
    runtime.onStart = [&](const platform::ProcessSpec& spec) {
      if (spec.application.find("miniunz") != std::string::npos) {
        if (c.packagedUpdater) host.Put(folder + "\\Updater.exe", "MZ");
        return c.unzip;
      }
      FakeCustomRuntime::Run run;
      run.started = c.updaterStarts;
      run.error = 5;
      return run;
    };
    auto w = Make();
    EXPECT_EQ(w->MakeUpgrade(archive, "4.03"), c.result);
    EXPECT_TRUE(Has(c.expected)) << Joined();
    EXPECT_FALSE(host.IsFile(archive));  // the archive goes on every path
    EXPECT_EQ(host.HasFolder(folder), c.result || c.existingFolder);
    EXPECT_EQ(AgentSettings(store).GetUpgradePath().has_value(), c.result);
    if (c.unzip.hang == FakeCustomRuntime::Hang::Real) {
      EXPECT_EQ(runtime.endedTrees, 1);
    }
    AgentSettings(store).DeleteUpgradePath();
  }
}

TEST_F(UpgradeTest, StopAbortsTheDownloadAndBlocksLateOrders) {
  host.reply.status = 200;
  host.body = {"PK"};
  host.blockUntilAborted = true;
  auto w = Make();
  w->ProcessCommands("UPD\t4.03\thttps://dl/a.zip");
  for (int i = 0; i < 200 && host.Gets().empty(); ++i) std::this_thread::sleep_for(5ms);
  // A second order during the attempt only replaces what is stored.
  w->ProcessCommands("UPD\t4.04\thttps://dl/b.zip");
  EXPECT_EQ(w->GetUpgradeLocation(), "https://dl/b.zip");
  const auto began = std::chrono::steady_clock::now();
  EXPECT_TRUE(w->StopAllWorks());
  EXPECT_LT(std::chrono::steady_clock::now() - began, 2s);
  EXPECT_EQ(host.Gets().size(), 1u);
  EXPECT_GE(host.aborts.load(), 1);
  EXPECT_FALSE(w->UpgradeStarted());
  EXPECT_TRUE(host.Archives().empty());
  // An order that slipped past the stop starts nothing.
  host.blockUntilAborted = false;
  w->SetWorkState(CMainWorker::Working);
  w->ProcessCommands("UPD\t4.05\thttps://dl/c.zip");
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(host.Gets().size(), 1u);
  EXPECT_FALSE(w->UpgradeStarted());
}

TEST_F(UpgradeTest, StopEndsARunningUnzipAndDeletesWhatItWrote) {
  limits.unzip = 30s;
  host.reply.contentLength = 2;
  host.body = {"PK"};
  std::atomic<bool> unzipping{false};
  runtime.onStart = [&](const platform::ProcessSpec&) {
    FakeCustomRuntime::Run run;
    run.hang = FakeCustomRuntime::Hang::Real;
    unzipping = true;
    return run;
  };
  auto w = Make();
  w->ProcessCommands("UPD\t4.03\thttps://dl/a.zip");
  for (int i = 0; i < 400 && !unzipping; ++i) std::this_thread::sleep_for(5ms);
  ASSERT_TRUE(unzipping);
  const auto began = std::chrono::steady_clock::now();
  EXPECT_TRUE(w->StopAllWorks());
  EXPECT_LT(std::chrono::steady_clock::now() - began, 2s);
  EXPECT_EQ(runtime.endedTrees, 1);
  EXPECT_EQ(runtime.Starts().size(), 1u);  // no Updater
  EXPECT_TRUE(host.Archives().empty());
  EXPECT_FALSE(host.HasFolder("C:\\Temp\\~mon1.tmp"));
  EXPECT_FALSE(w->UpgradeStarted());
}

TEST_F(UpgradeTest, NoCleanUpOfTheFolderOfThisProcesssHandOver) {
  host.reply.contentLength = 2;
  host.body = {"PK"};
  auto w = Make();
  w->ProcessCommands("UPD\t4.03\thttps://dl/a.zip");
  ASSERT_TRUE(WaitForEnd(*w));
  ASSERT_TRUE(w->UpgradeStarted());
  // The next authorisation pass must leave the running Updater's folder alone.
  w->SetWorkState(CMainWorker::Stopped);
  std::unique_ptr<platform::ConfigKey> key;
  store.create_key(kAgentKey, key);
  w->SetRegistration("KEY-1", "agent-1");
  ASSERT_TRUE(w->StartWork());
  ASSERT_TRUE(exchange.WaitForRequests(1, 5s));
  std::this_thread::sleep_for(100ms);
  w->StopAllWorks();
  EXPECT_TRUE(system.deleted.empty());
  EXPECT_TRUE(AgentSettings(store).GetUpgradePath().has_value());
}

}  // namespace
