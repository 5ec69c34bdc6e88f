// CLogWriter: one daily log of the agent program. Callers append lines to
// memory; the writer's dump thread moves them to "<prefix>YYYY_MM_DD.log" every
// 500 ms with one open-append-close, so no caller ever waits for the file
// system. Every line sees the current Trace (platform::TraceLevelCache): 0
// records nothing, and switching it takes effect with the next line. While the
// file cannot be opened, or a write does not return, the text stays in memory:
// up to 4 MiB waiting for the dump thread and 4 MiB held by it, each cut at a
// line end, the oldest lines kept. An empty folder from the FolderSource means
// there is none to write to (the log folder could not be made private).
//
// The program has three writers, reached through agent_log(),
// custom_monitor_log() and custom_api_log(). Their dump threads start with the
// first line written while Trace is on and are stopped, after writing what is
// pending, when the program exits (from exit() or a return from main).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/config_store.h"
#include "platform/config_values.h"
#include "platform/local_time.h"

class CLogWriter {
 public:
  using FolderSource = std::function<std::string()>;

  static constexpr size_t kMaxHeldBytes = 4194304;

  // `companion_prefix`: files of another writer collected together with this
  // one's (the agent log takes the upgrade's "monupdate_" files along).
  CLogWriter(std::string prefix, platform::ConfigStore& store, FolderSource folder,
             std::string companion_prefix = std::string());
  ~CLogWriter();
  CLogWriter(const CLogWriter&) = delete;
  CLogWriter& operator=(const CLogWriter&) = delete;

  // Appends "hh:mm:ss (<thread id>): <text>\r\n". Never fails, never blocks on I/O.
  void AppendLogLine(const char* text);
  void AppendLogLine(const std::string& text) { AppendLogLine(text.c_str()); }

  // Copies the files of the last `days` days into `folder`; returns how many.
  // The companion's files are left out while an upgrade is under way (the
  // upgrade is still writing them).
  // `today`: the day counted from, when not the current one.
  int CopyLogFiles(const char* folder, int days, bool upgrade_started = false,
                   const platform::LocalTime* today = nullptr) const;

  // Ends the dump thread once it has written what is pending. Lines appended
  // after this are written at once, by the caller.
  void Stop();

  std::string FileName(const platform::LocalTime& date) const;

  // Bytes appended and not yet taken by the dump thread.
  size_t PendingBytes();

 private:
  void DumpLogThreadFunc();
  // Writes `text` to today's file; what could not be written stays in `text`.
  void WriteOut(std::string& text);

  const std::string m_prefix;
  const std::string m_companion;
  platform::ConfigStore& m_store;
  platform::TraceLevelCache m_trace{m_store};
  const FolderSource m_folder;

  std::mutex m_mutex;  // guards the members below
  std::condition_variable m_wake;
  std::string m_pending;
  std::thread m_dumper;
  bool m_stopping = false;
  bool m_stopped = false;
};

CLogWriter& agent_log();           // "monintagent_", with "monupdate_" when collecting
CLogWriter& custom_monitor_log();  // "moncustmon_"
CLogWriter& custom_api_log();      // "moncustapi_"
