// The HTTP monitor under Wine against a local server: one HPA test, then 100
// due in one tick. For each: the time from the tick until every result is
// cached, and the process's peak thread count meanwhile.
//   http_bench --http-port=N
#include <windows.h>

#include <tlhelp32.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "agent/Plugins/http_mon.h"
#include "platform/win32/http_check_win32.h"

namespace {

struct CountingOwner {
  std::atomic<size_t> results{0};
  std::atomic<size_t> failures{0};
  void AddToCache(const CMonResult2* r) {
    ++results;
    (void)r;
  }
  bool IsWorking() const { return true; }
  void NotifyStatus(uint32_t, const std::string& text) {
    if (text.rfind("mon_http: Error", 0) == 0 || text.rfind("mon_http: Timed out", 0) == 0) ++failures;
  }
};

class BenchMon : public CHttpMon<CountingOwner> {
 public:
  explicit BenchMon(IHttpCheck& http) : CHttpMon(http) { m_firstTick = std::chrono::hours(1); }
  void Tick() { MakeCheck(); }
};

size_t ThreadCount() {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snap == INVALID_HANDLE_VALUE) return 0;
  THREADENTRY32 e;
  e.dwSize = sizeof e;
  size_t n = 0;
  const DWORD self = GetCurrentProcessId();
  for (BOOL ok = Thread32First(snap, &e); ok; ok = Thread32Next(snap, &e))
    if (e.th32OwnerProcessID == self) ++n;
  CloseHandle(snap);
  return n;
}

bool Run(int port, int tests, int firstId) {
  HttpCheckWin32 http;
  CountingOwner owner;
  BenchMon mon(http);
  mon.SetOwner(&owner);
  for (int i = 0; i < tests; ++i) {
    std::string line = "HPA\t" + std::to_string(firstId + i) + "\t1\t127.0.0.1\t/text\t" +
                       std::to_string(port) + "\tneedle\t\t\t\t30\t0\t0\t1\t1\t0";
    if (!mon.ProcessTest(line.c_str())) return false;
  }
  std::atomic<bool> sampling{true};
  std::atomic<size_t> peak{ThreadCount()};
  std::thread sampler([&] {
    while (sampling) {
      size_t n = ThreadCount();
      if (n > peak) peak = n;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  auto begin = std::chrono::steady_clock::now();
  mon.Tick();
  auto limit = begin + std::chrono::seconds(60);
  while (owner.results < static_cast<size_t>(tests) && std::chrono::steady_clock::now() < limit)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  sampling = false;
  sampler.join();
  mon.Stop();
  std::printf("%3d HPA test(s): %zu results cached in %.2f s (%zu failed or timed out), peak threads %zu\n",
              tests, owner.results.load(), seconds, owner.failures.load(), peak.load());
  return owner.results == static_cast<size_t>(tests) && owner.failures == 0;
}

}  // namespace

int main(int argc, char** argv) {
  int port = 0;
  double target = 15;
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], "--http-port=", 12) == 0) port = std::atoi(argv[i] + 12);
  if (port == 0) {
    std::fprintf(stderr, "usage: http_bench --http-port=N\n");
    return 2;
  }
  bool ok = Run(port, 1, 1);
  auto begin = std::chrono::steady_clock::now();
  ok = Run(port, 100, 1000) && ok;
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  std::printf("target: 100 results within %.0f s: %s\n", target, ok && seconds < target ? "met" : "MISSED");
  return ok && seconds < target ? 0 : 1;
}
