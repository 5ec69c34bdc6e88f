// CMemMon: free physical and virtual (commit) memory of this machine, and of
// a remote host over SNMP, where page file, buffers and cache come too. Sizes
// are in MB. Minimums fire when the free size is at or below them; the buffer
// and cache limits are maximums that fire at or above.
#pragma once

#include <string>
#include <vector>

#include "agent/Plugins/MonTestTable.h"
#include "agent/Plugins/MonValues.h"
#include "platform/memory_probe.h"

struct CMemTest : CMonTest {
  std::string hostAddr;  // empty: this machine
  int32_t mem_min = mon_values::kUnset;
  int32_t page_min = mon_values::kUnset;
  int32_t buffered_min = mon_values::kUnset;  // a maximum, despite the name
  int32_t cached_min = mon_values::kUnset;    // a maximum, despite the name
  int32_t vsize_min = mon_values::kUnset;
};

// One check's sizes in MB; kUnset where nothing was measured.
struct MemoryValues {
  double total_phys = mon_values::kUnset, free_phys = mon_values::kUnset;
  double total_page = mon_values::kUnset, free_page = mon_values::kUnset;
  double total_virt = mon_values::kUnset, free_virt = mon_values::kUnset;
  double buffered = mon_values::kUnset, cached = mon_values::kUnset;
};

inline double ToMB(uint64_t bytes) { return static_cast<double>(bytes) / 1048576.0; }

template <class Owner>
class CMemMon : public CMonTestTable<Owner, CMemTest> {
  using Base = CMonTestTable<Owner, CMemTest>;

 public:
  explicit CMemMon(IMemoryProbe& probe) : Base("mon_mem: ", "MM"), m_probe(probe) {
    this->m_unitName = "Plugins/mem_mon";
  }
  ~CMemMon() override { this->Shutdown(); }

 protected:
  using Base::Log;

  bool ParseTest(const std::vector<std::string>& f, CMemTest& t) override {
    if (f.size() != 6 && f.size() != 8 && f.size() != 9) return false;
    t.mem_min = ReadNumber(f[3]);
    t.page_min = ReadNumber(f[4]);
    t.vsize_min = ReadNumber(f[5]);
    if (f.size() >= 8) {
      t.buffered_min = ReadNumber(f[6]);
      t.cached_min = ReadNumber(f[7]);
    }
    if (f.size() == 9) t.hostAddr = f[8];
    return true;
  }

  std::string DescribeTest(const CMemTest& t) override {
    return Format(
        "addmodify test. testID:%d, lid:%d, mem_min:%d, page_min:%d, vsize_min:%d, buffered_min:%d, "
        "cached_min:%d, "
        "hostAddr: %s",
        t.testID, t.lid, t.mem_min, t.page_min, t.vsize_min, t.buffered_min, t.cached_min,
        t.hostAddr.c_str());
  }

  bool MeasuresOncePerPass() override { return true; }

  // The machine's figures, once for the pass. Without them there is nothing
  // to report, and the tests stay due for the next tick.
  bool BeginPass() override {
    MemorySizes sizes;
    if (!(m_probe.QueryPerformanceInformation(m_raw) && ParsePerformanceInformation(m_raw, sizes))) {
      Log("GetPerformanceInfo failed.");
      if (!(m_probe.QueryMemoryStatus(m_raw) && ParseMemoryStatus(m_raw, sizes))) {
        Log("GlobalMemoryStatusEx failed.");
        return false;
      }
    }
    m_local = MemoryValues();
    m_local.total_phys = ToMB(sizes.totalPhys);
    m_local.free_phys = ToMB(sizes.freePhys);
    m_local.total_virt = ToMB(sizes.totalVirt);
    m_local.free_virt = ToMB(sizes.freeVirt);
    return true;
  }

  bool CheckTest(CMemTest& t) override {
    using namespace mon_values;
    Log(Format("checking testID: %d, lid: %d", t.testID, t.lid));
    uint32_t status = kWithinLimits;
    MemoryValues v;
    if (t.hostAddr.empty()) {
      v = m_local;
    } else {
      status = ReportRemoteReadUnavailable(t.hostAddr, [this](const std::string& line) { Log(line); });
    }
    Log(Format(
        "testID: %d, lid: %d, total_phys: %.2f, free_phys: %.2f, total_page: %.2f, free_page: %.2f, "
        "total_virt: %.2f, free_virt: %.2f",
        t.testID, t.lid, v.total_phys, v.free_phys, v.total_page, v.free_page, v.total_virt, v.free_virt));

    std::string text;
    if (status == kWithinLimits) {
      const struct {
        double value;
        int32_t limit;
        bool maximum;
        const char* line;
      } limits[] = {
          {v.free_phys, t.mem_min, false, "Physical memory free size: %.2f / Min value: %d\n"},
          {v.free_page, t.page_min, false, "Page file free space: %.2f / Min value: %d\n"},
          {v.free_virt, t.vsize_min, false, "Virtual memory free size: %.2f / Min value: %d\n"},
          {v.buffered, t.buffered_min, true, "Buffered memory size: %.2f / Max value: %d\n"},
          {v.cached, t.cached_min, true, "Cached memory size: %.2f / Max value: %d\n"},
      };
      for (const auto& l : limits) {
        if (!Applies(l.value, l.limit) || !(l.maximum ? l.value >= l.limit : l.value <= l.limit)) continue;
        status = kThresholdReached;
        text += Format(l.line, l.value, l.limit);
      }
      if (status == kWithinLimits) text = "Memory usage is within acceptable limits\n";
    }

    CMonResult2 result;
    result.create(0, 4, 1, 0, 8, 1);
    result.init(47, static_cast<uint32_t>(t.testID), static_cast<uint32_t>(t.lid));
    for (double d : {v.free_phys, v.total_phys, v.free_page, v.total_page, v.buffered, v.cached, v.free_virt,
                     v.total_virt})
      result.add(d);
    result.add(text.c_str());  // an empty text is stored as "N/A"
    result.add(status);
    this->PostResult(&result);
    return true;
  }

 private:
  IMemoryProbe& m_probe;
  std::vector<uint8_t> m_raw;  // the probe's buffer
  MemoryValues m_local;        // this pass's figures
};
