// The plugin runner over a fake system and a fake API: the output parser,
// command forms, names, the check thread's outcomes, run and update jobs,
// and plugin downloads.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "agent/custom/CorvaneAPIRequest.h"
#include "agent/custom/MonitorManager.h"
#include "agent/custom/PluginMonitor.h"
#include "agent/custom/PluginText.h"
#include "tests/unit/fakes/fake_custom_api.h"
#include "tests/unit/fakes/fake_custom_runtime.h"
#include "tests/unit/fakes/zip_builder.h"

namespace {

using namespace std::chrono_literals;
using namespace plugin_text;
using PRun = FakeCustomRuntime::Run;
using Hang = FakeCustomRuntime::Hang;

const std::string kFolder = "C:\\Users\\svc\\AppData\\Roaming\\Halvren\\Plugins\\P";
const std::string kSem = "Global\\Corvane_Custom_Monitor_P_is_running";

TEST(PluginText, ParsesOutput) {
  const struct {
    const char* output;
    const char* result;
  } cases[] = {
      {"cpu=5 mem=[1 2]", "cpu:5;mem:[1 2];"},
      {"a=1 b='x y'", "a:1;b:'x;"},
      {"list=[1 [2 3] 4]", "list:[1 [2 3] 4];"},
      {"a=1\r\nb=2", "a:1;b:2;"},
      {"'a b'=1", "a b:1;"},
      {"'it''s'=1", "it's:1;"},
      {"x=[1 2", "x:[1 2;"},
      {"no pairs here", ""},
      {"a=", "a:;"},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseOutput(Trim(c.output)), c.result) << c.output;
  EXPECT_EQ(EscapeOutput("say \"hi\" it's"), "say \\'hi\\' it\\'s");
}

TEST(PluginText, CommandForms) {
  const std::string cmd = "C:\\W\\system32\\cmd.exe";
  const struct {
    const char* script;
    const char* params;
    const char* line;
    bool shell;
  } cases[] = {
      {"a.vbs", "-x 1", "/c cscript /nologo \"a.vbs\" -x 1 2>&1 >o.out", true},
      {"a.VBS", "", "/c cscript /nologo \"a.VBS\" 2>&1 >o.out", true},
      {"a.PS1", "-x", "/c powershell -executionpolicy bypass -file \"a.PS1\" -x 2>&1 >o.out", true},
      {"a.ps1", "", "/c powershell -executionpolicy bypass -file \"a.ps1\" 2>&1 >o.out", true},
      {"run.bat", "-checktime 5000", "/c \"run.bat -checktime 5000\" 2>&1 >o.out", true},
      {"setup.bat", "", "/c \"setup.bat\" 2>&1 >o.out", true},  // no trailing blank inside the quotes
      {"SNMPMonitor.exe", "-h 1", "-h 1 -outFile \"o.out\"", false},
  };
  for (const auto& c : cases) {
    const Command got = PluginCommand(cmd, "F", c.script, c.params, "o.out");
    EXPECT_EQ(got.parameters, c.line) << c.script;
    EXPECT_EQ(got.shell, c.shell) << c.script;
    if (c.shell) {
      EXPECT_EQ(got.application, cmd);
      EXPECT_EQ(got.commandLine, "\"" + cmd + "\" " + c.line);
    } else {
      EXPECT_EQ(got.application, "F\\SNMPMonitor.exe");
      EXPECT_EQ(got.commandLine, c.line);  // this runner's line has no program name
    }
  }
}

TEST(PluginText, NamesAndFolders) {
  for (const std::string good : {"P", "my plugin", "a.b", "COM0", "console"})
    EXPECT_TRUE(ValidPluginName(good)) << good;
  EXPECT_TRUE(ValidPluginName(std::string(100, 'x')));
  for (const char* bad : {"", ".", "..", "a\\b", "a/b", "c:", "a*", "a?", "a\"", "a<", "a|", "a.", "a ",
                          "CON", "nul.txt", "Com1", "LPT9.x", "aux .z", "a\x01"})
    EXPECT_FALSE(ValidPluginName(bad)) << bad;
  EXPECT_FALSE(ValidPluginName(std::string(101, 'x')));

  for (const char* good : {"run.bat", "sub\\run.bat", "sub/x.vbs", "a..b.bat"})
    EXPECT_TRUE(SafeRelativeName(good)) << good;
  for (const char* bad : {"", "\\x.bat", "/x", "..\\x.bat", "a/../../x", "C:x.bat", "a\\..", "\\\\srv\\s"})
    EXPECT_FALSE(SafeRelativeName(bad)) << bad;

  // The LocalSystem profile lies under System32: only a whole leading folder is rewritten.
  const struct {
    const char* in;
    const char* out;
  } folders[] = {
      {"C:\\Windows\\System32\\config\\systemprofile\\AppData\\Roaming",
       "C:\\Windows\\SysWOW64\\config\\systemprofile\\AppData\\Roaming"},
      {"c:\\windows\\system32\\x", "C:\\Windows\\SysWOW64\\x"},
      {"C:\\Windows\\System32", "C:\\Windows\\SysWOW64"},
      {"C:\\Windows\\System32x\\y", "C:\\Windows\\System32x\\y"},
      {"C:\\Users\\a\\AppData\\Roaming", "C:\\Users\\a\\AppData\\Roaming"},
  };
  for (const auto& f : folders)
    EXPECT_EQ(RewriteSystemFolder(f.in, "C:\\Windows\\System32\\", "C:\\Windows\\SysWOW64"), f.out) << f.in;
}

// A manager whose senders do not run, a fake system and a fake API.
struct Bench {
  Bench() : owner(api.transport), manager(owner) {
    owner.creds.apiKey = "K";
    owner.creds.secretKey = "S";
    owner.creds.authToken = "T";
    owner.creds.agentId = 5;
  }
  CustomJob CheckJob(const std::string& runner = "run.bat") {
    CustomJob j;
    j.jobId = 11;
    j.monitorId = 21;
    j.type = CustomJob::Add;
    j.pluginName = "P";
    j.runnerFile = runner;
    j.parameters = "-p";
    j.interval = 5;
    j.nextCheck = rt.now;
    return j;
  }
  std::unique_ptr<CPluginMonitor> Monitor(CustomJob j) {
    auto m = std::make_unique<CPluginMonitor>(&manager, std::move(j), rt);
    m->SetThreadIndex(1);
    return m;
  }
  // Runs one check of a new monitor and returns the posted result.
  bool OneResult(CPluginMonitor& m, CustomResult& r, std::chrono::milliseconds limit = 5s) {
    EXPECT_TRUE(m.StartCheck());
    const auto until = std::chrono::steady_clock::now() + limit;
    while (manager.Sender(1)->QueuedResults() == 0 && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(5ms);
    m.SignalStop();
    EXPECT_TRUE(m.FinishStop(std::chrono::steady_clock::now() + 5s));
    auto results = manager.Sender(1)->Results();
    if (results.empty()) return false;
    r = results.front();
    return true;
  }
  // The plugin writes `output` to its output file and exits with `code`.
  void Plugin(const std::string& output, uint32_t code = 0) {
    rt.onStart = [this, output, code](const platform::ProcessSpec& spec) {
      if (spec.commandLine.find(">plugin") != std::string::npos)
        rt.Put(spec.workingFolder + "\\plugin11.out", output);
      PRun r;
      r.exitCode = code;
      return r;
    };
  }

  FakeCustomApi api;
  FakeCustomOwner owner;
  FakeCustomRuntime rt;
  CMonitorManager manager;
};

TEST(PluginCheck, Outcomes) {
  const struct {
    const char* name;
    const char* runner;
    bool runnerThere;
    const char* output;  // null: no output file
    uint32_t exitCode;
    std::string result;
    bool isError;
  } cases[] = {
      {"pairs", "run.bat", true, "a=1 b=2", 0, "a:1;b:2;", false},
      {"exit 3 with pairs", "run.bat", true, " cpu=5 ", 3, "cpu:5;", false},
      {"no pairs", "run.bat", true, "it's \"bad\"", 0, "it\\'s \\'bad\\'", true},
      {"empty output", "run.bat", true, "  ", 0, UrlEncode("Plugin script returned empty results"), true},
      {"no output file", "run.bat", true, nullptr, 1, UrlEncode("Plugin script returned empty results"),
       true},
      {"not found", "run.bat", false, "a=1", 0, UrlEncode("Plugin script was not found"), true},
      {"unsafe runner", "..\\run.bat", true, "a=1", 0, UrlEncode("Plugin script was not found"), true},
  };
  for (const auto& c : cases) {
    Bench b;
    if (c.runnerThere) b.rt.Put(kFolder + "\\" + c.runner, "@echo");
    if (c.output)
      b.Plugin(c.output, c.exitCode);
    else
      b.rt.onStart = [&](const platform::ProcessSpec&) {
        PRun r;
        r.exitCode = c.exitCode;
        return r;
      };
    auto m = b.Monitor(b.CheckJob(c.runner));
    CustomResult r;
    ASSERT_TRUE(b.OneResult(*m, r)) << c.name;
    EXPECT_EQ(r.results, c.result) << c.name;
    EXPECT_EQ(r.isError, c.isError) << c.name;
    EXPECT_EQ(r.checkTime, 1700000000) << c.name;
    EXPECT_EQ(b.rt.Units(kSem), 1) << c.name;  // the unit went back
    EXPECT_EQ(b.rt.Get(kFolder + "\\plugin11.out"), "<none>") << c.name;
  }
}

TEST(PluginCheck, CommandLineAndNextCheck) {
  Bench b;
  b.rt.now = 1679792400;  // 2023-03-26 01:00 UTC, a change to summer time in Europe
  b.rt.Put(kFolder + "\\run.bat", "@echo");
  b.Plugin("a=1");
  CustomJob job = b.CheckJob();
  job.nextCheck = 0;
  auto m = b.Monitor(job);
  CustomResult r;
  ASSERT_TRUE(b.OneResult(*m, r));
  const auto starts = b.rt.Starts();
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(
      starts[0].commandLine,
      "\"C:\\windows\\system32\\cmd.exe\" /c \"run.bat -p -checktime 1679792400000\" 2>&1 >plugin11.out");
  EXPECT_EQ(starts[0].workingFolder, kFolder);
  // The stop resets the next check; before it, the next one was T + 300.
  EXPECT_EQ(m->NextCheck(), 0);
}

TEST(PluginCheck, NextCheckIsStartPlusInterval) {
  Bench b;
  b.rt.now = 1679792400;
  b.rt.Put(kFolder + "\\run.bat", "@echo");
  b.Plugin("a=1");
  auto m = b.Monitor(b.CheckJob());
  ASSERT_TRUE(m->StartCheck());
  const auto until = std::chrono::steady_clock::now() + 5s;
  while (m->NextCheck() != 1679792400 + 300 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(5ms);
  EXPECT_EQ(m->NextCheck(), 1679792400 + 300);
}

TEST(PluginCheck, BusyDownloadErrorTimeoutAndBadName) {
  {
    Bench b;  // every unit taken elsewhere: the 5-minute wait passes on the fake clock
    b.rt.SetUnits(kSem, 0, 1);
    auto m = b.Monitor(b.CheckJob());
    CustomResult r;
    ASSERT_TRUE(b.OneResult(*m, r, 60s));
    EXPECT_EQ(r.results, UrlEncode("Plugin script is too busy"));
    EXPECT_TRUE(r.isError);
    EXPECT_EQ(b.rt.Units(kSem), 0);  // nothing released that was not taken
  }
  {
    Bench b;
    CustomJob j = b.CheckJob();
    j.downloadUrl = "ftp://h/p.zip";
    auto m = b.Monitor(j);
    CustomResult r;
    ASSERT_TRUE(b.OneResult(*m, r));
    EXPECT_EQ(r.results, UrlEncode("Invalid URI scheme in download URL: 'ftp://h/p.zip'"));
    EXPECT_TRUE(r.isError);
  }
  {
    Bench b;
    b.rt.Put(kFolder + "\\run.bat", "@echo");
    b.rt.onStart = [](const platform::ProcessSpec&) {
      PRun r;
      r.hang = Hang::FakeClock;
      return r;
    };
    CustomJob j = b.CheckJob();
    j.interval = 1;
    auto m = b.Monitor(j);
    CustomResult r;
    ASSERT_TRUE(b.OneResult(*m, r));
    EXPECT_EQ(r.results, UrlEncode("Plugin script did not finish his job within 1 minute(s)"));
    EXPECT_TRUE(r.isError);
    EXPECT_EQ(b.rt.endedTrees.load(), 1);
  }
  {
    Bench b;
    CustomJob j = b.CheckJob();
    j.pluginName = "..";
    auto m = b.Monitor(j);
    CustomResult r;
    ASSERT_TRUE(b.OneResult(*m, r));
    EXPECT_EQ(r.results, UrlEncode("Invalid plugin name: '..'"));
    EXPECT_TRUE(b.rt.Starts().empty());
  }
}

TEST(PluginCheck, StopMidRunPostsNothingAndEndsTheTree) {
  Bench b;
  b.rt.Put(kFolder + "\\run.bat", "@echo");
  std::atomic<bool> started{false};
  b.rt.onStart = [&](const platform::ProcessSpec&) {
    started = true;
    PRun r;
    r.hang = Hang::Real;
    return r;
  };
  auto m = b.Monitor(b.CheckJob());
  ASSERT_TRUE(m->StartCheck());
  while (!started) std::this_thread::sleep_for(5ms);
  const auto t0 = std::chrono::steady_clock::now();
  m->SignalStop();
  EXPECT_TRUE(m->FinishStop(t0 + 5s));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
  EXPECT_EQ(b.manager.Sender(1)->QueuedResults(), 0u);
  EXPECT_EQ(b.rt.endedTrees.load(), 1);
  EXPECT_EQ(b.rt.Units(kSem), 1);
  // A restart checks at once.
  EXPECT_EQ(m->NextCheck(), 0);
}

// Run jobs: the status their deletion carries.
TEST(PluginRun, Statuses) {
  const std::string logonFailed = UrlEncode("Internal error (code:102, err:1326)");
  const struct {
    const char* name;
    const char* plugin;
    const char* user;
    PRun run;
    bool scriptThere;
    std::string status;
  } cases[] = {
      {"process ends", "", "", PRun{true, 0, 3, Hang::No}, false, ""},
      {"fail-closed logon", "", "bob", PRun{false, 1326, 0, Hang::No}, false, logonFailed},
      {"process hangs", "", "", PRun{true, 0, 0, Hang::FakeClock}, false,
       UrlEncode("Process did not finish his job within 5 minute(s)")},
      {"plugin script", "P", "", PRun{true, 0, 0, Hang::No}, true, "x=1"},
      {"plugin script missing", "P", "", PRun{true, 0, 0, Hang::No}, false,
       UrlEncode("Plugin script was not found")},
      {"bad plugin name", "a/b", "", PRun{true, 0, 0, Hang::No}, false,
       UrlEncode("Invalid plugin name: 'a/b'")},
  };
  for (const auto& c : cases) {
    Bench b;
    CustomJob j;
    j.jobId = 11;
    j.type = CustomJob::RunCommand;
    j.pluginName = c.plugin;
    j.command = *c.plugin ? "go.bat" : "C:\\tools\\go.exe /x";
    j.user = c.user;
    j.password = "pw";
    j.interval = 1;
    if (c.scriptThere) b.rt.Put(kFolder + "\\go.bat", "@echo");
    const PRun run = c.run;
    b.rt.onStart = [&b, run](const platform::ProcessSpec& spec) {
      if (spec.commandLine.find(">plugin11.out") != std::string::npos)
        b.rt.Put(spec.workingFolder + "\\plugin11.out", "x=1");
      return run;
    };
    auto m = b.Monitor(j);
    ASSERT_TRUE(m->StartCheck()) << c.name;
    EXPECT_TRUE(m->FinishStop(std::chrono::steady_clock::now() + 10s)) << c.name;
    const auto deletions = b.manager.Sender(0)->Deletions();
    ASSERT_EQ(deletions.size(), 1u) << c.name;
    EXPECT_EQ(deletions[0].jobIds, "11");
    EXPECT_EQ(deletions[0].status, c.status) << c.name;
    if (*c.user) {
      ASSERT_EQ(b.rt.Starts().size(), 1u);
      EXPECT_EQ(b.rt.Starts()[0].user, "bob");
    }
    EXPECT_FALSE(m->StartCheck()) << "a run job runs once";
  }
}

TEST(PluginRun, SemaphoreTimeoutIsReported) {
  Bench b;
  b.rt.SetUnits("Global\\Corvane_Custom_Monitor__is_running", 0, 1);
  CustomJob j;
  j.jobId = 12;
  j.type = CustomJob::RunCommand;
  j.command = "x.exe";
  j.interval = 1;
  auto m = b.Monitor(j);
  ASSERT_TRUE(m->StartCheck());
  EXPECT_TRUE(m->FinishStop(std::chrono::steady_clock::now() + 30s));
  const auto deletions = b.manager.Sender(0)->Deletions();
  ASSERT_EQ(deletions.size(), 1u);
  EXPECT_EQ(deletions[0].status, UrlEncode("Timeout waiting plugins to finish."));
  EXPECT_TRUE(b.rt.Starts().empty());
}

// Plugin downloads, straight on the caller's thread (no thread, no stop).
struct Download {
  Download()
      : transport([this](const platform::HttpExchangeSpec& spec) {
          objects.push_back(spec.object);
          FakeHttpTransport::Reply r;
          r.status = status;
          r.body = body;
          return r;
        }),
        owner(transport),
        manager(owner) {}
  CustomJob Job(int32_t type = CustomJob::Add) {
    CustomJob j;
    j.jobId = 11;
    j.monitorId = 21;
    j.type = type;
    j.pluginName = "P";
    j.downloadUrl = "http://files.test:8080/files/p.zip";
    j.interval = 1;
    return j;
  }
  std::string Fetch(const CustomJob& j, const std::string& runner) {
    CPluginMonitor m(&manager, j, rt);
    uint32_t exitCode = 0;
    return m.DownloadPlugin(exitCode, runner);
  }
  std::vector<std::string> objects;
  uint32_t status = 200;
  std::string body;
  FakeHttpTransport transport;
  FakeCustomOwner owner;
  CMonitorManager manager;
  FakeCustomRuntime rt;
};

TEST(PluginDownload, SkipsAndRefusals) {
  {
    Download d;
    d.rt.Put(kFolder + "\\run.bat", "@echo");
    EXPECT_EQ(d.Fetch(d.Job(), "run.bat"), "");
    EXPECT_TRUE(d.objects.empty());
  }
  {
    Download d;
    CustomJob j = d.Job();
    j.downloadUrl.clear();
    EXPECT_EQ(d.Fetch(j, "run.bat"), "");
    EXPECT_TRUE(d.objects.empty());
  }
  {
    Download d;  // an update of a plugin never installed
    EXPECT_EQ(d.Fetch(d.Job(CustomJob::UpdatePlugin), ""), "");
    EXPECT_TRUE(d.objects.empty());
  }
  for (const char* url : {"ftp://h/p.zip", "file://h/p.zip"}) {
    Download d;
    CustomJob j = d.Job();
    j.downloadUrl = url;
    EXPECT_EQ(d.Fetch(j, "run.bat"), std::string("Invalid URI scheme in download URL: '") + url + "'");
  }
  for (const char* url : {"nothing", "http://", "http://h:99999/x", "http://h:x/y"}) {
    Download d;
    CustomJob j = d.Job();
    j.downloadUrl = url;
    EXPECT_EQ(d.Fetch(j, "run.bat"), std::string("Invalid plugin download URL: '") + url + "'");
  }
}

TEST(PluginDownload, BodyIsWrittenAndUnpacked) {
  const std::string zip = MakeZip({{"run.bat", "@echo a=1"}, {"setup.bat", "@echo ok"}});
  {
    Download d;  // 404: the body is kept; neither unpacker takes it; no setup run
    d.status = 404;
    d.body = "<html>not here</html>";
    d.rt.onStart = [](const platform::ProcessSpec&) {
      PRun r;
      r.exitCode = 1;
      return r;
    };
    CustomJob j = d.Job();
    j.setupFile = "setup.bat";
    EXPECT_EQ(d.Fetch(j, "run.bat"), "Internal error (code:1005)");
    EXPECT_EQ(d.objects, std::vector<std::string>{"/files/p.zip"});
    EXPECT_EQ(d.rt.Get(kFolder + "\\plugin.zip"), d.body);
    const auto starts = d.rt.Starts();
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].commandLine, "\"C:\\Program Files\\Halvren\\miniunz.exe\" -xo \"" + kFolder +
                                         "\\plugin.zip\" -d \"" + kFolder + "\"");
  }
  {
    Download d;  // the shell unpacks; the setup file named but absent: success
    d.body = zip;
    bool shell = false;
    d.rt.onShellUnzip = [&](const std::string&, const std::string&) { return shell = true; };
    CustomJob j = d.Job();
    j.setupFile = "install.bat";
    EXPECT_EQ(d.Fetch(j, "run.bat"), "");
    EXPECT_TRUE(shell);
    EXPECT_TRUE(d.rt.Starts().empty());
  }
  {
    Download d;  // the tool unpacks (exit 0); the setup file runs without parameters
    d.body = zip;
    d.rt.onStart = [&d](const platform::ProcessSpec& spec) {
      if (spec.commandLine.find("miniunz") != std::string::npos) d.rt.Put(kFolder + "\\setup.bat", "@echo");
      return PRun();
    };
    CustomJob j = d.Job();
    j.setupFile = "setup.bat";
    EXPECT_EQ(d.Fetch(j, "run.bat"), "");
    const auto starts = d.rt.Starts();
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[1].commandLine,
              "\"C:\\windows\\system32\\cmd.exe\" /c \"setup.bat\" 2>&1 >plugin11.out");
  }
  {
    Download d;  // an unsafe name: the shell is not asked, the tool refuses too
    d.body = MakeZip({{"../evil.bat", "x"}});
    bool shell = false;
    d.rt.onShellUnzip = [&](const std::string&, const std::string&) { return shell = true; };
    d.rt.onStart = [](const platform::ProcessSpec&) {
      PRun r;
      r.exitCode = 1;
      return r;
    };
    EXPECT_EQ(d.Fetch(d.Job(), "run.bat"), "Internal error (code:1005)");
    EXPECT_FALSE(shell);
  }
  {
    Download d;  // the archive cannot be written
    d.body = zip;
    d.rt.failWrites = true;
    EXPECT_EQ(d.Fetch(d.Job(), "run.bat"), "Internal error (code:1004)");
  }
}

TEST(PluginUpdate, ReportsAndRestarts) {
  Bench b;
  b.rt.folders.insert(kFolder);
  CustomJob j = b.CheckJob();
  j.type = CustomJob::UpdatePlugin;
  j.downloadUrl = "ftp://x/y";
  auto m = b.Monitor(j);
  ASSERT_TRUE(m->StartUpdate());
  EXPECT_TRUE(m->FinishStop(std::chrono::steady_clock::now() + 5s));
  const auto deletions = b.manager.Sender(0)->Deletions();
  ASSERT_EQ(deletions.size(), 1u);
  EXPECT_EQ(deletions[0].status, "Invalid URI scheme in download URL: 'ftp://x/y'");
}

}  // namespace
