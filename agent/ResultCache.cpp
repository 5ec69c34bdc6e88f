#include "agent/ResultCache.h"

#include <cstring>

#include "agent/LogFormat.h"
#include "corelib/MonResult2.h"

CResultCache::CResultCache(Log log) : m_log(std::move(log)) {}

CResultCache::~CResultCache() = default;

void CResultCache::AddToCache(const CMonResult2* record) {
  if (!record || !record->get_pointer()) return;
  uint32_t size = record->get_size();
  Entry e{record->get_result_time(), size, std::unique_ptr<uint8_t[]>(new uint8_t[size])};
  memcpy(e.bytes.get(), record->get_pointer(), size);
  std::lock_guard<std::mutex> lock(m_lock);
  m_entries.push_back(std::move(e));
  m_log(Format("AddToCache: Added %d bytes, cache size: %d results", static_cast<int>(size),
               static_cast<int>(m_entries.size())));
}

bool CResultCache::GetFromCache(std::vector<uint8_t>& batch, uint32_t bufferSize, uint32_t cacheLimitMinutes,
                                time_t now) {
  batch.clear();
  std::lock_guard<std::mutex> lock(m_lock);
  m_pendingCount = 0;
  const int64_t limit = static_cast<int64_t>(cacheLimitMinutes) * 60;
  // Only the front is examined: a young entry shields older ones behind it.
  while (!m_entries.empty()) {
    int64_t age = static_cast<int64_t>(now) - m_entries.front().resultTime;
    if (age <= limit) break;
    m_entries.pop_front();
    m_log(Format("GetFromCache: Removed old result. age: %d seconds, cache size: %d results", static_cast<int>(age),
                 static_cast<int>(m_entries.size())));
  }
  size_t taken = 0;
  for (const Entry& e : m_entries) {
    if (m_pendingCount > 0 && taken + e.size > bufferSize) break;
    taken += e.size;
    ++m_pendingCount;
  }
  batch.reserve(taken);
  for (size_t i = 0; i < m_pendingCount; ++i) {
    const Entry& e = m_entries[i];
    batch.insert(batch.end(), e.bytes.get(), e.bytes.get() + e.size);
  }
  if (m_pendingCount > 0) {
    m_log(Format("GetFromCache: returning %d results, %d bytes, cache size: %d results",
                 static_cast<int>(m_pendingCount), static_cast<int>(batch.size()),
                 static_cast<int>(m_entries.size())));
  }
  if (m_pendingCount == 0 || batch.empty()) {
    m_log("GetFromCache: returning empty content");
    return false;
  }
  return true;
}

void CResultCache::EmptyCacheBuffer() {
  std::lock_guard<std::mutex> lock(m_lock);
  if (m_pendingCount == 0) return;
  m_entries.erase(m_entries.begin(), m_entries.begin() + static_cast<std::ptrdiff_t>(m_pendingCount));
  m_log(Format("EmptyCacheBuffer: removed %d results, cache size: %d results", static_cast<int>(m_pendingCount),
               static_cast<int>(m_entries.size())));
  m_pendingCount = 0;
}

size_t CResultCache::Count() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_entries.size();
}
