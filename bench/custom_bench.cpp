// Custom monitors at scale, natively: N plugin monitors at 1-minute
// intervals over a fake system (checks of 50 ms; a fifth of the monitors
// hang until their time-out or the stop) and an API that is down, on a fake
// clock that runs a minute per real second and passes the results' age
// limit twice. Runs a baseline of 10 monitors, then 1,000, and prints side
// by side: peak threads, peak resident memory, resident memory at the first
// and the second age limit, queued results, and the time to stop them all.
// Exits 1 when the stop of the large run takes over 10 s, or its resident
// memory at the second age limit is more than 10% above that at the first.
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "agent/custom/MonitorManager.h"
#include "agent/custom/PluginMonitor.h"
#include "tests/unit/fakes/fake_custom_api.h"
#include "tests/unit/fakes/fake_custom_runtime.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr uint32_t kAgeLimitMinutes = 10;
constexpr uint32_t kScale = 60;  // clock ms per real ms: a minute a second

long StatusField(const char* name) {
  std::ifstream in("/proc/self/status");
  std::string key;
  long value = 0;
  while (in >> key) {
    if (key == name) {
      in >> value;
      return value;
    }
    in.ignore(1 << 12, '\n');
  }
  return 0;
}

// An API that cannot be reached: no session opens (nothing is recorded).
struct DownTransport : platform::IHttpTransport {
  std::string UserProxy() override { return std::string(); }
  std::unique_ptr<platform::IHttpSession> OpenSession(const std::string&, platform::HttpProxyMode,
                                                      const std::string&, bool, uint32_t& error) override {
    ++opened;
    error = 12029;  // cannot connect
    return nullptr;
  }
  std::string ErrorText(uint32_t) override { return "cannot connect"; }
  std::atomic<long> opened{0};
};

struct Owner : FakeCustomOwner {
  Owner(platform::IHttpTransport& t, FakeCustomRuntime& r) : FakeCustomOwner(t), rt(r) {
    startSenders = true;
  }
  time_t Now() override { return rt.Now(); }
  // Counted, not kept: the bench measures the monitors, not its own records.
  void NotifyStatus(uint32_t, const std::string&) override { ++lines; }
  void CustomMonitorLog(const std::string&) override { ++lines; }
  FakeCustomRuntime& rt;
  std::atomic<long> lines{0};
};

// Heap bytes in use, in KiB: live data without the allocator's slack (with a
// thousand threads, glibc's arenas keep freed memory resident for a while).
long HeapKiB() { return static_cast<long>(mallinfo2().uordblks / 1024); }

struct Figures {
  long peakThreads = 0, peakKiB = 0, firstKiB = 0, secondKiB = 0, firstHeapKiB = 0, secondHeapKiB = 0;
  size_t firstQueued = 0, secondQueued = 0;
  double stopSeconds = 0;
  long checks = 0, apiAttempts = 0;
};

Figures RunOnce(size_t monitors) {
  DownTransport down;
  FakeCustomRuntime rt;
  rt.waitScale = kScale;
  rt.recordStarts = false;
  std::atomic<long> checks{0};
  rt.onStart = [&](const platform::ProcessSpec& spec) {
    ++checks;
    FakeCustomRuntime::Run run;
    if (spec.workingFolder.find("hang") != std::string::npos)
      run.hang = FakeCustomRuntime::Hang::Real;
    else
      run.runFor = 50ms;
    const size_t at = spec.commandLine.find(">plugin");
    if (at != std::string::npos)
      rt.Put(spec.workingFolder + "\\" + spec.commandLine.substr(at + 1), "cpu=5 mem=7");
    return run;
  };
  Owner owner(down, rt);
  Figures f;
  auto manager = std::make_unique<CMonitorManager>(owner);
  manager->SetCacheLimitMinutes(kAgeLimitMinutes);
  std::vector<std::unique_ptr<CPluginMonitor>> jobs;
  for (size_t i = 0; i < monitors; ++i) {
    CustomJob j;
    j.jobId = static_cast<uint32_t>(i + 1);
    j.monitorId = static_cast<uint32_t>(i + 1);
    j.type = CustomJob::Add;
    const bool hangs = i % 5 == 4;
    j.pluginName = (hangs ? "hang" : "p") + std::to_string(i % 10);
    j.runnerFile = "run.bat";
    j.interval = 1;
    j.maxParallelJobs = 200;
    j.nextCheck = rt.Now();
    auto m = std::make_unique<CPluginMonitor>(manager.get(), j, rt);
    m->SetThreadIndex(1 + static_cast<uint32_t>(i % 31));
    rt.Put(m->PluginFolder() + "\\run.bat", "@echo");
    jobs.push_back(std::move(m));
  }
  for (auto& m : jobs) m->StartCheck();
  const time_t start = rt.Now();
  auto queued = [&] {
    size_t n = 0;
    for (size_t i = 1; i < CMonitorManager::kSenders; ++i) n += manager->Sender(i)->QueuedResults();
    return n;
  };
  // The clock: a minute a second, in tenths; two age limits and a little.
  while (rt.Now() - start < static_cast<time_t>(2 * kAgeLimitMinutes * 60 + 6)) {
    std::this_thread::sleep_for(100ms);
    rt.now += 6;
    f.peakThreads = std::max(f.peakThreads, StatusField("Threads:"));
    const time_t t = rt.Now() - start;
    if (f.firstKiB == 0 && t >= static_cast<time_t>(kAgeLimitMinutes * 60)) {
      f.firstKiB = StatusField("VmRSS:");
      f.firstHeapKiB = HeapKiB();
      f.firstQueued = queued();
    }
  }
  f.secondKiB = StatusField("VmRSS:");
  f.secondHeapKiB = HeapKiB();
  f.secondQueued = queued();
  f.apiAttempts = down.opened.load();
  f.peakKiB = StatusField("VmHWM:");
  const auto t0 = Clock::now();
  for (auto& m : jobs) m->SignalStop();
  for (auto& m : jobs) m->FinishStop(t0 + 60s);
  jobs.clear();
  manager.reset();
  f.stopSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
  f.checks = checks.load();
  return f;
}

}  // namespace

int main() {
  printf(
      "custom monitors: 1-minute checks of 50 ms, a fifth hanging; API down; a clock minute per second;\n"
      "age limit %u minutes passed twice\n",
      kAgeLimitMinutes);
  const Figures small = RunOnce(10);
  const Figures large = RunOnce(1000);
  printf("%-34s %12s %12s\n", "", "10 monitors", "1000 monitors");
  printf("%-34s %12ld %12ld\n", "checks started", small.checks, large.checks);
  printf("%-34s %12ld %12ld\n", "peak threads", small.peakThreads, large.peakThreads);
  printf("%-34s %12ld %12ld\n", "peak resident memory (KiB)", small.peakKiB, large.peakKiB);
  printf("%-34s %12ld %12ld\n", "resident at 1st age limit (KiB)", small.firstKiB, large.firstKiB);
  printf("%-34s %12ld %12ld\n", "resident at 2nd age limit (KiB)", small.secondKiB, large.secondKiB);
  printf("%-34s %12ld %12ld\n", "heap in use at 1st age limit (KiB)", small.firstHeapKiB, large.firstHeapKiB);
  printf("%-34s %12ld %12ld\n", "heap in use at 2nd age limit (KiB)", small.secondHeapKiB,
         large.secondHeapKiB);
  printf("%-34s %12zu %12zu\n", "queued results at 1st limit", small.firstQueued, large.firstQueued);
  printf("%-34s %12zu %12zu\n", "queued results at 2nd limit", small.secondQueued, large.secondQueued);
  printf("%-34s %12ld %12ld\n", "API connection attempts", small.apiAttempts, large.apiAttempts);
  printf("%-34s %12.2f %12.2f\n", "stop time (s)", small.stopSeconds, large.stopSeconds);
  bool ok = true;
  if (large.stopSeconds > 10) {
    printf("FAIL: stopping 1000 monitors took %.2f s (target 10 s)\n", large.stopSeconds);
    ok = false;
  }
  if (large.secondKiB > large.firstKiB * 11 / 10) {
    printf("FAIL: resident memory grew from %ld KiB to %ld KiB between the age limits (target 10%%)\n",
           large.firstKiB, large.secondKiB);
    ok = false;
  }
  if (ok)
    printf("targets met: stop within 10 s, resident memory at the 2nd age limit within 10%% of the 1st\n");
  return ok ? 0 : 1;
}
