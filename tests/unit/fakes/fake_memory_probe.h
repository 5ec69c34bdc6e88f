// A memory probe answering with set figures in the system's own layouts, with
// a failure switch for each query.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/memory_probe.h"

class FakeMemoryProbe : public IMemoryProbe {
 public:
  struct Performance {  // pages, and the page size in bytes
    uint64_t commitTotal = 0, commitLimit = 0, physicalTotal = 0, physicalAvailable = 0, pageSize = 4096;
  };
  struct Status {  // bytes
    uint64_t totalPhys = 0, availPhys = 0, totalPageFile = 0, availPageFile = 0;
    uint64_t totalVirtual = 0, availVirtual = 0;
  };

  void Set(const Performance& p, bool ok = true) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_performance = p;
    m_performanceOk = ok;
  }
  void Set(const Status& s, bool ok = true) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_status = s;
    m_statusOk = ok;
  }

  bool QueryPerformanceInformation(std::vector<uint8_t>& out) override {
    using namespace memory_layout;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_performanceOk) return false;
    out.assign(kPerformanceInformationSize, 0xCC);  // what the reader must not look at
    Put(out, kCommitTotalOffset, m_performance.commitTotal);
    Put(out, kCommitLimitOffset, m_performance.commitLimit);
    Put(out, kPhysicalTotalOffset, m_performance.physicalTotal);
    Put(out, kPhysicalAvailableOffset, m_performance.physicalAvailable);
    Put(out, kPageSizeOffset, m_performance.pageSize);
    return true;
  }

  bool QueryMemoryStatus(std::vector<uint8_t>& out) override {
    using namespace memory_layout;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_statusOk) return false;
    out.assign(kMemoryStatusSize, 0xCC);
    Put(out, kTotalPhysOffset, m_status.totalPhys);
    Put(out, kAvailPhysOffset, m_status.availPhys);
    Put(out, kTotalPageFileOffset, m_status.totalPageFile);
    Put(out, kAvailPageFileOffset, m_status.availPageFile);
    Put(out, 40, m_status.totalVirtual);  // the address space, which is not what "virtual" reports
    Put(out, 48, m_status.availVirtual);
    return true;
  }

 private:
  static void Put(std::vector<uint8_t>& out, size_t offset, uint64_t v) {
    for (int i = 0; i < 8; ++i) out[offset + i] = static_cast<uint8_t>(v >> (8 * i));
  }

  std::mutex m_mutex;
  Performance m_performance;
  Status m_status;
  bool m_performanceOk = true;
  bool m_statusOk = true;
};
