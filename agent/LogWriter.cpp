#include "agent/LogWriter.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/config_values.h"
#include "platform/daily_logs.h"
#include "platform/files.h"
#include "platform/log_folder.h"

namespace {

constexpr auto kDumpInterval = std::chrono::milliseconds(500);

// "hh:mm:ss (<thread id>): " of the calling thread, formatted again only when
// the second changes: converting to local time is the dearest part of a line.
struct LinePrefix {
  std::time_t second = -1;
  uint32_t thread = platform::current_thread_id();
  char text[40] = {};
  int length = 0;

  void update(std::time_t now) {
    if (now == second) return;
    platform::LocalTime t = platform::to_local_time(now);
    length = std::snprintf(text, sizeof(text), "%02d:%02d:%02d (%u): ", t.hour, t.minute, t.second, thread);
    second = now;
  }
};

thread_local LinePrefix t_prefix;

// Keeps whole lines: a cut in the middle of one would glue its head to
// whatever comes next.
void cut_to_limit(std::string& text) {
  if (text.size() <= CLogWriter::kMaxHeldBytes) return;
  size_t end = text.rfind('\n', CLogWriter::kMaxHeldBytes - 1);
  text.resize(end == std::string::npos ? CLogWriter::kMaxHeldBytes : end + 1);
}

}  // namespace

CLogWriter::CLogWriter(std::string prefix, platform::ConfigStore& store, FolderSource folder,
                       std::string companion_prefix)
    : m_prefix(std::move(prefix)),
      m_companion(std::move(companion_prefix)),
      m_store(store),
      m_folder(std::move(folder)) {}

CLogWriter::~CLogWriter() { Stop(); }

std::string CLogWriter::FileName(const platform::LocalTime& date) const {
  return platform::daily_log_name(m_prefix, date);
}

void CLogWriter::AppendLogLine(const char* text) {
  try {
    if (m_trace.get() == 0) return;
    LinePrefix& prefix = t_prefix;
    prefix.update(std::time(nullptr));
    std::unique_lock<std::mutex> lock(m_mutex);
    // While the dump thread is stuck in a write the pending text is all that
    // grows: it keeps its first 4 MiB, as the held text does, and newer lines
    // are dropped until the file takes text again.
    if (m_pending.size() >= kMaxHeldBytes) return;
    m_pending.append(prefix.text, prefix.length);
    if (text) m_pending.append(text);
    m_pending.append("\r\n");
    cut_to_limit(m_pending);
    if (m_stopped) {
      // Only while the program is going down: nobody else will write it.
      WriteOut(m_pending);
      m_pending.clear();
    } else if (!m_dumper.joinable()) {
      m_dumper = std::thread(&CLogWriter::DumpLogThreadFunc, this);
    }
  } catch (...) {
    // Out of memory or no thread to be had: the line is lost, the caller is not
    // disturbed. A missing dump thread is tried again with the next line.
  }
}

void CLogWriter::DumpLogThreadFunc() {
  std::string held;  // taken from m_pending, not yet in the file
  std::unique_lock<std::mutex> lock(m_mutex);
  for (;;) {
    bool last = m_stopping;
    cut_to_limit(held);
    if (held.empty()) {
      held.swap(m_pending);  // the usual case: no copy, and both keep their capacity
    } else {
      held += m_pending;
      m_pending.clear();
    }
    lock.unlock();
    if (!held.empty()) {
      try {
        WriteOut(held);
      } catch (...) {
        // Out of memory building the path: keep the text for the next cycle.
      }
    }
    lock.lock();
    if (last) break;
    m_wake.wait_for(lock, kDumpInterval, [this] { return m_stopping; });
  }
}

void CLogWriter::WriteOut(std::string& text) {
  std::string folder = m_folder();
  if (folder.empty()) return;  // no folder to be trusted: the text waits, within its bound
  std::string path = platform::join_path(folder, FileName(platform::local_now()));
  long long written = platform::append_to_file(path, text.data(), text.size());
  if (written < 0) return;
  text.erase(0, static_cast<size_t>(written));
}

size_t CLogWriter::PendingBytes() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_pending.size();
}

void CLogWriter::Stop() {
  std::thread dumper;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stopped) return;
    m_stopping = true;
    m_stopped = true;
    dumper.swap(m_dumper);
  }
  m_wake.notify_all();
  // The thread sees m_stopping, writes what is pending and ends: the wait is
  // one file write long.
  if (dumper.joinable()) dumper.join();
}

int CLogWriter::CopyLogFiles(const char* folder, int days, bool upgrade_started,
                             const platform::LocalTime* today) const {
  if (!folder) return 0;
  try {
    auto copy = [](const std::string& from, const std::string& to) {
      return platform::copy_file_replacing(from, to);
    };
    std::string logs = m_folder();
    if (logs.empty()) return 0;
    if (m_companion.empty() || upgrade_started)
      return platform::copy_daily_logs(logs, folder, days, {m_prefix.c_str()}, copy, today);
    return platform::copy_daily_logs(logs, folder, days, {m_companion.c_str(), m_prefix.c_str()}, copy, today);
  } catch (...) {
    return 0;
  }
}

namespace {

// The program's writers are never destroyed: a thread still writing while the
// program exits finds its writer intact. At exit each is stopped (its dump
// thread writes what is pending and ends); later lines are written directly.
CLogWriter* machine_writer(const char* prefix, const char* companion, void (*stop_at_exit)()) {
  auto* writer =
      new CLogWriter(prefix, platform::machine_config_store(), &platform::log_folder_path, companion);
  std::atexit(stop_at_exit);
  return writer;
}

}  // namespace

CLogWriter& agent_log() {
  static CLogWriter* writer = machine_writer("monintagent_", "monupdate_", [] { agent_log().Stop(); });
  return *writer;
}

CLogWriter& custom_monitor_log() {
  static CLogWriter* writer = machine_writer("moncustmon_", "", [] { custom_monitor_log().Stop(); });
  return *writer;
}

CLogWriter& custom_api_log() {
  static CLogWriter* writer = machine_writer("moncustapi_", "", [] { custom_api_log().Stop(); });
  return *writer;
}
