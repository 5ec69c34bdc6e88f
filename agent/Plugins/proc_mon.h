// CProcMon: named local processes. For every running instance of a test's
// executable it measures the processor share, the working set and the
// page-file usage against the test's maxima, and says when a process that was
// missing or over a limit is back to normal. It also keeps the list of
// executable names that the owner reports whenever it changes.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "agent/LogFormat.h"
#include "agent/Plugins/InventoryList.h"
#include "agent/Plugins/MonTestTable.h"
#include "agent/TextFields.h"
#include "corelib/ExceptionRecord.h"
#include "platform/process_probe.h"

struct CProcTest : CMonTest {
  std::string pname;     // executable name, compared exactly (case-sensitive)
  uint32_t max_cpu = 0;  // percent; kNoLimit when not set
  uint32_t max_wss = 0;  // MB
  uint32_t max_pfs = 0;  // MB
  uint32_t alarms = 0;   // proc_check::Alarm bits raised at earlier checks
};

// The measurement itself, free of the monitor's state: two samples to a
// share, one instance's figures to a status and text.
namespace proc_check {

constexpr uint32_t kNoLimit = 0xFFFFFFFF;  // -1 on the test line

enum Alarm : uint32_t { NotRunning = 1, CpuOver = 2, WorkingSetOver = 4, PagefileOver = 8 };

// Processor time used between two samples, in percent of all processors.
// Each time difference is cut to whole milliseconds before the sum.
inline double ProcessorShare(const ProcessTimes& previous, const ProcessTimes& current, uint32_t processors) {
  const int64_t elapsed = current.sampleMs - previous.sampleMs;
  if (elapsed == 0) return 0;
  const int64_t busy = static_cast<int64_t>(current.kernel - previous.kernel) / 10000 +
                       static_cast<int64_t>(current.user - previous.user) / 10000;
  double share = static_cast<double>(busy) / static_cast<double>(elapsed) * 100.0;
  if (processors != 0) share /= processors;
  // A reused identifier or a clock step gives nonsense; it stays in range.
  return share < 0 ? 0 : share > 100 ? 100 : share;
}

inline double Megabytes(uint64_t bytes) { return static_cast<double>(bytes) / 1048576.0; }

struct Figures {
  double cpu = 0;  // percent
  double wss = 0;  // MB
  double pfs = 0;  // MB
};

struct Verdict {
  uint32_t status;  // 0 within limits, 2 a limit reached
  std::string text;
};

// A limit is reached at its value. The alarms belong to the test, so an
// instance within limits reports the recovery of whatever an earlier check
// (or an earlier instance) raised, and clears them.
inline Verdict Judge(const Figures& f, const CProcTest& limits, uint32_t& alarms) {
  Verdict v{0, std::string()};
  const struct {
    double value;
    uint32_t limit;
    Alarm alarm;
    const char* over;
  } checks[] = {
      {f.cpu, limits.max_cpu, CpuOver, "Current CPU usage: %.2f%% / Max value: %u\n"},
      {f.wss, limits.max_wss, WorkingSetOver, "Current Working set size: %.2f MB / Max value: %u\n"},
      {f.pfs, limits.max_pfs, PagefileOver, "Current Page file usage: %.2f MB / Max value: %u\n"},
  };
  for (const auto& c : checks) {
    if (c.limit == kNoLimit || c.value < c.limit) continue;
    v.text += Format(c.over, c.value, c.limit);
    v.status = 2;
    alarms |= c.alarm;
  }
  if (v.status != 0) return v;
  if (alarms == 0) {
    v.text = "All process parameters are within acceptable limits\n";
    return v;
  }
  const struct {
    Alarm alarm;
    const char* text;
  } recoveries[] = {
      {NotRunning, "The process has been started.\n"},
      {CpuOver, "Current CPU usage is within acceptable limits.\n"},
      {WorkingSetOver, "Current Working set size is within acceptable limits.\n"},
      {PagefileOver, "Current Page file usage is within acceptable limits.\n"},
  };
  for (const auto& r : recoveries)
    if (alarms & r.alarm) v.text += r.text;
  alarms = 0;
  return v;
}

}  // namespace proc_check

template <class Owner>
class CProcMon : public CMonTestTable<Owner, CProcTest> {
  using Base = CMonTestTable<Owner, CProcTest>;

 public:
  static constexpr uint32_t kResultType = 430;
  static constexpr uint32_t kListType = 42;
  // A processor-time sample this old is forgotten.
  static constexpr int64_t kHistoryLimitMs = 2 * 3600 * 1000;

  explicit CProcMon(IProcessProbe& probe) : Base("mon_proc: ", "PR"), m_probe(probe) {
    this->m_unitName = "Plugins/proc_mon";
  }
  ~CProcMon() override { this->Shutdown(); }

  bool Start() override {
    m_processors = m_probe.ProcessorCount();
    return Base::Start();
  }

  // A restarted monitor sends its process list again.
  void FinishStop(typename Base::Clock::time_point deadline) override {
    Base::FinishStop(deadline);
    m_names.Clear();
  }

  // Fills `record` with the names of the running executables when they
  // changed since the last report; false when they did not or the snapshot failed.
  bool get_proc_list(CMonResult2& record) {
    try {
      std::vector<ProcessEntry> processes;
      if (!TakeSnapshot(processes)) return false;
      std::vector<std::string> names;
      names.reserve(processes.size());
      for (ProcessEntry& p : processes)
        if (p.pid != 0) names.push_back(std::move(p.exeName));
      if (m_names.Report(std::move(names), kListType, record)) return true;
      this->Log("Process list is not changed.");
    } catch (...) {
      LOG_EXCEPTION_RECORD(this->m_unitName);
    }
    return false;
  }

  // The next get_proc_list sends the list in full.
  void ResetProcList() { m_names.Clear(); }

  size_t HistorySize() {
    std::lock_guard<std::timed_mutex> lock(this->m_tableLock);
    return m_history.size();
  }

 protected:
  // A monitor that starts again measures every process from a fresh baseline:
  // a sample from before the stop would spread the time in between over the
  // next figure.
  void OnTestsCleared() override { m_history.clear(); }

  bool ParseTest(const std::vector<std::string>& fields, CProcTest& test) override {
    if (fields.size() != 7) return false;
    test.max_cpu = static_cast<uint32_t>(ReadNumber(fields[3]));
    test.max_wss = static_cast<uint32_t>(ReadNumber(fields[4]));
    test.max_pfs = static_cast<uint32_t>(ReadNumber(fields[5]));
    test.pname = fields[6];
    return true;
  }

  std::string DescribeTest(const CProcTest& t) override {
    return Format("adding test... pname:'%s', testID:%d, lid:%d, max_cpu:%d, max_wss:%d, max_pfs:%d",
                  t.pname.c_str(), t.testID, t.lid, static_cast<int32_t>(t.max_cpu),
                  static_cast<int32_t>(t.max_wss), static_cast<int32_t>(t.max_pfs));
  }

  // A modify changes the limits, not what the earlier checks found.
  void UpdateTest(CProcTest& existing, const CProcTest& parsed) override {
    const uint32_t alarms = existing.alarms;
    existing = parsed;
    existing.alarms = alarms;
  }

  bool BeginPass() override {
    m_passSnapshot.reset();
    m_passFigures.clear();
    return true;
  }

  void EndPass() override {
    m_passSnapshot.reset();
    m_passFigures.clear();
    const int64_t nowMs = this->Now() * 1000;
    for (auto it = m_history.begin(); it != m_history.end();) {
      if (nowMs - it->second.sampleMs >= kHistoryLimitMs)
        it = m_history.erase(it);
      else
        ++it;
    }
  }

  bool CheckTest(CProcTest& t) override {
    this->Log(Format("checking testID: %d, lid: %d, pname '%s'", t.testID, t.lid, t.pname.c_str()));
    CMonResult2 result;
    result.create(0, 4, 1, 0, 0, 1);  // the prefix, status; text; then one nested record per instance
    result.init(kResultType, static_cast<uint32_t>(t.testID), static_cast<uint32_t>(t.lid));
    std::vector<uint32_t> pids = Instances(t.pname);
    if (pids.empty()) {
      this->Log(Format("testID:%d, lid:%d, pname'%s'. The process is not running", t.testID, t.lid,
                       t.pname.c_str()));
      result.add(uint32_t{3});
      result.add("The process is not running");
      t.alarms |= proc_check::NotRunning;
    } else {
      result.add(uint32_t{0});
      result.add("N/A");
      for (uint32_t pid : pids) {
        proc_check::Figures f = MeasureOncePerPass(pid);
        this->Log(Format("testID: %d, lid: %d, pname: '%s', pid: %d, cpu:%.2f%%, wss:%.2f MB, pfs:%.2f MB",
                         t.testID, t.lid, t.pname.c_str(), static_cast<int32_t>(pid), f.cpu, f.wss, f.pfs));
        proc_check::Verdict verdict = proc_check::Judge(f, t, t.alarms);
        CMonResult2 instance;
        instance.create(0, 2, 0, 0, 3, 1);  // status, pid; cpu, wss, pfs; text
        instance.add(verdict.status);
        instance.add(pid);
        instance.add(f.cpu);
        instance.add(f.wss);
        instance.add(f.pfs);
        instance.add(verdict.text.c_str());
        result.add(instance);
      }
    }
    this->PostResult(&result);
    return true;
  }

 private:
  bool TakeSnapshot(std::vector<ProcessEntry>& processes) {
    SnapshotFailure failure;
    if (m_probe.Snapshot(processes, failure)) return true;
    this->Log(Format(failure.step == SnapshotFailure::Create ? "CreateToolhelp32Snapshot failed: '%d'"
                                                             : "Process32First failed: '%d'",
                     static_cast<int32_t>(failure.error)));
    return false;
  }

  // One snapshot serves every test of a pass; a failed one finds nothing.
  std::vector<uint32_t> Instances(const std::string& pname) {
    if (!m_passSnapshot) {
      m_passSnapshot.emplace();
      if (!TakeSnapshot(*m_passSnapshot)) m_passSnapshot->clear();
    }
    std::vector<uint32_t> pids;
    for (const ProcessEntry& p : *m_passSnapshot)
      if (p.pid != 0 && p.exeName == pname) pids.push_back(p.pid);
    return pids;
  }

  // Tests of the same process in one pass share one measurement: a second
  // sample moments after the first would give a processor share over no time.
  proc_check::Figures MeasureOncePerPass(uint32_t pid) {
    auto known = m_passFigures.find(pid);
    if (known != m_passFigures.end()) return known->second;
    proc_check::Figures f = Measure(pid);
    m_passFigures.emplace(pid, f);
    return f;
  }

  // A process that cannot be read (or ended since the snapshot) counts as idle
  // and empty rather than costing the test its result.
  proc_check::Figures Measure(uint32_t pid) {
    proc_check::Figures f;
    ProcessTimes times;
    switch (m_probe.Times(pid, times)) {
      case ProcessRead::Ok: {
        auto known = m_history.find(pid);
        if (known == m_history.end()) {
          m_history.emplace(pid, times);  // the first sample is the baseline
        } else {
          f.cpu = proc_check::ProcessorShare(known->second, times, m_processors);
          known->second = times;
        }
        break;
      }
      case ProcessRead::NotOpened: this->WriteLog(0, "mon_proc:get_proc_cpu OpenProcess failed!"); break;
      case ProcessRead::Failed: break;
    }
    ProcessMemory memory;
    if (m_probe.Memory(pid, memory) == ProcessRead::Ok) {
      f.wss = proc_check::Megabytes(memory.workingSet);
      f.pfs = proc_check::Megabytes(memory.pagefile);
    }
    return f;
  }

  IProcessProbe& m_probe;
  std::atomic<uint32_t> m_processors{0};
  // Under the table lock: the last processor-time sample of every process
  // measured, and the snapshot of the pass under way.
  std::unordered_map<uint32_t, ProcessTimes> m_history;
  std::optional<std::vector<ProcessEntry>> m_passSnapshot;
  std::unordered_map<uint32_t, proc_check::Figures> m_passFigures;
  CInventoryList m_names;
};
