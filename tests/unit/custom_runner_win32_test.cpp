// The plugin runner with the real system under Wine: cmd.exe with .bat
// plugins, job objects that end a plugin's whole tree on a stop or a
// time-out, named semaphores across objects, and the zip tool beside the
// program. The grandchild is sleep_probe.exe, beside this test.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "agent/custom/MonitorManager.h"
#include "agent/custom/PluginMonitor.h"
#include "platform/custom_runtime.h"
#include "tests/unit/fakes/fake_custom_api.h"

namespace {

using namespace std::chrono_literals;

std::string ProgramFolder() { return platform::system_custom_runtime()->ProgramFolder(); }

struct Real {
  Real() : owner(api.transport), manager(owner) {
    folder = ProgramFolder() + "\\runner_win32_test";
    CreateDirectoryA(folder.c_str(), nullptr);
  }
  CustomJob Job() {
    CustomJob j;
    j.jobId = 31;
    j.monitorId = 41;
    j.type = CustomJob::Add;
    j.pluginName = "W";
    j.interval = 1;
    return j;
  }
  void Write(const std::string& name, const std::string& text) {
    std::ofstream(folder + "\\" + name, std::ios::binary) << text;
  }
  std::string Read(const std::string& name) {
    std::ifstream in(folder + "\\" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static bool Gone(DWORD pid) {
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!h) return true;
    const bool ended = WaitForSingleObject(h, 5000) == WAIT_OBJECT_0;
    CloseHandle(h);
    return ended;
  }
  FakeCustomApi api;
  FakeCustomOwner owner;
  CMonitorManager manager;
  std::string folder;
};

TEST(PluginRunnerWine, BatchOutputBecomesTheResult) {
  Real r;
  r.Write("pairs.bat", "@echo off\r\necho cpu=5 mem=[1 2]\r\n");
  CPluginMonitor m(&r.manager, r.Job(), *platform::system_custom_runtime());
  uint32_t exitCode = 255;
  const std::string out = m.RunPlugin(r.folder, "pairs.bat", "-checktime 1000", exitCode, 1);
  EXPECT_EQ(exitCode, 0u);
  EXPECT_EQ(out.substr(0, 15), "cpu=5 mem=[1 2]") << out;
  EXPECT_FALSE(platform::system_custom_runtime()->Exists(r.folder + "\\plugin31.out"));
  // A setup run: no parameters, no blank inside the quotes.
  r.Write("setup.bat", "@echo installed\r\n");
  EXPECT_EQ(m.RunPlugin(r.folder, "setup.bat", "", exitCode, 1).substr(0, 9), "installed");
}

TEST(PluginRunnerWine, StopEndsTheWholeTreeAndPostsNothing) {
  Real r;
  CustomJob j = r.Job();
  j.runnerFile = "hang.bat";
  auto m = std::make_shared<CPluginMonitor>(&r.manager, j, *platform::system_custom_runtime());
  m->SetThreadIndex(1);
  const std::string plugin = m->PluginFolder();
  CreateDirectoryA(plugin.c_str(), nullptr);
  const std::string pidFile = plugin + "\\grandchild.pid";
  DeleteFileA(pidFile.c_str());
  std::ofstream(plugin + "\\hang.bat", std::ios::binary)
      << "@echo off\r\n\"" + ProgramFolder() + "\\sleep_probe.exe\" \"" + pidFile + "\" 120\r\n";
  ASSERT_TRUE(m->StartCheck());
  DWORD pid = 0;
  for (int i = 0; i < 300 && pid == 0; ++i) {
    std::this_thread::sleep_for(100ms);
    std::ifstream in(pidFile);
    unsigned long n = 0;
    if (in >> n) pid = static_cast<DWORD>(n);
  }
  ASSERT_NE(pid, 0u);
  const auto t0 = std::chrono::steady_clock::now();
  m->SignalStop();
  EXPECT_TRUE(m->FinishStop(t0 + 10s));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 8s);
  EXPECT_TRUE(Real::Gone(pid));
  EXPECT_EQ(r.manager.Sender(1)->QueuedResults(), 0u);
}

TEST(PluginRunnerWine, TimeoutEndsTheWholeTree) {
  Real r;
  const std::string pidFile = r.folder + "\\grandchild2.pid";
  DeleteFileA(pidFile.c_str());
  r.Write("hang2.bat",
          "@echo off\r\n\"" + ProgramFolder() + "\\sleep_probe.exe\" \"" + pidFile + "\" 150\r\n");
  CPluginMonitor m(&r.manager, r.Job(), *platform::system_custom_runtime());
  uint32_t exitCode = 0;
  const auto t0 = std::chrono::steady_clock::now();
  const std::string out = m.RunPlugin(r.folder, "hang2.bat", "", exitCode, 1);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 59s);
  EXPECT_EQ(out, "Plugin%20script%20did%20not%20finish%20his%20job%20within%201%20minute%28s%29");
  EXPECT_EQ(exitCode, 255u);
  const DWORD pid = static_cast<DWORD>(strtoul(r.Read("grandchild2.pid").c_str(), nullptr, 10));
  ASSERT_NE(pid, 0u);
  EXPECT_TRUE(Real::Gone(pid));
}

TEST(PluginRunnerWine, OneParallelJobRunsTheChecksOneAfterTheOther) {
  Real r;
  std::vector<std::shared_ptr<CPluginMonitor>> monitors;
  for (uint32_t i = 0; i < 2; ++i) {
    CustomJob j = r.Job();
    j.jobId = 50 + i;
    j.monitorId = 60 + i;
    j.pluginName = "Par";
    j.runnerFile = "slow.bat";
    j.maxParallelJobs = 1;
    auto m = std::make_shared<CPluginMonitor>(&r.manager, j, *platform::system_custom_runtime());
    m->SetThreadIndex(2);
    monitors.push_back(m);
  }
  const std::string plugin = monitors[0]->PluginFolder();
  CreateDirectoryA(plugin.c_str(), nullptr);
  std::ofstream(plugin + "\\slow.bat", std::ios::binary) << "@echo off\r\n\"" + ProgramFolder() +
                                                                "\\sleep_probe.exe\" \"" + plugin +
                                                                "\\slow.pid\" 20\r\necho a=1\r\n";
  for (auto& m : monitors) ASSERT_TRUE(m->StartCheck());
  std::vector<std::chrono::steady_clock::time_point> arrivals;
  const auto until = std::chrono::steady_clock::now() + 90s;
  while (arrivals.size() < 2 && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(100ms);
    while (r.manager.Sender(2)->QueuedResults() > arrivals.size())
      arrivals.push_back(std::chrono::steady_clock::now());
  }
  for (auto& m : monitors) m->SignalStop();
  for (auto& m : monitors) EXPECT_TRUE(m->FinishStop(std::chrono::steady_clock::now() + 10s));
  ASSERT_EQ(arrivals.size(), 2u);
  EXPECT_GE(arrivals[1] - arrivals[0], 19s);
  for (const auto& result : r.manager.Sender(2)->Results()) {
    EXPECT_EQ(result.results, "a:1;");
    EXPECT_FALSE(result.isError);
  }
}

TEST(PluginRunnerWine, NamedSemaphoreIsSharedAndReleased) {
  auto* rt = platform::system_custom_runtime();
  auto a = rt->OpenNamedSemaphore("Global\\Corvane_Custom_Monitor_wine_test_is_running", 1);
  auto b = rt->OpenNamedSemaphore("Global\\Corvane_Custom_Monitor_wine_test_is_running",
                                  5);  // first opener's count
  ASSERT_TRUE(a && b);
  EXPECT_TRUE(a->Acquire(0));
  EXPECT_FALSE(b->Acquire(50));
  a->Release();
  EXPECT_TRUE(b->Acquire(0));
  b->Release();
}

TEST(PluginRunnerWine, ZipToolUnpacksBesideTheProgram) {
  Real r;
  // A stored archive holding x.txt = "hi".
  const unsigned char zip[] = {
      0x50, 0x4b, 0x03, 0x04, 0x14, 0,    0,    0,    0,    0,    0,    0,    0, 0, 0xac, 0x2a,
      0x93, 0xd8, 2,    0,    0,    0,    2,    0,    0,    0,    5,    0,    0, 0, 'x',  '.',
      't',  'x',  't',  'h',  'i',  0x50, 0x4b, 0x01, 0x02, 0x14, 0,    0x14, 0, 0, 0,    0,
      0,    0,    0,    0,    0,    0xac, 0x2a, 0x93, 0xd8, 2,    0,    0,    0, 2, 0,    0,
      0,    5,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0, 0, 0,    0,
      0,    0,    0,    'x',  '.',  't',  'x',  't',  0x50, 0x4b, 0x05, 0x06, 0, 0, 0,    0,
      1,    0,    1,    0,    0x33, 0,    0,    0,    0x25, 0,    0,    0,    0, 0};
  r.Write("t.zip", std::string(reinterpret_cast<const char*>(zip), sizeof(zip)));
  platform::ProcessSpec spec;
  spec.application = ProgramFolder() + "\\miniunz.exe";
  spec.commandLine =
      "\"" + spec.application + "\" -xo \"" + r.folder + "\\t.zip\" -d \"" + r.folder + "\\t\"";
  uint32_t error = 0;
  auto p = platform::system_custom_runtime()->Start(spec, error);
  ASSERT_TRUE(p) << error;
  ASSERT_TRUE(p->Wait(60000));
  EXPECT_EQ(p->ExitCode(), 0u);
  EXPECT_EQ(r.Read("t\\x.txt"), "hi");
}

}  // namespace
