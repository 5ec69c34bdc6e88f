// CCPUmon: processor load. A local test reports the load since the previous
// pass, from every processor's idle, kernel and user times, overall and per
// processor in nested records; a remote test reads its host over SNMP.
// Thresholds are maximums (idle a minimum) that fire only when passed, not
// when reached.
#pragma once

#include <cctype>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "agent/Plugins/MonTestTable.h"
#include "agent/Plugins/MonValues.h"
#include "agent/Plugins/SnmpReads.h"
#include "platform/cpu_probe.h"

struct CCpuTest : CMonTest {
  std::string hostAddr;  // empty: this machine
  std::string system;    // "linux" in any case selects the remote counters of that system
  double user_max = mon_values::kUnset;
  double kernel_max = mon_values::kUnset;
  double nice_max = mon_values::kUnset;
  double idle_min = mon_values::kUnset;
  double iowait_max = mon_values::kUnset;
};

namespace cpu_load {

// Percentages of one stretch of time. Kernel time includes idle time, so
// busy is what was neither idle nor unaccounted, and the kernel figure is the
// kernel's part of the stretch applied to busy.
struct Load {
  double busy = 0;
  double kernel = 0;
};

// Counters are differenced as unsigned so that a wrapped counter gives a
// negative stretch rather than an overflow; a counter that ran backwards (or
// wrapped) counts as no time at all.
inline int64_t Elapsed(int64_t now, int64_t before) {
  const int64_t d = static_cast<int64_t>(static_cast<uint64_t>(now) - static_cast<uint64_t>(before));
  return d < 0 ? 0 : d;
}

// "linux" in any case selects the host's own counters.
inline bool IsLinux(const std::string& system) {
  static const char kLinux[] = "linux";
  if (system.size() != 5) return false;
  for (size_t i = 0; i < 5; ++i)
    if (tolower(static_cast<unsigned char>(system[i])) != kLinux[i]) return false;
  return true;
}

inline double Percent(double value) { return value < 0 ? 0 : value > 100 ? 100 : value; }

// Counters that disagree (idle time beyond the kernel's, a processor's
// counters sampled a moment apart) still give shares within 0..100.
inline Load Between(const ProcessorTimes& before, const ProcessorTimes& now) {
  const double idle = static_cast<double>(Elapsed(now.idle, before.idle));
  const double kernel = static_cast<double>(Elapsed(now.kernel, before.kernel));
  const double user = static_cast<double>(Elapsed(now.user, before.user));
  const double total = kernel + user;
  if (!(total > 0)) return {};
  const double busy = Percent((user + kernel - idle) * 100 / total);
  return {busy, Percent(kernel * busy / total)};
}

struct PassLoad {
  Load overall;  // the mean of the processors
  std::vector<Load> processors;
};

// `before` and `now` hold the same processors.
inline void Compute(const std::vector<ProcessorTimes>& before, const std::vector<ProcessorTimes>& now,
                    PassLoad& out) {
  out.processors.resize(now.size());
  double busy = 0, kernel = 0;
  for (size_t i = 0; i < now.size(); ++i) {
    out.processors[i] = Between(before[i], now[i]);
    busy += out.processors[i].busy;
    kernel += out.processors[i].kernel;
  }
  const double n = now.empty() ? 1 : static_cast<double>(now.size());
  out.overall = {busy / n, kernel / n};
}

// Percentages in texts are whole numbers, rounded by adding 0.5 and
// truncating. A threshold from the gateway can be anything: out-of-range
// numbers are pinned to the int range instead of converted undefinedly.
inline int RoundForText(double value) {
  const double r = value + 0.5;
  if (!(r > INT_MIN)) return r < 0 ? INT_MIN : 0;  // NaN gives 0
  if (r >= static_cast<double>(INT_MAX)) return INT_MAX;
  return static_cast<int>(r);
}

// "Current <what>(%): <value> | Threshold set: <limit>"
inline std::string LimitLine(const std::string& what, double value, double limit) {
  return Format("Current %s(%%): %d | Threshold set: %d\n", what.c_str(), RoundForText(value),
                RoundForText(limit));
}

}  // namespace cpu_load

template <class Owner>
class CCPUmon : public CMonTestTable<Owner, CCpuTest> {
  using Base = CMonTestTable<Owner, CCpuTest>;

 public:
  // The first sample is the baseline of the first pass. Without the query or
  // that sample the monitor still takes tests but measures nothing.
  explicit CCPUmon(ICpuProbe& probe, ISnmpReads& snmp = DefaultSnmpReads())
      : Base("mon_cpu: ", "CU"), m_probe(probe), m_snmp(snmp) {
    this->m_unitName = "Plugins/cpu_mon";
    if (!m_probe.Available() || !m_probe.QueryBasicInformation(m_raw)) return;
    m_processors = ParseProcessorCount(m_raw);
    m_available = m_processors > 0 && Sample(m_baseline);
  }
  ~CCPUmon() override { this->Shutdown(); }

  bool Available() const { return m_available; }
  uint32_t ProcessorCount() const { return m_processors; }

 protected:
  using Base::Log;

  bool ParseTest(const std::vector<std::string>& f, CCpuTest& t) override {
    auto number = [&f](size_t i) { return strtod(f[i].c_str(), nullptr); };
    switch (f.size()) {
      case 7:  // fields 3 and 4 are there but mean nothing
        t.user_max = number(5);
        t.kernel_max = number(6);
        return true;
      case 10: t.system = f[9]; [[fallthrough]];
      case 9: t.hostAddr = f[8]; [[fallthrough]];
      case 8:
        t.user_max = number(3);
        t.kernel_max = number(4);
        t.nice_max = number(5);
        t.idle_min = number(6);
        t.iowait_max = number(7);
        return true;
      default: return false;
    }
  }

  std::string DescribeTest(const CCpuTest& t) override {
    return Format(
        "addmodify test... tid:%d, lid:%d, user_max:%.2f, kernel_max:%.2f, nice_max:%.2f, idle_min:%.2f, "
        "iowait_max:%.2f, hostAddr: %s, system %s",
        t.testID, t.lid, t.user_max, t.kernel_max, t.nice_max, t.idle_min, t.iowait_max, t.hostAddr.c_str(),
        t.system.c_str());
  }
  std::string DescribeDelete(int32_t testID) override { return Format("removing test... tid:%d", testID); }

  bool MeasuresOncePerPass() override { return true; }

  // One sample serves every test of the pass; the baseline moves on only when
  // a local test used it, so the next local check covers the whole stretch.
  bool BeginPass() override {
    if (!m_available || !Sample(m_current)) return false;
    cpu_load::Compute(m_baseline, m_current, m_load);
    m_localChecked = false;
    return true;
  }
  void EndPass() override {
    if (m_localChecked) m_baseline.swap(m_current);
  }

  bool CheckTest(CCpuTest& t) override {
    using namespace mon_values;
    Log(Format("checking tid: %d, lid: %d", t.testID, t.lid));
    uint32_t status = kWithinLimits;
    double usage = kUnset, kernel = kUnset, nice = kUnset, idle = kUnset, iowait = kUnset;
    const bool local = t.hostAddr.empty();
    if (local) {
      usage = m_load.overall.busy;
      kernel = m_load.overall.kernel;
      m_localChecked = true;
    } else {
      status = ReadRemote(t, usage, kernel, nice, idle, iowait);
    }
    Log(Format(
        "tid: %d, lid: %d, cpu_count: %u, cpu_usage: %.2f, krn_usage: %.2f, nice_max: %.2f, idle_min: %.2f, "
        "iowait_max: %.2f",
        t.testID, t.lid, m_processors, usage, kernel, nice, idle, iowait));

    std::string text;
    if (status == kWithinLimits) {
      const struct {
        double value, limit;
        bool minimum;
        const char* what;
      } limits[] = {
          {usage, t.user_max, false, "CPU Usage"},
          {kernel, t.kernel_max, false, "Kernel CPU usage"},
          {nice, t.nice_max, false, "Nice CPU usage"},
          {idle, t.idle_min, true, "Idle CPU usage"},
          {iowait, t.iowait_max, false, "IOWait CPU usage"},
      };
      for (const auto& l : limits) {
        if (!Applies(l.value, l.limit) || !(l.minimum ? l.value < l.limit : l.value > l.limit)) continue;
        status = kThresholdReached;
        text += cpu_load::LimitLine(l.what, l.value, l.limit);
      }
      if (status == kWithinLimits) text = "CPU usage is within acceptable limits\n";
    }

    CMonResult2 result;
    result.create(0, 4, 1, 0, 5, 1);
    result.init(44, static_cast<uint32_t>(t.testID), static_cast<uint32_t>(t.lid));
    for (double v : {usage, kernel, nice, idle, iowait}) result.add(v);
    result.add(status);
    result.add(text.c_str());  // an empty text is stored as "N/A"
    if (local) AddProcessors(result, t);
    this->PostResult(&result);
    return true;
  }

 private:
  // Shares of the host's counters since it started (Linux), or the mean load
  // of its processors. Values stay -1 unless read; the answer is the status.
  uint32_t ReadRemote(const CCpuTest& t, double& usage, double& kernel, double& nice, double& idle,
                      double& iowait) {
    using namespace mon_values;
    Log(Format("remote test: host: '%s'", t.hostAddr.c_str()));
    auto stopped = [this] { return this->StopRequested(); };
    std::vector<SnmpAnswer> answers;
    if (cpu_load::IsLinux(t.system)) {
      static const std::vector<std::string> kOids = {
          "1.3.6.1.4.1.2021.11.50.0",  // user
          "1.3.6.1.4.1.2021.11.51.0",  // nice
          "1.3.6.1.4.1.2021.11.52.0",  // system
          "1.3.6.1.4.1.2021.11.53.0",  // idle
          "1.3.6.1.4.1.2021.11.54.0",  // wait
          "1.3.6.1.4.1.2021.11.55.0",  // kernel
          "1.3.6.1.4.1.2021.11.56.0",  // interrupt
      };
      const int code = m_snmp.Get(t.hostAddr, kOids, 10000, answers, stopped);
      if (code != snmp_reads::kRead) return RemoteFailed(code);
      Log("remote test: GetOIDValuesFromHost for linux succeeded.");
      uint64_t counters[7];
      uint64_t sum = 0;
      for (size_t i = 0; i < 7; ++i) {
        if (i >= answers.size() || answers[i].syntax != snmp_reads::kSyntaxCounter32)
          return kRemoteValuesMissing;
        counters[i] = strtoull(answers[i].value.c_str(), nullptr, 10);
        sum += counters[i];  // seven 32-bit counters cannot overflow 64 bits
      }
      if (sum == 0) return kRemoteValuesMissing;  // a host just started: nothing to share out yet
      const double total = static_cast<double>(sum);
      usage = static_cast<double>(counters[0]) / total * 100;
      kernel = static_cast<double>(counters[5]) / total * 100;
      nice = static_cast<double>(counters[1]) / total * 100;
      idle = static_cast<double>(counters[3]) / total * 100;
      iowait = static_cast<double>(counters[4]) / total * 100;
      return kWithinLimits;
    }
    const int code =
        SnmpWalk(m_snmp, t.hostAddr, "1.3.6.1.2.1.25.3.3.1.2", snmp_reads::kWalkStepWaitMs, answers, stopped);
    if (code != snmp_reads::kRead) return RemoteFailed(code);
    Log("remote test: GetOIDValuesFromHost for non-linux succeeded.");
    if (answers.empty()) return kRemoteValuesMissing;  // nothing to take the mean of
    // Summed as doubles: a host's integers cannot overflow the sum.
    double sum = 0;
    for (const SnmpAnswer& a : answers)
      if (a.syntax == snmp_reads::kSyntaxInteger)
        sum += static_cast<double>(strtoll(a.value.c_str(), nullptr, 10));
    usage = sum / static_cast<double>(answers.size());
    return kWithinLimits;
  }

  uint32_t RemoteFailed(int code) {
    Log(Format("remote test: GetOIDValuesFromHost failed: retVal: %d", code));
    return mon_values::RemoteFailureStatus(code);
  }

  bool Sample(std::vector<ProcessorTimes>& out) {
    return m_probe.QueryProcessorTimes(m_processors, m_raw) && ParseProcessorTimes(m_raw, m_processors, out);
  }

  // One nested record per processor, numbered from 0 in its text and from 1
  // in the log; only the usage and kernel thresholds apply to a processor.
  void AddProcessors(CMonResult2& result, const CCpuTest& t) {
    using namespace mon_values;
    for (uint32_t i = 0; i < m_processors; ++i) {
      const cpu_load::Load& p = m_load.processors[i];
      uint32_t status = kWithinLimits;
      std::string text;
      if (IsSet(t.user_max) && p.busy > t.user_max) {
        status = kThresholdReached;
        text += cpu_load::LimitLine(Format("CPU%u usage", i), p.busy, t.user_max);
      }
      if (IsSet(t.kernel_max) && p.kernel > t.kernel_max) {
        status = kThresholdReached;
        text += cpu_load::LimitLine(Format("Kernel CPU%u usage", i), p.kernel, t.kernel_max);
      }
      if (status == kWithinLimits) text = Format("CPU%u usage is within acceptable limits\n", i);
      Log(Format("CPU%u. cpu_usage: %.2f, krn_usage: %.2f", i + 1, p.busy, p.kernel));

      CMonResult2 nested;
      nested.create(0, 1, 0, 0, 5, 1);
      for (double v : {p.busy, p.kernel, 0.0, 0.0, 0.0}) nested.add(v);
      nested.add(text.c_str());
      nested.add(status);
      result.add(nested);
    }
  }

  ICpuProbe& m_probe;
  ISnmpReads& m_snmp;
  bool m_available = false;
  uint32_t m_processors = 0;
  std::vector<uint8_t> m_raw;  // the probe's buffer, kept between passes
  std::vector<ProcessorTimes> m_baseline, m_current;
  cpu_load::PassLoad m_load;
  bool m_localChecked = false;
};
