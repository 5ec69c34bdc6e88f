// CInventoryList: the inventory a monitor last reported to the gateway (drive
// letters, executable names) and the rule for reporting it again: entries
// sorted, each once, sent only when the list differs from the last one sent.
// The list is read on the main loop's thread and cleared from the command
// thread and by Stop, so it has a lock of its own, never held with another.
// Some inventories remember an empty list without sending it: a machine that
// lists nothing (or could not be asked) reports nothing, and the next list
// with entries then differs and goes out in full.
#pragma once

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "corelib/MonResult2.h"

class CInventoryList {
 public:
  explicit CInventoryList(bool sendEmpty = true) : m_sendEmpty(sendEmpty) {}

  enum class Change { Sent, Unchanged, EmptyKept };

  // Sent, with `record` filled as an inventory of `type`, when `entries`
  // differ from the list last reported; that list is then `entries`. A list
  // that differs but is empty is only remembered when empty lists are not sent.
  Change Update(std::vector<std::string> entries, uint32_t type, CMonResult2& record) {
    std::sort(entries.begin(), entries.end());
    entries.erase(std::unique(entries.begin(), entries.end()), entries.end());
    {
      std::lock_guard<std::mutex> lock(m_lock);
      if (entries == m_reported) return Change::Unchanged;
      m_reported = entries;
    }
    if (entries.empty() && !m_sendEmpty) return Change::EmptyKept;
    // Every entry is followed by a TAB, the last one too.
    std::string text;
    for (const std::string& entry : entries) text += entry + '\t';
    record.create(0, 3, 1, 0, 0, 1);  // the prefix; the list
    record.init(type, 0, 0);
    record.add(text.c_str());
    return Change::Sent;
  }

  // True, with `record` filled, when the list was sent.
  bool Report(std::vector<std::string> entries, uint32_t type, CMonResult2& record) {
    return Update(std::move(entries), type, record) == Change::Sent;
  }

  // The next Report sends the list whatever it holds.
  void Clear() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_reported.clear();
  }

 private:
  const bool m_sendEmpty;
  std::mutex m_lock;
  std::vector<std::string> m_reported;
};
