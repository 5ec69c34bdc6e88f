// CMemMon: free physical and virtual (commit) memory of this machine, and of
// a remote host over SNMP, where page file, buffers and cache come too. Sizes
// are in MB. Minimums fire when the free size is at or below them; the buffer
// and cache limits are maximums that fire at or above.
#pragma once

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "agent/Plugins/MonTestTable.h"
#include "agent/Plugins/MonValues.h"
#include "agent/Plugins/SnmpReads.h"
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
  explicit CMemMon(IMemoryProbe& probe, ISnmpReads& snmp = DefaultSnmpReads())
      : Base("mon_mem: ", "MM"), m_probe(probe), m_snmp(snmp) {
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
      status = ReadRemote(t.hostAddr, v);
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
  // The host's storage table: which rows are the five memories, then their
  // sizes, units and (for three of them) used sizes in one request.
  uint32_t ReadRemote(const std::string& host, MemoryValues& v) {
    using namespace mon_values;
    Log(Format("remote test: host: '%s'", host.c_str()));
    auto stopped = [this] { return this->StopRequested(); };
    static const char* const kNames[] = {"physical memory", "virtual memory", "memory buffers",
                                         "cached memory", "swap space"};
    enum { kPhysical, kVirtual, kBuffers, kCached, kSwap, kKinds };
    std::vector<SnmpAnswer> rows;
    int code = SnmpWalk(m_snmp, host, "1.3.6.1.2.1.25.2.3.1.3", snmp_reads::kWalkStepWaitMs, rows, stopped);
    struct Found {
      bool present = false;
      size_t first = 0;  // its first OID in the request
    } found[kKinds];
    std::vector<std::string> oids;
    if (code == snmp_reads::kRead) {
      for (const SnmpAnswer& row : rows) {
        if (row.syntax != snmp_reads::kSyntaxOctetString) continue;
        for (int k = 0; k < kKinds; ++k) {
          if (found[k].present || !SameText(row.value, kNames[k])) continue;
          const std::string index = row.oid.substr(row.oid.rfind('.') + 1);
          found[k].present = true;
          found[k].first = oids.size();
          oids.push_back("1.3.6.1.2.1.25.2.3.1.5." + index);
          oids.push_back("1.3.6.1.2.1.25.2.3.1.4." + index);
          if (k == kPhysical || k == kVirtual || k == kSwap)
            oids.push_back("1.3.6.1.2.1.25.2.3.1.6." + index);
        }
      }
      code = oids.empty() ? snmp_reads::kNothingToRead : snmp_reads::kRead;
    }
    std::vector<SnmpAnswer> answers;
    if (code == snmp_reads::kRead) code = m_snmp.Get(host, oids, 3000, answers, stopped);
    if (code != snmp_reads::kRead) {
      Log(Format("remote test: GetOIDValuesFromHost failed: retVal: %d", code));
      return RemoteFailureStatus(code);
    }
    Log("remote test: GetOIDValuesFromHost succeeded.");
    for (int k = 0; k < kKinds; ++k) {
      if (!found[k].present) continue;
      const size_t count = (k == kPhysical || k == kVirtual || k == kSwap) ? 3 : 2;
      int64_t n[3] = {0, 0, 0};
      bool readable = true;
      for (size_t i = 0; i < count; ++i) {
        const size_t at = found[k].first + i;
        if (at >= answers.size() || answers[at].syntax != snmp_reads::kSyntaxInteger) {
          readable = false;
          break;
        }
        n[i] = strtoll(answers[at].value.c_str(), nullptr, 10);
        if (n[i] < INT32_MIN || n[i] > INT32_MAX) readable = false;  // not the 32-bit integer the table holds
      }
      if (!readable) continue;
      // Sizes and units are 31-bit numbers: their products fit in 64 bits.
      const double total = static_cast<double>(n[0] * n[1]) / 1048576.0;
      const double free = static_cast<double>(n[0] * n[1] - n[2] * n[1]) / 1048576.0;
      switch (k) {
        case kPhysical: v.total_phys = total, v.free_phys = free; break;
        case kVirtual: v.total_virt = total, v.free_virt = free; break;
        case kSwap: v.total_page = total, v.free_page = free; break;
        case kBuffers: v.buffered = total; break;
        case kCached: v.cached = total; break;
      }
    }
    return kWithinLimits;
  }

  static bool SameText(const std::string& a, const char* b) {
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i)
      if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i])))
        return false;
    return i == a.size() && !b[i];
  }

  IMemoryProbe& m_probe;
  ISnmpReads& m_snmp;
  std::vector<uint8_t> m_raw;  // the probe's buffer
  MemoryValues m_local;        // this pass's figures
};
