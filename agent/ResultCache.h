// The agent's memory of undelivered results: records in arrival order until
// the gateway confirms them. A batch handed out for an exchange stays at the
// front until EmptyCacheBuffer confirms it, so a failed exchange resends it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CMonResult2;

class CResultCache {
 public:
  using Log = std::function<void(const std::string& line)>;
  explicit CResultCache(Log log);
  ~CResultCache();

  // Copies the record's bytes; a null record is ignored.
  void AddToCache(const CMonResult2* record);
  // Ages out old entries at the front, then hands out the next batch of at most
  // `bufferSize` bytes (the first entry always goes, however large).
  bool GetFromCache(std::vector<uint8_t>& batch, uint32_t bufferSize, uint32_t cacheLimitMinutes, time_t now);
  // The last batch was delivered.
  void EmptyCacheBuffer();
  size_t Count() const;

 private:
  struct Entry {
    int64_t resultTime;
    uint32_t size;
    std::unique_ptr<uint8_t[]> bytes;
  };

  Log m_log;
  mutable std::mutex m_lock;
  std::deque<Entry> m_entries;
  size_t m_pendingCount = 0;
};
