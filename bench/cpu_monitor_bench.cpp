// One pass of the CPU monitor on a 64-processor machine against recorded
// samples: the sample read, the loads, the texts, one record with 64 nested
// records handed to a cache that copies it, and the log lines.
#include <cstdio>
#include <cstring>
#include <vector>

#include "agent/Plugins/cpu_mon.h"
#include "bench/bench_timer.h"

namespace {

constexpr uint32_t kProcessors = 64;

// Counters that advance by a varying stretch of 10 s per sample, written in
// the system's layout like the real query's buffer.
class ReplayProbe : public ICpuProbe {
 public:
  bool Available() override { return true; }
  bool QueryBasicInformation(std::vector<uint8_t>& out) override {
    out.assign(cpu_layout::kBasicInformationSize, 0);
    out[cpu_layout::kProcessorCountOffset] = kProcessors;
    return true;
  }
  bool QueryProcessorTimes(uint32_t processors, std::vector<uint8_t>& out) override {
    out.resize(size_t{processors} * cpu_layout::kProcessorTimesSize);
    for (uint32_t i = 0; i < processors; ++i) {
      m_seed = m_seed * 6364136223846793005ull + 1442695040888963407ull;
      const int64_t busy = static_cast<int64_t>((m_seed >> 33) % 100'000'000);
      m_times[i].idle += 100'000'000 - busy;
      m_times[i].kernel += 100'000'000 - busy + busy / 4;
      m_times[i].user += busy - busy / 4;
      uint8_t* entry = out.data() + size_t{i} * cpu_layout::kProcessorTimesSize;
      memcpy(entry, &m_times[i].idle, 8);  // the bench runs on little-endian machines only
      memcpy(entry + 8, &m_times[i].kernel, 8);
      memcpy(entry + 16, &m_times[i].user, 8);
    }
    return true;
  }

 private:
  ProcessorTimes m_times[kProcessors] = {};
  uint64_t m_seed = 42;
};

// Copies each record as the result cache does, and keeps the log lines' size.
class CopyingOwner {
 public:
  void AddToCache(const CMonResult2* r) {
    const auto* bytes = static_cast<const uint8_t*>(r->get_pointer());
    cache.assign(bytes, bytes + r->get_size());
  }
  bool IsWorking() const { return true; }
  void NotifyStatus(uint32_t, const std::string& text) { logged += text.size(); }
  std::vector<uint8_t> cache;
  size_t logged = 0;
};

// The passes run on the bench's thread, not on a check thread.
class PassByHand : public CCPUmon<CopyingOwner> {
 public:
  using CCPUmon::CCPUmon;
  bool Start() override { return true; }
};

double MicrosecondsPerPass(int tests) {
  ReplayProbe probe;
  CopyingOwner owner;
  PassByHand mon(probe);
  mon.SetOwner(&owner);
  int64_t now = 1700000000;
  mon.SetClock([&now] { return now; });
  for (int t = 1; t <= tests; ++t) {
    char line[64];
    snprintf(line, sizeof line, "CUA\t%d\t1\t50\t20\t-1\t-1\t-1", t);
    mon.ProcessTest(line);
  }
  const double passes = bench::ops_per_second([&] {
    now += 300;  // every test is due again
    mon.MakeCheck();
    bench::keep(owner.cache.size());
  });
  if (owner.cache.empty() || owner.logged == 0) {
    fprintf(stderr, "the passes produced nothing\n");
    return -1;
  }
  return 1e6 / passes;
}

}  // namespace

int main() {
  int rc = 0;
  for (int tests : {1, 4}) {
    const double us = MicrosecondsPerPass(tests);
    if (us < 0) return 1;
    printf("CPU monitor pass, %u processors, %d local test%s: %8.1f us per pass (target < 5000 us)\n",
           kProcessors, tests, tests == 1 ? "" : "s", us);
    if (tests == 1 && us >= 5000) rc = 1;
  }
  return rc;
}
