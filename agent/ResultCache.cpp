#include "agent/ResultCache.h"

#include <algorithm>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <new>

#include "agent/LogFormat.h"
#include "corelib/MonResult2.h"
#include "corelib/udc.h"
#include "platform/config_values.h"

namespace {

constexpr uint32_t kTraceRecordDump = 32;
constexpr uint32_t kTraceHexDump = 48;
constexpr size_t kHexDumpLine = 32;

// A shared block is one 64 KiB allocation, the allocator's own header
// included. Entries longer than kSharedEntryLimit that do not fit in the last
// block get a block of their own, so that the space left unused at the end of
// a shared block stays small next to what the block holds.
constexpr size_t kSharedAllocation = 65536 - 16;
constexpr size_t kSharedEntryLimit = 1024;

// The record as udcw_print_data renders it. `block` is a record the agent built.
std::string PrintRecord(const void* block) {
  _U_D_C_W_* w = nullptr;
  if (!udcw_from_udc(const_cast<_U_D_C_*>(static_cast<const _U_D_C_*>(block)), &w)) return std::string();
  char* text = nullptr;
  uint64_t capacity = 0, length = 0;
  udcw_print_data(w, &text, &capacity, &length);
  std::string printed = text ? std::string(text, length) : std::string();
  udcw_free_print_data(&text);
  w->udc = nullptr;  // the block stays with its owner
  udcw_free(&w);
  return printed;
}

// Printable in the C locale whatever the process's locale, so that the dump
// never carries control characters into the log.
bool Printable(uint8_t c) { return c >= 0x20 && c < 0x7f; }

// 32 bytes a line in groups of four, each line followed by its characters.
// The characters of a line are flushed when the next line starts, hence the
// tab-and-newline ahead of the first byte too.
std::string HexDump(const std::vector<uint8_t>& data) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text = "GetFromCache: binary data:\r\n";
  text.reserve(text.size() + data.size() * 5 + 3 * kHexDumpLine + 8);
  std::string column;
  for (size_t i = 0; i < data.size(); ++i) {
    if (i % kHexDumpLine == 0) {
      text += '\t';
      text += column;
      text += "\r\n";
      column.clear();
    } else if (i % 4 == 0) {
      text += ' ';
    }
    const uint8_t b = data[i];
    text += kDigits[b >> 4];
    text += kDigits[b & 15];
    text += ' ';
    column += Printable(b) ? static_cast<char>(b) : '.';
  }
  // The last line's characters are written even when it is full: nothing
  // follows that would flush them.
  if (!column.empty()) {
    const size_t used = data.size() % kHexDumpLine;
    if (used != 0) text.append(3 * (kHexDumpLine - used), ' ');
    text += '\t';
    text += column;
    text += "\r\n";
  }
  text += "\r\n";
  return text;
}

// Each record of the batch as udcw_print_data renders it, walked by the
// records' own lengths. The batch is the agent's own, but a record is printed
// only once the validating reader has passed it.
std::string RecordDump(const std::vector<uint8_t>& data) {
  std::string text = "GetFromCache: UDC data:\r\n\r\n";
  size_t at = 0;
  while (data.size() - at >= sizeof(uint32_t)) {
    uint32_t length = 0;
    memcpy(&length, data.data() + at, sizeof length);
    if (length == 0 || length > data.size() - at) break;
    uint64_t size = 0, offset = 0;
    const char* reason = "";
    // A record that fails validation is named, not printed; its length has
    // been checked against the batch, so the walk can go on past it.
    if (udc_validate(data.data() + at, length, &size, &offset, &reason)) {
      text += "  ";
      text += PrintRecord(data.data() + at);
      text += "\r\n\r\n";
    } else {
      text += Format("  UDC | INVALID: '%s at byte %" PRIu64 "' \r\n\r\n", reason,
                     static_cast<uint64_t>(at) + offset);
    }
    at += length;
  }
  return text;
}

}  // namespace

CResultCache::CResultCache(platform::ConfigStore& config, Log log, uint32_t maxMB)
    : m_config(config),
      m_log(std::move(log)),
      m_maxMB(std::max<uint32_t>(maxMB, 1)),
      m_maxBytes(static_cast<uint64_t>(m_maxMB) << 20) {}

CResultCache::~CResultCache() {
  while (m_head) {
    Block* next = m_head->next;
    free(m_head);
    m_head = next;
  }
  free(m_spare);
}

uint32_t CResultCache::TraceLevel() const { return m_trace.get(); }

int64_t CResultCache::TimeAt(const Cursor& at) {
  int64_t t;
  memcpy(&t, at.block->data() + at.offset, sizeof t);
  return t;
}

const uint8_t* CResultCache::RecordAt(const Cursor& at) {
  return at.block->data() + at.offset + sizeof(int64_t);
}

uint32_t CResultCache::SizeAt(const Cursor& at) {
  uint32_t n;
  memcpy(&n, RecordAt(at), sizeof n);
  return n;
}

void CResultCache::Advance(Cursor& at) {
  at.offset += sizeof(int64_t) + SizeAt(at);
  if (at.offset == at.block->end) {
    at.block = at.block->next;
    at.offset = at.block ? at.block->begin : 0;
  }
}

void CResultCache::Append(int64_t resultTime, const void* bytes, uint32_t size) {
  const size_t need = sizeof(int64_t) + size;
  if (!m_tail || m_tail->capacity - m_tail->end < need) {
    Block* b = nullptr;
    if (m_spare && need <= m_spare->capacity) {
      b = m_spare;
      m_spare = nullptr;
    } else {
      const size_t capacity = need <= kSharedEntryLimit ? kSharedAllocation - sizeof(Block) : need;
      b = static_cast<Block*>(malloc(sizeof(Block) + capacity));
      // Out of memory: the callers' catch-all handlers record it, as for any allocation.
      if (!b) throw std::bad_alloc();
      b->capacity = capacity;
    }
    b->next = nullptr;
    b->begin = b->end = 0;
    if (m_tail) {
      m_tail->next = b;
    } else {
      m_head = b;
    }
    m_tail = b;
  }
  uint8_t* at = m_tail->data() + m_tail->end;
  memcpy(at, &resultTime, sizeof resultTime);
  memcpy(at + sizeof resultTime, bytes, size);
  m_tail->end += need;
  ++m_count;
  ++m_nextSeq;
  m_bytes += size;
}

void CResultCache::RemoveFront() {
  Block* b = m_head;
  const uint32_t size = SizeAt(Front());
  b->begin += sizeof(int64_t) + size;
  --m_count;
  m_bytes -= size;
  if (b->begin == b->end) {
    m_head = b->next;
    if (!m_head) m_tail = nullptr;
    Release(b);
  }
}

void CResultCache::Release(Block* block) {
  if (!m_spare && block->capacity == kSharedAllocation - sizeof(Block)) {
    m_spare = block;
  } else {
    free(block);
  }
}

void CResultCache::AgeFront(const char* operation, uint32_t cacheLimitMinutes, time_t now, uint32_t trace,
                            std::vector<std::string>& lines) {
  const int64_t limit = static_cast<int64_t>(cacheLimitMinutes) * 60;
  // Only the front is examined: a young entry shields older ones behind it.
  while (m_head) {
    const int64_t age = static_cast<int64_t>(now) - TimeAt(Front());
    if (age <= limit) break;
    RemoveFront();
    if (trace) {
      lines.push_back(Format("%s: Removed old result. age: %d seconds, cache size: %d results", operation,
                             static_cast<int>(age), static_cast<int>(m_count)));
    }
  }
}

void CResultCache::AddToCache(const CMonResult2* record, uint32_t cacheLimitMinutes, time_t now) {
  if (!record || !record->get_pointer()) return;
  const uint32_t size = record->get_size();
  // A block shorter than a record header is no record; the entry also reads
  // its length from the bytes.
  if (size < sizeof(_U_D_C_)) return;
  const uint32_t trace = TraceLevel();
  std::vector<std::string> lines;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    // Aged before the new entry goes in: it is looked at once it is the front.
    AgeFront("AddToCache", cacheLimitMinutes, now, trace, lines);
    Append(record->get_result_time(), record->get_pointer(), size);
    if (trace) {
      lines.push_back(Format("AddToCache: Added %d bytes, cache size: %d results", static_cast<int>(size),
                             static_cast<int>(m_count)));
    }
    // The newest entry stays even alone above the cap: it is what the
    // monitors measured last.
    while (m_bytes > m_maxBytes && m_count > 1) {
      const uint32_t removed = SizeAt(Front());
      RemoveFront();
      if (trace) {
        lines.push_back(
            Format("AddToCache: cache limit of %u MB reached, removed the oldest result (%d bytes), cache "
                   "size: %d results",
                   m_maxMB, static_cast<int>(removed), static_cast<int>(m_count)));
      }
    }
  }
  // Written outside the lock: the log writer reads Trace from the registry for
  // every line, and the monitors' check threads queue on this lock.
  if (!trace) return;
  for (const std::string& line : lines) m_log(line);
  m_log(PrintRecord(record->get_pointer()));
}

void CResultCache::AgeCache(uint32_t cacheLimitMinutes, time_t now) {
  const uint32_t trace = TraceLevel();
  std::vector<std::string> lines;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    AgeFront("AgeCache", cacheLimitMinutes, now, trace, lines);
  }
  for (const std::string& line : lines) m_log(line);
}

bool CResultCache::GetFromCache(std::vector<uint8_t>& batch, BatchToken& token, uint32_t bufferSize,
                                uint32_t cacheLimitMinutes, time_t now) {
  batch.clear();
  token = kNoBatch;
  const uint32_t trace = TraceLevel();
  std::vector<std::string> lines;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_pendingToken = kNoBatch;
    AgeFront("GetFromCache", cacheLimitMinutes, now, trace, lines);
    // The first entry always goes, so that an oversized record cannot block the queue.
    if (m_head) batch.reserve(bufferSize);
    size_t taken = 0;
    for (Cursor at = Front(); at.block; Advance(at)) {
      const uint32_t size = SizeAt(at);
      if (taken > 0 && batch.size() + size > bufferSize) break;
      batch.insert(batch.end(), RecordAt(at), RecordAt(at) + size);
      ++taken;
    }
    if (taken > 0) {
      m_pendingToken = token = FrontSeq() + taken - 1;
      if (trace) {
        lines.push_back(Format("GetFromCache: returning %d results, %d bytes, cache size: %d results",
                               static_cast<int>(taken), static_cast<int>(batch.size()),
                               static_cast<int>(m_count)));
      }
    }
  }
  if (trace) {
    for (const std::string& line : lines) m_log(line);
  }
  if (batch.empty()) {
    if (trace) m_log("GetFromCache: returning empty content");
    return false;
  }
  if (trace >= kTraceHexDump) m_log(HexDump(batch));
  if (trace >= kTraceRecordDump) m_log(RecordDump(batch));
  return true;
}

void CResultCache::EmptyCacheBuffer(BatchToken token) {
  const uint32_t trace = TraceLevel();
  std::string line;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    if (token == kNoBatch || token != m_pendingToken) return;
    m_pendingToken = kNoBatch;
    // What ageing and the cap left of the batch is still the front: entries
    // go at the front only.
    size_t removed = 0;
    for (; m_head && FrontSeq() <= token; ++removed) RemoveFront();
    if (trace) {
      line = Format("EmptyCacheBuffer: removed %d results, cache size: %d results", static_cast<int>(removed),
                    static_cast<int>(m_count));
    }
  }
  if (!line.empty()) m_log(line);
}

void CResultCache::DropPending() {
  std::lock_guard<std::mutex> lock(m_lock);
  m_pendingToken = kNoBatch;
}

size_t CResultCache::Count() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_count;
}

uint64_t CResultCache::Bytes() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_bytes;
}
