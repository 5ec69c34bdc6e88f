// Under Wine: a monitor of the tests' own posts results into the real worker,
// which sends them to the development gateway; the gateway's 200 empties the
// cache. The registry (Host, Agent Key and Name) is set by the calling script.
#include <chrono>
#include <cstdio>
#include <thread>

#include "agent/MainWorker.h"
#include "agent/service/WindowsSeams.h"
#include "tests/unit/fakes/test_monitor.h"

int main() {
  WindowsSeams windows;
  CMainWorker worker(windows.Seams());
  if (worker.GetWorkState() != CMainWorker::Working) {
    printf("FAIL worker did not start\n");
    return 1;
  }
  CTestMon<CMainWorker> mon;
  mon.SetOwner(&worker);
  using clock = std::chrono::steady_clock;
  auto until = [](auto pred, std::chrono::seconds limit) {
    auto end = clock::now() + limit;
    while (!pred() && clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return pred();
  };
  bool authorised = until([&] { return worker.IsAuthorized(); }, std::chrono::seconds(20));
  mon.ProcessTest("TTA\t41\t7\t12.5");
  mon.ProcessTest("TTA\t42\t7\t99.25");
  bool posted = until([&] { return mon.checks >= 2; }, std::chrono::seconds(10));
  mon.Stop();
  bool sent = until([&] { return worker.CachedResults() == 0; }, std::chrono::seconds(20));
  worker.StopAllWorks();
  printf("%s authorised\n%s posted\n%s cache emptied by the gateway's reply\n", authorised ? "ok  " : "FAIL",
         posted ? "ok  " : "FAIL", sent ? "ok  " : "FAIL");
  return authorised && posted && sent ? 0 : 1;
}
