#include "corelib/ExLogger.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "platform/config_store.h"
#include "platform/config_values.h"
#include "platform/daily_logs.h"
#include "platform/files.h"
#include "platform/local_time.h"
#include "platform/log_folder.h"

namespace {

constexpr char kPrefix[] = "monexception_";

std::mutex g_instanceMutex;
std::atomic<ExLogger*> g_instance{nullptr};

}  // namespace

#ifdef _WIN32
// The fault filter's file (fault_filter_win32.cpp), kept up to date from here
// because line ends read Trace and build the folder anyway. Called with the
// logger's mutex held.
void fault_log_attach(ExLogger* logger);
void fault_log_detach(const ExLogger* logger);
void fault_log_refresh(const ExLogger* logger, const std::string& folder);
#endif

struct ExLogger::Impl {
  platform::ConfigStore& store;
  platform::TraceLevelCache trace{store};
  std::function<std::string()> folder;
  std::timed_mutex mutex;                             // the logger's one mutex
  std::unordered_map<uint32_t, std::string> pending;  // by thread; only threads with text
  std::atomic<bool> throwExceptions{true};

  Impl(platform::ConfigStore& s, std::function<std::string()> f) : store(s), folder(std::move(f)) {}

  template <typename Append>
  void add(Append append) {
    try {
      uint32_t thread = platform::current_thread_id();
      std::lock_guard<std::timed_mutex> lock(mutex);
      append(pending[thread]);
    } catch (...) {
      // Out of memory: the piece is lost; logging never disturbs its caller.
    }
  }

  template <typename Format>
  void add_formatted(const char* format, Format value) {
    add([&](std::string& text) {
      char buffer[64];
      int length = std::snprintf(buffer, sizeof(buffer), format, value);
      if (length > 0) text.append(buffer, std::min<size_t>(static_cast<size_t>(length), sizeof(buffer) - 1));
    });
  }

  // Called with the mutex held.
  void write_line(const std::string& logs, const std::string& text) {
    platform::LocalTime now = platform::local_now();
    char head[64];
    std::snprintf(head, sizeof(head), "%02d:%02d:%02d Thread ID:%u :", now.hour, now.minute, now.second,
                  platform::current_thread_id());
    std::string line = head;
    line += text;
    line += '\n';
    std::string path = platform::join_path(logs, platform::daily_log_name(kPrefix, now));
    platform::append_to_file(path, line.data(), line.size());  // a file that cannot be opened drops the line
  }
};

ExLogger& ExLogger::instance() {
  ExLogger* logger = g_instance.load(std::memory_order_acquire);
  if (logger) return *logger;
  std::lock_guard<std::mutex> lock(g_instanceMutex);
  logger = g_instance.load(std::memory_order_relaxed);
  if (!logger) {
    logger = new ExLogger(platform::machine_config_store(), &platform::log_folder_path);
    g_instance.store(logger, std::memory_order_release);
  }
  return *logger;
}

void ExLogger::destroy() {
  std::lock_guard<std::mutex> lock(g_instanceMutex);
  delete g_instance.exchange(nullptr);
}

ExLogger::ExLogger(platform::ConfigStore& store, std::function<std::string()> folder)
    : m_impl(new Impl(store, std::move(folder))) {}

ExLogger::~ExLogger() {
#ifdef _WIN32
  {
    std::lock_guard<std::timed_mutex> lock(m_impl->mutex);
    fault_log_detach(this);
  }
#endif
  delete m_impl;
}

ExLogger& ExLogger::operator<<(char value) {
  m_impl->add([value](std::string& text) { text += value; });
  return *this;
}
ExLogger& ExLogger::operator<<(int16_t value) { return *this << static_cast<long long>(value); }
ExLogger& ExLogger::operator<<(uint16_t value) { return *this << static_cast<unsigned long long>(value); }
ExLogger& ExLogger::operator<<(int32_t value) { return *this << static_cast<long long>(value); }
ExLogger& ExLogger::operator<<(uint32_t value) { return *this << static_cast<unsigned long long>(value); }
ExLogger& ExLogger::operator<<(long value) { return *this << static_cast<long long>(value); }
ExLogger& ExLogger::operator<<(unsigned long value) {
  return *this << static_cast<unsigned long long>(value);
}
ExLogger& ExLogger::operator<<(long long value) {
  m_impl->add_formatted("%lld", value);
  return *this;
}
ExLogger& ExLogger::operator<<(unsigned long long value) {
  m_impl->add_formatted("%llu", value);
  return *this;
}
ExLogger& ExLogger::operator<<(float value) { return *this << static_cast<double>(value); }
ExLogger& ExLogger::operator<<(double value) {
  m_impl->add_formatted("%g", value);
  return *this;
}
ExLogger& ExLogger::operator<<(const std::string& value) {
  m_impl->add([&value](std::string& text) { text += value; });
  return *this;
}
ExLogger& ExLogger::operator<<(const char* value) {
  if (value) m_impl->add([value](std::string& text) { text += value; });
  return *this;
}

ExLogger& ExLogger::operator<<(const ExLoggerEndLine&) {
  try {
    uint32_t thread = platform::current_thread_id();
    bool on = m_impl->trace.get() != 0;
    std::lock_guard<std::timed_mutex> lock(m_impl->mutex);
    auto it = m_impl->pending.find(thread);
    std::string text;
    if (it != m_impl->pending.end()) {
      text.swap(it->second);
      m_impl->pending.erase(it);
    }
    // Empty while Trace is 0 or when there is no folder to be trusted.
    std::string logs = on ? m_impl->folder() : std::string();
    if (!logs.empty()) m_impl->write_line(logs, text);
#ifdef _WIN32
    fault_log_refresh(this, logs);
#endif
  } catch (...) {
    // Logging never reports errors to its callers.
  }
  return *this;
}

void ExLogger::prepareFaultLog() {
#ifdef _WIN32
  try {
    bool on = m_impl->trace.get() != 0;
    std::lock_guard<std::timed_mutex> lock(m_impl->mutex);
    fault_log_attach(this);
    fault_log_refresh(this, on ? m_impl->folder() : std::string());
  } catch (...) {
  }
#endif
}

size_t ExLogger::copyPendingTextNoWait(char* buffer, size_t capacity) noexcept {
  if (!buffer || capacity == 0) return 0;
  buffer[0] = '\0';
  std::unique_lock<std::timed_mutex> lock(m_impl->mutex, std::try_to_lock);
  if (!lock.owns_lock()) return 0;
  auto it = m_impl->pending.find(platform::current_thread_id());
  if (it == m_impl->pending.end()) return 0;
  size_t length = std::min(it->second.size(), capacity - 1);
  std::memcpy(buffer, it->second.data(), length);
  buffer[length] = '\0';
  return length;
}

int ExLogger::CopyLogFiles(const char* folder, int days, const int* today) {
  if (!folder) return 0;
  try {
    std::string logs = m_impl->folder();
    if (logs.empty()) return 0;
    platform::LocalTime from_day{};
    if (today != nullptr) from_day = platform::LocalTime{today[0], today[1], today[2], 0, 0, 0};
    return platform::copy_daily_logs(logs, folder, days, {kPrefix},
                                     [this](const std::string& from, const std::string& to) {
                                       std::lock_guard<std::timed_mutex> lock(m_impl->mutex);
                                       return platform::copy_file_replacing(from, to);
                                     },
                                     today != nullptr ? &from_day : nullptr);
  } catch (...) {
    return 0;
  }
}

bool ExLogger::isThrowExceptions() const { return m_impl->throwExceptions; }
void ExLogger::setIsThrowExceptions(bool value) { m_impl->throwExceptions = value; }
