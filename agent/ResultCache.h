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
  // TEMPORARY shims
  bool GetFromCache(std::vector<uint8_t>& batch, uint32_t bufferSize, uint32_t cacheLimitMinutes, time_t now, uint64_t& token) { token = 1; return GetFromCache(batch, bufferSize, cacheLimitMinutes, now); }
  void EmptyCacheBuffer(uint64_t) { EmptyCacheBuffer(); }
  void DropPending() {}
  size_t Count() const;

 private:
  // Entries lie back to back in blocks: the result time (8 bytes), then the
  // record's bytes, whose first field is their length. Small records share
  // blocks of about 64 KiB; a larger one gets a block of its own. Blocks
  // leave the list when their last entry goes, so every listed block holds at
  // least one entry. Adding and removing an entry touch no allocator most of
  // the time, which keeps their cost the same however full the cache is, and a
  // cached record costs little more than its 8-byte time.
  struct Block {
    Block* next;
    size_t begin;  // offset of the first entry
    size_t end;    // offset past the last entry
    size_t capacity;
    uint8_t* data() { return reinterpret_cast<uint8_t*>(this + 1); }
  };
  // Position of an entry.
  struct Cursor {
    Block* block;
    size_t offset;
  };

  uint32_t TraceLevel() const;
  // Appends an entry; throws std::bad_alloc when no block can be had.
  void Append(int64_t resultTime, const void* bytes, uint32_t size);
  Cursor Front() const { return {m_head, m_head ? m_head->begin : 0}; }
  // Moves to the next entry; the block is null past the last one.
  static void Advance(Cursor& at);
  static int64_t TimeAt(const Cursor& at);
  static const uint8_t* RecordAt(const Cursor& at);
  static uint32_t SizeAt(const Cursor& at);
  // Removes the first entry; the list must not be empty.
  void RemoveFront();
  void Release(Block* block);

  platform::ConfigStore& m_config;
  Log m_log;
  mutable std::mutex m_lock;  // guards everything below
  Block* m_head = nullptr;    // oldest entries
  Block* m_tail = nullptr;
  Block* m_spare = nullptr;  // one emptied shared block, kept against allocator churn
  size_t m_count = 0;
  // The last batch handed out: copies of the first m_pendingCount entries.
  std::vector<uint8_t> m_pendingPayload;
  size_t m_pendingCount = 0;
};
