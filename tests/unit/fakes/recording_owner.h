// A stand-in for the worker as the monitors see it: it keeps every record that
// reaches its cache (each checked as the gateway would) and every line of its
// status channel.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "corelib/MonResult2.h"
#include "tests/unit/udc_view.h"

class RecordingOwner {
 public:
  void AddToCache(const CMonResult2* r) {
    const auto* bytes = static_cast<const uint8_t*>(r->get_pointer());
    uint64_t size = 0, offset = 0;
    const char* reason = nullptr;
    // A record the gateway would refuse fails the test that made it.
    EXPECT_TRUE(udc_validate(bytes, r->get_size(), &size, &offset, &reason))
        << (reason ? reason : "") << " at byte " << offset;
    EXPECT_EQ(size, r->get_size());
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records.emplace_back(bytes, bytes + r->get_size());
  }
  // Monitors start only while their owner works.
  bool IsWorking() const { return working; }
  std::atomic<bool> working{true};

  void NotifyStatus(uint32_t code, const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (code == 10) m_lines.push_back(text);
  }

  std::vector<std::vector<uint8_t>> Records() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records;
  }
  // The records taken apart.
  std::vector<UdcView> Decoded() {
    std::vector<UdcView> views;
    for (const auto& r : Records()) views.push_back(ViewRecord(r));
    return views;
  }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
  }
  bool Logged(const std::string& line) {
    for (const std::string& l : Lines())
      if (l == line) return true;
    return false;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records.clear();
    m_lines.clear();
  }

 private:
  std::mutex m_mutex;
  std::vector<std::vector<uint8_t>> m_records;
  std::vector<std::string> m_lines;
};
