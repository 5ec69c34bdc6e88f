// A fake of the event log seam: logs held as record blobs, with failure
// switches, scripted "needs N bytes" answers, a one-shot gate that holds a
// call until the test lets it go, and a counter of open logs. Safe to use
// from the monitor's check threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/event_log_reader.h"
#include "tests/unit/fakes/event_log_blob.h"

class FakeEventLogReader : public IEventLogReader {
 public:
  struct Log {
    uint32_t oldest = 1;
    std::deque<std::vector<uint8_t>> records;  // oldest first
    uint32_t openError = 0;
    uint32_t countError = 0;
    std::map<uint32_t, uint32_t> readErrors;               // record number -> error
    std::map<uint32_t, std::deque<uint32_t>> needAnswers;  // record number -> sizes asked for, in turn
  };
  enum class Gate { None, Count, Read };

  // The log `name` on `server` ("" for this machine).
  Log& At(const std::string& server, const std::string& name) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_logs[server + "|" + name];
  }
  // Appends a record; its number follows the newest.
  void Write(const std::string& name, EventBlob blob, const std::string& server = "") {
    std::lock_guard<std::mutex> lock(m_mutex);
    Log& log = m_logs[server + "|" + name];
    blob.recordNumber = log.oldest + static_cast<uint32_t>(log.records.size());
    log.records.push_back(blob.Build());
  }
  void WriteMany(const std::string& name, size_t n, EventBlob blob) {
    for (size_t i = 0; i < n; ++i) Write(name, blob);
  }
  // A clear: numbering starts again at 1.
  void Clear(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Log& log = m_logs["|" + name];
    log.records.clear();
    log.oldest = 1;
  }
  // A circular log overwriting its oldest records.
  void Overwrite(const std::string& name, size_t n) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Log& log = m_logs["|" + name];
    for (size_t i = 0; i < n && !log.records.empty(); ++i) {
      log.records.pop_front();
      ++log.oldest;
    }
  }

  // The next call at `gate` waits until Release (at most 10 s).
  void Arm(Gate gate) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_gate = gate;
    m_held = false;
    m_released = false;
  }
  bool WaitHeld(std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, limit, [this] { return m_held; });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_released = true;
    m_changed.notify_all();
  }
  int OpenLogs() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_open;
  }

  std::map<std::string, std::string> messages;  // "source|eventID" -> text with %1 ... %9
  struct Account {
    std::string name, domain;
    uint32_t use;
  };
  std::map<std::string, Account> accounts;  // SID text -> account

  std::unique_ptr<IEventLog> Open(const std::string& server, const std::string& name,
                                  uint32_t& error) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_logs.find(server + "|" + name);
    if (it == m_logs.end()) {
      error = 2;
      return nullptr;
    }
    if (it->second.openError) {
      error = it->second.openError;
      return nullptr;
    }
    ++m_open;
    return std::make_unique<Handle>(*this, server + "|" + name);
  }
  bool MessageText(const std::string&, const std::string& source, uint32_t eventID,
                   const std::vector<std::string>& inserts, std::string& text) override {
    auto it = messages.find(source + "|" + std::to_string(eventID));
    if (it == messages.end()) return false;
    text.clear();
    const std::string& f = it->second;
    for (size_t i = 0; i < f.size(); ++i) {
      if (f[i] == '%' && i + 1 < f.size() && f[i + 1] >= '1' && f[i + 1] <= '9') {
        size_t n = static_cast<size_t>(f[++i] - '1');
        if (n < inserts.size()) text += inserts[n];
      } else {
        text += f[i];
      }
    }
    return true;
  }
  bool LookupAccount(const std::vector<uint8_t>& sid, std::string& name, std::string& domain,
                     uint32_t& use) override {
    auto it = accounts.find(event_log_record::SidText(sid));
    if (it == accounts.end()) return false;
    name = it->second.name;
    domain = it->second.domain;
    use = it->second.use;
    return true;
  }
  std::string ErrorText(uint32_t error) override {
    switch (error) {
      case 2: return "The system cannot find the file specified.\r\n";
      case 122: return "The data area passed to a system call is too small.";
      case 1722: return "The RPC server is unavailable.";
      default: return std::string();
    }
  }

 private:
  class Handle : public IEventLog {
   public:
    Handle(FakeEventLogReader& fake, std::string key) : m_fake(fake), m_key(std::move(key)) {}
    ~Handle() override {
      std::lock_guard<std::mutex> lock(m_fake.m_mutex);
      --m_fake.m_open;
    }
    bool Count(uint32_t& records, uint32_t& error) override {
      m_fake.Pass(Gate::Count);
      std::lock_guard<std::mutex> lock(m_fake.m_mutex);
      Log& log = m_fake.m_logs[m_key];
      if (log.countError) {
        error = log.countError;
        return false;
      }
      records = static_cast<uint32_t>(log.records.size());
      return true;
    }
    bool Oldest(uint32_t& number, uint32_t&) override {
      std::lock_guard<std::mutex> lock(m_fake.m_mutex);
      number = m_fake.m_logs[m_key].oldest;
      return true;
    }
    uint32_t Read(uint32_t number, uint8_t* buffer, uint32_t size, uint32_t& read,
                  uint32_t& needed) override {
      m_fake.Pass(Gate::Read);
      std::lock_guard<std::mutex> lock(m_fake.m_mutex);
      Log& log = m_fake.m_logs[m_key];
      auto error = log.readErrors.find(number);
      if (error != log.readErrors.end()) return error->second;
      auto& answers = log.needAnswers[number];
      if (!answers.empty()) {
        needed = answers.front();
        answers.pop_front();
        return kEventLogInsufficientBuffer;
      }
      if (number < log.oldest || number - log.oldest >= log.records.size()) return 87;
      const std::vector<uint8_t>& blob = log.records[number - log.oldest];
      if (size < blob.size()) {
        needed = static_cast<uint32_t>(blob.size());
        return kEventLogInsufficientBuffer;
      }
      std::copy(blob.begin(), blob.end(), buffer);
      read = static_cast<uint32_t>(blob.size());
      return 0;
    }

   private:
    FakeEventLogReader& m_fake;
    std::string m_key;
  };

  void Pass(Gate at) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_gate != at) return;
    m_gate = Gate::None;
    m_held = true;
    m_changed.notify_all();
    m_changed.wait_for(lock, std::chrono::seconds(10), [this] { return m_released; });
  }

  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::map<std::string, Log> m_logs;
  Gate m_gate = Gate::None;
  bool m_held = false;
  bool m_released = false;
  int m_open = 0;
};
