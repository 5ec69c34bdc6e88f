#include "agent/custom/ResultsSendThread.h"

void CResultsSendThread::AddResult(CustomResult result) {
  std::lock_guard<std::mutex> hold(m_queueLock);
  m_results.push_back(std::move(result));
}

void CResultsSendThread::AddRemoveJobs(const std::string& jobIds, const std::string& status) {
  std::lock_guard<std::mutex> hold(m_queueLock);
  if (m_deletions.size() >= kMaxDeletions) m_deletions.pop_front();
  m_deletions.push_back({jobIds, status});
}

void CResultsSendThread::SetCacheLimitMinutes(uint32_t minutes) {
  std::lock_guard<std::mutex> hold(m_queueLock);
  m_ageLimitMinutes = minutes;
}

uint32_t CResultsSendThread::CacheLimitMinutes() const {
  std::lock_guard<std::mutex> hold(m_queueLock);
  return m_ageLimitMinutes;
}

size_t CResultsSendThread::QueuedResults() const {
  std::lock_guard<std::mutex> hold(m_queueLock);
  return m_results.size();
}

size_t CResultsSendThread::QueuedDeletions() const {
  std::lock_guard<std::mutex> hold(m_queueLock);
  return m_deletions.size();
}

std::deque<JobDeletion> CResultsSendThread::Deletions() const {
  std::lock_guard<std::mutex> hold(m_queueLock);
  return m_deletions;
}
