// An owner for a monitor under test: keeps a copy of every record that
// reaches its cache and every line of its status channel.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "corelib/MonResult2.h"

class RecordingOwner {
 public:
  void AddToCache(const CMonResult2* r) {
    const auto* bytes = static_cast<const uint8_t*>(r->get_pointer());
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records.emplace_back(bytes, bytes + r->get_size());
  }
  void NotifyStatus(uint32_t code, const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (code == 10) m_lines.push_back(text);
  }

  std::vector<std::vector<uint8_t>> Records() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records;
  }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
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
