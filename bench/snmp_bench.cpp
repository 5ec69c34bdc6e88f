// SNMP benchmarks (scripts/bench snmp):
//   codec          encode + decode of a 10-binding GET and of its response, ns per binding
//   gets HOST N    N GETs of sysServices.0 and sysContact.0 in a row against HOST, per second
//   monitor N      N SPA tests due in one tick against 127.0.0.1: how long until all results are in
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent/Plugins/snmp_mon.h"
#include "bench/bench_timer.h"
#include "corelib/SnmpClient.h"
#include "corelib/snmp_codec.h"

namespace {

using Clock = std::chrono::steady_clock;

int Codec() {
  snmp::Message get;
  get.community = "public";
  get.requestId = 123456;
  for (int i = 0; i < 10; ++i) {
    snmp::VarBind vb;
    snmp::ParseOid("1.3.6.1.4.1.2021.11." + std::to_string(50 + i) + ".0", vb.name);
    get.bindings.push_back(vb);
  }
  snmp::Message response = get;
  response.pduType = snmp::kResponse;
  for (auto& vb : response.bindings) {
    vb.value.tag = snmp::kCounter32;
    vb.value.number = 123456789;
  }
  std::vector<uint8_t> bytes;
  snmp::Message back;
  const double ops = bench::ops_per_second([&] {
    snmp::EncodeMessage(get, bytes);
    snmp::DecodeMessage(bytes.data(), bytes.size(), back);
    snmp::EncodeMessage(response, bytes);
    snmp::DecodeMessage(bytes.data(), bytes.size(), back);
    bench::keep(back.requestId);
  });
  const double ns = 1e9 / ops / 10;
  printf("codec: encode + decode of a 10-binding GET and its response: %.0f ns per binding (limit 2000)\n",
         ns);
  return ns < 2000 ? 0 : 1;
}

int Gets(const char* host, int n) {
  init_snmp_lib();
  auto begin = Clock::now();
  int answered = 0;
  for (int i = 0; i < n; ++i) {
    CSnmpClient c(false);
    if (!c.InitInst(host, 161, "public", "1.3.6.1.2.1.1.7.0;1.3.6.1.2.1.1.4.0", 2, 0, 2, "", false)) break;
    if (c.SendRequest() && c.wait(3000) && c.VariableCount() == 2) ++answered;
  }
  const double s = std::chrono::duration<double>(Clock::now() - begin).count();
  printf("%.1f\n", answered / s);
  return answered == n ? 0 : 1;
}

struct CountingOwner {
  void AddToCache(const CMonResult2* r) {
    std::lock_guard<std::mutex> lock(m);
    const auto* p = static_cast<const uint8_t*>(r->get_pointer());
    uint32_t status = 0;
    memcpy(&status, p + 32 + 3 * 4, 4);  // the first UI32 after the prefix
    ++results;
    if (status == 0) ++answered;
  }
  bool IsWorking() const { return true; }
  void NotifyStatus(uint32_t, const std::string&) {}
  std::mutex m;
  int results = 0, answered = 0;
};

class QuickMon : public CSnmpMon<CountingOwner> {
 public:
  QuickMon() { m_firstTick = std::chrono::milliseconds(10); }
};

int Monitor(int n) {
  CountingOwner owner;
  QuickMon mon;
  mon.SetOwner(&owner);
  for (int i = 1; i <= n; ++i) {
    const std::string line = "SPA\t" + std::to_string(i) +
                             "\t1\t127.0.0.1\t161\t2\t1.3.6.1.2.1.1.7.0\tpublic\t\t\t\t\t\t5\t1\t0,100";
    mon.ProcessTest(line.c_str());
  }
  auto begin = Clock::now();
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(owner.m);
      if (owner.results >= n) break;
    }
    if (Clock::now() - begin > std::chrono::seconds(20)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const double s = std::chrono::duration<double>(Clock::now() - begin).count();
  mon.Stop();
  printf("monitor: %d SPA tests due in one tick: %d results (%d answered) in %.2f s (limit 10 s)\n", n,
         owner.results, owner.answered, s);
  return owner.results >= n && s < 10 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string what = argc > 1 ? argv[1] : "codec";
  if (what == "codec") return Codec();
  if (what == "gets") return Gets(argc > 2 ? argv[2] : "127.0.0.1", argc > 3 ? atoi(argv[3]) : 500);
  if (what == "monitor") return Monitor(argc > 2 ? atoi(argv[2]) : 200);
  fprintf(stderr, "usage: snmp_bench codec | gets HOST N | monitor N\n");
  return 2;
}
