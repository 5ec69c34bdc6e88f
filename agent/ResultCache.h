// The agent's memory of undelivered results: records in arrival order until
// the gateway confirms them. A batch handed out for an exchange stays at the
// front until EmptyCacheBuffer confirms it, so a failed exchange resends it.
//
// Every operation reads Trace afresh, once, before it takes the lock: with
// Trace 0 no log line is formatted and no record is printed, because the
// cache is fed by every monitor's check pass and printing is what costs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/config_store.h"

class CMonResult2;

class CResultCache {
 public:
  using Log = std::function<void(const std::string& line)>;
  // `config` is where Trace is read; `log` receives finished lines and dumps.
  CResultCache(platform::ConfigStore& config, Log log);
  ~CResultCache();
  CResultCache(const CResultCache&) = delete;
  CResultCache& operator=(const CResultCache&) = delete;

  // Copies the record's bytes; a null record is ignored.
  void AddToCache(const CMonResult2* record);
  // Ages out old entries at the front, then hands out the next batch of at most
  // `bufferSize` bytes (the first entry always goes, however large). False, with
  // `batch` empty, when there is nothing to send.
  bool GetFromCache(std::vector<uint8_t>& batch, uint32_t bufferSize, uint32_t cacheLimitMinutes, time_t now);
  // The last batch was delivered.
  void EmptyCacheBuffer();
  size_t Count() const;

 private:
  // One allocation per entry: this header, then the record's bytes, whose
  // first field is their length. Entries only join at the back and leave at
  // the front, so one link is enough. 16 bytes of header plus the allocator's
  // own keep the overhead of a cached record under 48 bytes.
  struct Entry {
    Entry* next;
    int64_t resultTime;
    uint8_t* bytes() { return reinterpret_cast<uint8_t*>(this + 1); }
    uint32_t size();
  };
  static_assert(sizeof(Entry) == 16, "the entry header is part of the per-record memory budget");

  uint32_t TraceLevel() const;
  // Unlinks and frees the first entry; the list must not be empty.
  void RemoveFront();

  platform::ConfigStore& m_config;
  Log m_log;
  mutable std::mutex m_lock;  // guards everything below
  Entry* m_head = nullptr;
  Entry* m_tail = nullptr;
  size_t m_count = 0;
  // The last batch handed out: copies of the first m_pendingCount entries.
  std::vector<uint8_t> m_pendingPayload;
  size_t m_pendingCount = 0;
};
