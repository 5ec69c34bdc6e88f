#include "corelib/ExLogger.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
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

struct ExLogger::Impl {
  platform::ConfigStore& store;
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

  // Called with the mutex held, or (writeFaultLine) when it could not be had.
  void write_line(const std::string& text) {
    platform::LocalTime now = platform::local_now();
    char head[64];
    std::snprintf(head, sizeof(head), "%02d:%02d:%02d Thread ID:%u :", now.hour, now.minute, now.second,
                  platform::current_thread_id());
    std::string line = head;
    line += text;
    line += '\n';
    std::string path = platform::join_path(folder(), platform::daily_log_name(kPrefix, now));
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

ExLogger::~ExLogger() { delete m_impl; }

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
    bool on = platform::read_trace_level(m_impl->store) != 0;
    std::lock_guard<std::timed_mutex> lock(m_impl->mutex);
    auto it = m_impl->pending.find(thread);
    std::string text;
    if (it != m_impl->pending.end()) {
      text.swap(it->second);
      m_impl->pending.erase(it);
    }
    if (on) m_impl->write_line(text);
  } catch (...) {
    // Logging never reports errors to its callers.
  }
  return *this;
}

void ExLogger::writeFaultLine(const char* text) {
  try {
    if (platform::read_trace_level(m_impl->store) == 0) return;
    std::string line;
    std::unique_lock<std::timed_mutex> lock(m_impl->mutex, std::chrono::seconds(2));
    if (lock.owns_lock()) {
      auto it = m_impl->pending.find(platform::current_thread_id());
      if (it != m_impl->pending.end()) {
        line.swap(it->second);
        m_impl->pending.erase(it);
      }
    }
    if (text) line += text;
    m_impl->write_line(line);
  } catch (...) {
  }
}

int ExLogger::CopyLogFiles(const char* folder, int days) {
  if (!folder) return 0;
  try {
    return platform::copy_daily_logs(m_impl->folder(), folder, days, {kPrefix},
                                     [this](const std::string& from, const std::string& to) {
                                       std::lock_guard<std::timed_mutex> lock(m_impl->mutex);
                                       return platform::copy_file_replacing(from, to);
                                     });
  } catch (...) {
    return 0;
  }
}

bool ExLogger::isThrowExceptions() const { return m_impl->throwExceptions; }
void ExLogger::setIsThrowExceptions(bool value) { m_impl->throwExceptions = value; }
