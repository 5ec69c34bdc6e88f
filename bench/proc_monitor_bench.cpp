// One check pass of the process monitor: 100 due tests against a fixed
// snapshot of 300 processes, replayed by a probe that answers from memory, so
// the figure is the monitor's own cost (matching, history, verdicts, records,
// log lines), not the system's. Each pass moves every process's times on, so
// the processor shares are computed from real differences.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "agent/Plugins/proc_mon.h"
#include "bench/bench_timer.h"

namespace {

constexpr int kProcesses = 300;
constexpr int kTests = 100;
constexpr double kTargetMs = 5.0;

// What the worker does with a result: a copy of its bytes. Log lines are dropped.
class CopyingOwner {
 public:
  void AddToCache(const CMonResult2* r) {
    const auto* p = static_cast<const unsigned char*>(r->get_pointer());
    m_last.assign(p, p + r->get_size());
  }
  bool IsWorking() const { return true; }
  void NotifyStatus(uint32_t, const std::string& text) { bench::keep(text.size()); }

 private:
  std::vector<unsigned char> m_last;
};

class ReplayProbe : public IProcessProbe {
 public:
  ReplayProbe() {
    // A server's mix: many service hosts and workers, some of them several
    // times over, and a long tail of single executables.
    const struct {
      const char* name;
      int count;
    } groups[] = {{"svchost.exe", 60}, {"w3wp.exe", 12},         {"conhost.exe", 10}, {"sqlservr.exe", 4},
                  {"java.exe", 6},     {"RuntimeBroker.exe", 4}, {"dllhost.exe", 4}};
    uint32_t pid = 4;
    m_snapshot.push_back({0, "[System Process]"});
    for (const auto& g : groups)
      for (int i = 0; i < g.count; ++i) m_snapshot.push_back({pid += 4, g.name});
    for (int i = 0; m_snapshot.size() < static_cast<size_t>(kProcesses); ++i) {
      char name[32];
      snprintf(name, sizeof name, "service%03d.exe", i);
      m_snapshot.push_back({pid += 4, name});
    }
    for (const ProcessEntry& p : m_snapshot)
      m_times[p.pid] = {1700000000000, p.pid * 1000ull, p.pid * 3000ull};
  }

  const std::vector<ProcessEntry>& Processes() const { return m_snapshot; }

  // The next pass sees every process 10 s later and a little busier.
  void Advance() {
    for (auto& [pid, t] : m_times) {
      t.sampleMs += 10000;
      t.kernel += 200000 + pid;
      t.user += 600000;
    }
  }

  bool Snapshot(std::vector<ProcessEntry>& out, SnapshotFailure&) override {
    out = m_snapshot;
    return true;
  }
  ProcessRead Times(uint32_t pid, ProcessTimes& out) override {
    auto it = m_times.find(pid);
    if (it == m_times.end()) return ProcessRead::NotOpened;
    out = it->second;
    return ProcessRead::Ok;
  }
  ProcessRead Memory(uint32_t pid, ProcessMemory& out) override {
    out = {(40ull + pid % 200) << 20, (20ull + pid % 100) << 20};
    return ProcessRead::Ok;
  }
  uint32_t ProcessorCount() override { return 8; }

 private:
  std::vector<ProcessEntry> m_snapshot;
  std::unordered_map<uint32_t, ProcessTimes> m_times;
};

class BenchProcMon : public CProcMon<CopyingOwner> {
 public:
  explicit BenchProcMon(IProcessProbe& probe) : CProcMon(probe) { m_firstTick = std::chrono::hours(1); }
};

}  // namespace

int main() {
  ReplayProbe probe;
  CopyingOwner owner;
  BenchProcMon mon(probe);
  mon.SetOwner(&owner);

  // Every group name once, two names that are not running, and single
  // executables for the rest; some limits set, so some instances are over them.
  std::vector<std::string> names = {"svchost.exe",  "w3wp.exe",    "conhost.exe",
                                    "sqlservr.exe", "java.exe",    "RuntimeBroker.exe",
                                    "dllhost.exe",  "missing.exe", "SVCHOST.EXE"};
  for (int i = 0; names.size() < static_cast<size_t>(kTests); ++i) {
    char name[32];
    snprintf(name, sizeof name, "service%03d.exe", i * 2);
    names.push_back(name);
  }
  size_t instances = 0;
  for (int id = 1; id <= kTests; ++id) {
    const std::string& name = names[id - 1];
    std::string line = "PRA\t" + std::to_string(id) + "\t1\t" + (id % 3 == 0 ? "50" : "-1") + "\t" +
                       (id % 4 == 0 ? "100" : "-1") + "\t-1\t" + name;
    mon.ProcessTest(line.c_str());
    for (const ProcessEntry& p : probe.Processes()) instances += p.exeName == name;
  }

  double passes = bench::ops_per_second([&] {
    probe.Advance();
    mon.ResetSchedule();
    mon.MakeCheck();
  });
  const double ms = 1000.0 / passes;
  printf("process monitor: one pass, %d due tests over %d processes (%zu instances measured)\n", kTests,
         kProcesses, instances);
  printf("  %.3f ms per pass  (target: under %.1f ms)\n", ms, kTargetMs);
  mon.Stop();
  return ms < kTargetMs ? 0 : 1;
}
