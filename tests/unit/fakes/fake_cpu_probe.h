// A processor-time probe that replays recorded samples in the system's own
// layout, with failure switches and a count of samples taken.
#pragma once

#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/cpu_probe.h"

class FakeCpuProbe : public ICpuProbe {
 public:
  // `samples` answer the time queries in turn; the last one keeps answering.
  explicit FakeCpuProbe(std::vector<std::vector<ProcessorTimes>> samples = {{{}, {}, {}, {}}})
      : m_samples(samples.begin(), samples.end()) {}

  bool available = true;
  bool failBasic = false;
  bool failTimes = false;

  void Queue(std::vector<ProcessorTimes> sample) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_samples.push_back(std::move(sample));
  }
  int TimeQueries() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_timeQueries;
  }

  bool Available() override { return available; }

  bool QueryBasicInformation(std::vector<uint8_t>& out) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (failBasic || m_samples.empty()) return false;
    out.assign(cpu_layout::kBasicInformationSize, 0xCC);  // what the reader must not look at
    out[cpu_layout::kProcessorCountOffset] = static_cast<uint8_t>(m_samples.front().size());
    return true;
  }

  bool QueryProcessorTimes(uint32_t processors, std::vector<uint8_t>& out) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_timeQueries;
    if (failTimes || m_samples.empty()) return false;
    const std::vector<ProcessorTimes> sample = m_samples.front();
    if (m_samples.size() > 1) m_samples.pop_front();
    out.assign(size_t{processors} * cpu_layout::kProcessorTimesSize, 0xCC);
    for (size_t i = 0; i < sample.size() && i < processors; ++i) {
      uint8_t* entry = out.data() + i * cpu_layout::kProcessorTimesSize;
      Put(entry, sample[i].idle);
      Put(entry + 8, sample[i].kernel);
      Put(entry + 16, sample[i].user);
    }
    return true;
  }

 private:
  static void Put(uint8_t* p, int64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i));
  }

  std::mutex m_mutex;
  std::deque<std::vector<ProcessorTimes>> m_samples;
  int m_timeQueries = 0;
};
