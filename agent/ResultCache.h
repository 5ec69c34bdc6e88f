// The agent's memory of undelivered results: records in arrival order until
// the gateway confirms them. A batch handed out for an exchange stays at the
// front until EmptyCacheBuffer confirms it with the batch's token, so a failed
// exchange resends it.
//
// The cache is bounded two ways, both at the front only: entries older than
// the age limit go (at every add, every batch and every ageing pass), and the
// oldest go while the cached records' bytes exceed the byte cap, except the
// newest entry, which always stays.
//
// Every operation takes the current Trace, once, before it takes the lock: with
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
#include "platform/config_values.h"

class CMonResult2;

class CResultCache {
 public:
  using Log = std::function<void(const std::string& line)>;
  // Identifies a handed-out batch: the sequence number of its last entry.
  // Entries are numbered from 1 as they are added, so kNoBatch is never one.
  using BatchToken = uint64_t;
  static constexpr BatchToken kNoBatch = 0;

  // `config` is where Trace is read; `log` receives finished lines and dumps;
  // `maxMB` is the byte cap in MiB of record bytes (at least 1).
  CResultCache(platform::ConfigStore& config, Log log, uint32_t maxMB);
  ~CResultCache();
  CResultCache(const CResultCache&) = delete;
  CResultCache& operator=(const CResultCache&) = delete;

  // Ages the front, copies the record's bytes to the end, then removes the
  // oldest entries while the cap is exceeded. A null record is ignored.
  void AddToCache(const CMonResult2* record, uint32_t cacheLimitMinutes, time_t now);
  // Removes the entries at the front older than the limit, as the other
  // operations do; for the main loop's passes, whether authorised or not.
  void AgeCache(uint32_t cacheLimitMinutes, time_t now);
  // Ages the front, then hands out the next batch of at most `bufferSize`
  // bytes (the first entry always goes, however large) and its token, which
  // becomes the pending one. False, with `batch` empty and `token` kNoBatch,
  // when there is nothing to send; the pending batch is forgotten either way.
  bool GetFromCache(std::vector<uint8_t>& batch, BatchToken& token, uint32_t bufferSize,
                    uint32_t cacheLimitMinutes, time_t now);
  // The batch of `token` was delivered: removes what is left of it. Any token
  // but the pending one (stale, already confirmed, dropped, kNoBatch) is
  // ignored.
  void EmptyCacheBuffer(BatchToken token);
  // Forgets the pending batch without removing anything.
  void DropPending();
  size_t Count() const;
  // The cached records' bytes, which the cap bounds.
  uint64_t Bytes() const;

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
  // The sequence number of the first entry: removals happen at the front
  // only, so the entries' numbers run on without gaps from there.
  uint64_t FrontSeq() const { return m_nextSeq - m_count; }
  // Ageing of the front under the lock; lines (when `trace`) name `operation`.
  void AgeFront(const char* operation, uint32_t cacheLimitMinutes, time_t now, uint32_t trace,
                std::vector<std::string>& lines);
  void Release(Block* block);

  platform::ConfigStore& m_config;
  mutable platform::TraceLevelCache m_trace{m_config};
  Log m_log;
  mutable std::mutex m_lock;  // guards everything below
  Block* m_head = nullptr;    // oldest entries
  Block* m_tail = nullptr;
  Block* m_spare = nullptr;  // one emptied shared block, kept against allocator churn
  size_t m_count = 0;
  uint64_t m_bytes = 0;                  // record bytes of the entries
  uint64_t m_nextSeq = 1;                // number of the next entry added
  BatchToken m_pendingToken = kNoBatch;  // the last batch handed out, unconfirmed
  const uint32_t m_maxMB;
  const uint64_t m_maxBytes;
};
