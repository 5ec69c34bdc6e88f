// CInventoryList: the inventory a monitor last reported to the gateway (drive
// letters, executable names) and the rule for reporting it again: entries
// sorted, each once, sent only when the list differs from the last one sent.
// The list is read on the main loop's thread and cleared from the command
// thread and by Stop, so it has a lock of its own, never held with another.
#pragma once

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "corelib/MonResult2.h"

class CInventoryList {
 public:
  // True, with `record` filled as an inventory of `type`, when `entries`
  // differ from the list last reported; that list is then `entries`.
  bool Report(std::vector<std::string> entries, uint32_t type, CMonResult2& record) {
    std::sort(entries.begin(), entries.end());
    entries.erase(std::unique(entries.begin(), entries.end()), entries.end());
    {
      std::lock_guard<std::mutex> lock(m_lock);
      if (entries == m_reported) return false;
      m_reported = entries;
    }
    // Every entry is followed by a TAB, the last one too.
    std::string text;
    for (const std::string& entry : entries) text += entry + '\t';
    record.create(0, 3, 1, 0, 0, 1);  // the prefix; the list
    record.init(type, 0, 0);
    record.add(text.c_str());
    return true;
  }

  // The next Report sends the list whatever it holds.
  void Clear() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_reported.clear();
  }

 private:
  std::mutex m_lock;
  std::vector<std::string> m_reported;
};
