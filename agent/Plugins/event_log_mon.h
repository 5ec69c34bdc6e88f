// CEventLogMon: new records of event logs, here or on another machine. A test
// remembers the record number its next check reads from, so each record of the
// asked types reaches the gateway once, in batches of ten; records already in
// the log when the test was set up are never reported. Every due test is
// checked on a thread of the shared check runner, on a copy of the test.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "agent/LogFormat.h"
#include "agent/Plugins/CheckRunner.h"
#include "agent/Plugins/MonTestTable.h"
#include "agent/TextFields.h"
#include "corelib/ExceptionRecord.h"
#include "platform/event_log_reader.h"
#include "platform/event_log_record.h"

struct CEventLogTest : CMonTest {
  std::string logName;
  std::string server;     // "\\host", empty for this machine
  std::string hostField;  // as written, for the log
  std::string typesField;
  std::vector<uint16_t> eventTypes;
  bool indexesSet = false;
  uint32_t nextIndex = 0;    // the record number the next check reads from
  int64_t creationTime = 0;  // seconds since 1970 UTC
  // Set at add and modify: a check stores its read position only into the
  // record it was copied from, never into one that replaced it.
  uint64_t identity = 0;
};

namespace event_log_check {

constexpr size_t kEventsPerBatch = 10;
constexpr size_t kTextLimit = 127;  // characters of a message or data text
// A record's read asks for the buffer it needs; a need above this is refused.
constexpr uint32_t kMaxRecordBytes = 1u << 20;
constexpr int kReadRetries = 3;
// Bounds of a test line's fields.
constexpr size_t kMaxNameLength = 255;
constexpr size_t kMaxEventTypes = 64;

inline bool IsLocalHost(const std::string& host) {
  if (host.empty() || host == "127.0.0.1") return true;
  static const char kLocal[] = "localhost";
  if (host.size() != sizeof kLocal - 1) return false;
  for (size_t i = 0; i < host.size(); ++i)
    if ((host[i] | 0x20) != kLocal[i]) return false;
  return true;
}

// Comma-separated decimals, each kept as 16 bits (65537 is 1).
inline std::vector<uint16_t> ReadEventTypes(const std::string& field) {
  std::vector<uint16_t> types;
  for (const std::string& part : SplitText(field, ','))
    types.push_back(static_cast<uint16_t>(ReadNumber(part)));
  return types;
}

// One event of a batch, a nested record without the standard prefix.
inline CMonResult2 EventResult(const EventLogRecord& rec, const std::string& message,
                               const std::string& domain, const std::string& account, uint32_t sidUse) {
  const std::string sid = event_log_record::SidText(rec.sid);
  const std::string data = event_log_record::DataText(rec.data, kTextLimit);
  CMonResult2 r;
  r.create(0, 3, 2, 0, 0, 7);
  // An empty text is stored as "N/A", so every declared string is present.
  r.add(domain.c_str());
  r.add(rec.computerName.c_str());
  r.add(rec.sourceName.c_str());
  r.add(account.c_str());
  r.add(sid.c_str());
  r.add(event_log_record::CutCharacters(message, kTextLimit).c_str());
  r.add(data.c_str());
  r.add(event_log_record::MappedType(rec.eventType));
  r.add(sidUse);
  r.add(static_cast<uint32_t>(rec.eventID & 0xFFFF));
  r.add(static_cast<int64_t>(rec.timeGenerated));
  r.add(static_cast<int64_t>(rec.timeWritten));
  return r;
}

}  // namespace event_log_check

template <class Owner>
class CEventLogMon : public CMonTestTable<Owner, CEventLogTest> {
  using Base = CMonTestTable<Owner, CEventLogTest>;

 public:
  static constexpr uint32_t kResultType = 50;
  static constexpr uint32_t kStatusOk = 0;
  static constexpr uint32_t kStatusError = 2;
  // How long a stop waits for the checks; one still reading then lingers.
  static constexpr std::chrono::milliseconds kChecksStopWait{5000};

  explicit CEventLogMon(IEventLogReader& reader) : Base("mon_evt: ", "LE"), m_reader(reader) {
    this->m_unitName = "Plugins/event_log_mon";
  }
  ~CEventLogMon() override { this->Shutdown(); }

  bool Start() override {
    const bool started = Base::Start();
    if (started) m_runner.Start();
    return started;
  }
  // The checks are stopped after the table, outside the table lock they need.
  void FinishStop(typename Base::Clock::time_point deadline) override {
    Base::FinishStop(deadline);
    m_runner.Stop();
  }
  // Whether a check of the test still runs (for tests and diagnostics).
  bool CheckRuns(int32_t testID) const { return m_runner.IsRunning(testID); }
  size_t RunningChecks() const { return m_runner.RunningCount(); }

 protected:
  bool ParseTest(const std::vector<std::string>& f, CEventLogTest& t) override {
    if (f.size() != 6) return false;
    t.hostField = f[3];
    t.logName = f[4];
    t.typesField = f[5];
    if (t.hostField.size() > event_log_check::kMaxNameLength ||
        t.logName.size() > event_log_check::kMaxNameLength)
      return false;
    t.eventTypes = event_log_check::ReadEventTypes(t.typesField);
    if (t.eventTypes.size() > event_log_check::kMaxEventTypes) return false;
    if (!event_log_check::IsLocalHost(t.hostField)) t.server = "\\\\" + t.hostField;
    return true;
  }

  std::string DescribeTest(const CEventLogTest& t) override {
    return Format("addmodify test... testID:%d, locationID:%d, host:%s, log_name:%s, supp_types:%s", t.testID,
                  t.lid, t.hostField.empty() ? "N/A" : t.hostField.c_str(), t.logName.c_str(),
                  t.typesField.empty() ? "N/A" : t.typesField.c_str());
  }

  // Takes the read position before the table lock: for another machine the
  // open is a remote call that may take long.
  bool PrepareTest(CEventLogTest& t, std::vector<std::string>& lines) override {
    if (t.logName.empty()) return false;
    t.identity = ++m_identities;
    t.creationTime = this->Now();
    uint32_t error = 0;
    std::unique_ptr<IEventLog> log = m_reader.Open(t.server, t.logName, error);
    if (!log) {
      lines.push_back(Format("error openning event log: %s", ErrorText(error).c_str()));
      return true;
    }
    uint32_t count = 0, oldest = 0;
    if (log->Count(count, error) && log->Oldest(oldest, error)) {
      t.nextIndex = oldest + count;
      t.indexesSet = true;
    }
    return true;
  }
  bool ModifyReplaces() const override { return true; }

  bool CheckTest(CEventLogTest& t) override {
    // Two checks of one test would read from the same position and report
    // its records twice: the test waits for its next turn.
    if (m_runner.IsRunning(t.testID)) {
      this->Log(Format("previous check of testID:%d still running.", t.testID));
      return true;
    }
    return m_runner.StartCheck(t.testID,
                               [this, copy = t](CCheckToken& token) { MakeSingleCheck(copy, token); });
  }

  void ShutdownChecks() override { m_runner.Shutdown(); }

 private:
  // The batch a check fills, posted at ten events and at every end.
  struct Batch {
    CMonResult2 record;
    size_t events = 0;
    uint32_t number = 0;  // within this check
  };

  std::string ErrorText(uint32_t error) {
    std::string text = m_reader.ErrorText(error);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text.empty() ? Format("System error %u", error) : text;
  }

  void MakeSingleCheck(const CEventLogTest& copy, CCheckToken& token) {
    try {
      Batch batch;
      RunCheck(copy, token, batch);
    } catch (...) {
      LOG_EXCEPTION_RECORD(this->m_unitName);
    }
  }

  // A stop ends the check before its next record, and nothing of it reaches
  // the gateway or the log once the run generation has ended.
  bool Stopping(CCheckToken& token) const { return token.StopRequested() || this->StopRequested(); }
  void Say(CCheckToken& token, const std::string& line) {
    token.Post([&] { this->Log(line); });
  }

  void RunCheck(const CEventLogTest& copy, CCheckToken& token, Batch& batch) {
    Say(token, Format("checking testID:%d, locationID:%d", copy.testID, copy.lid));
    uint32_t error = 0;
    std::unique_ptr<IEventLog> log = m_reader.Open(copy.server, copy.logName, error);
    uint32_t count = 0, oldest = 0;
    if (!log) {
      const std::string text = ErrorText(error);
      Say(token, Format("error openning event log: %s", text.c_str()));
      Say(token, Format("error getting data from event log: %s", text.c_str()));
      PostError(copy, token, text);
      return;
    }
    if (!log->Count(count, error) || !log->Oldest(oldest, error)) {
      const std::string text = ErrorText(error);
      Say(token, Format("error getting data from event log: %s", text.c_str()));
      PostError(copy, token, text);
      return;
    }
    const uint32_t end = oldest + count;
    if (!copy.indexesSet) {
      StoreIndex(copy, end);
      Say(token, "setting indexes for first time...");
      return;
    }
    uint32_t first = copy.nextIndex;
    bool skipOlder = false;
    if (first > end) {
      Say(token, "stored index is greater than newest event. Using times...");
      first = oldest;
      skipOlder = true;
    } else if (first == end) {
      Say(token, "no new events");
      return;
    } else if (first < oldest) {
      // A circular log overwrote records since the last check.
      Say(token, "stored index is lower than oldest event. Reading from oldest...");
      first = oldest;
    }
    // Stored before reading, so that an interrupted read does not repeat events.
    StoreIndex(copy, end);

    std::vector<uint8_t> buffer;
    for (uint32_t index = first; index != end; ++index) {
      if (Stopping(token)) return;
      EventLogRecord rec;
      if (!ReadRecord(*log, index, buffer, rec, error)) {
        const std::string text = ErrorText(error);
        Say(token, Format("error getting event with index %u, error:%s", index, text.c_str()));
        PostBatch(copy, token, batch);
        PostError(copy, token, text);
        return;
      }
      Say(token, Format("getting event with index: %u", index));
      if (!HasType(copy, rec.eventType)) {
        Say(token, Format("event with index %u has no compatible type.", index));
        continue;
      }
      if (skipOlder && static_cast<int64_t>(rec.timeGenerated) < copy.creationTime) {
        Say(token, Format("event with index %u was generated in the past.", index));
        continue;
      }
      AddEvent(copy, token, batch, rec);
      if (batch.events == event_log_check::kEventsPerBatch) PostBatch(copy, token, batch);
    }
    if (!Stopping(token)) PostBatch(copy, token, batch);
  }

  // Reads one record by number, growing the buffer to what the read asks for
  // a bounded number of times.
  bool ReadRecord(IEventLog& log, uint32_t index, std::vector<uint8_t>& buffer, EventLogRecord& rec,
                  uint32_t& error) {
    for (int attempt = 0;; ++attempt) {
      uint32_t read = 0, needed = 0;
      error = log.Read(index, buffer.data(), static_cast<uint32_t>(buffer.size()), read, needed);
      if (error == 0) {
        if (read > buffer.size() || !event_log_record::Parse(buffer.data(), read, rec)) {
          error = kEventLogInvalidData;
          return false;
        }
        return true;
      }
      if (error != kEventLogInsufficientBuffer || attempt == event_log_check::kReadRetries ||
          needed > event_log_check::kMaxRecordBytes || needed <= buffer.size())
        return false;
      buffer.resize(needed);
    }
  }

  static bool HasType(const CEventLogTest& t, uint16_t type) {
    for (uint16_t wanted : t.eventTypes)
      if (wanted == type) return true;
    return false;
  }

  void AddEvent(const CEventLogTest& copy, CCheckToken& token, Batch& batch, const EventLogRecord& rec) {
    std::string message;
    for (size_t i = 0; i < rec.strings.size(); ++i) {
      if (i) message += ' ';
      message += rec.strings[i];
    }
    std::string formatted;
    if (m_reader.MessageText(copy.logName, rec.sourceName, rec.eventID, rec.strings, formatted))
      message = formatted;
    std::string name, domain;
    uint32_t use = 0;
    if (rec.sid.empty() || !m_reader.LookupAccount(rec.sid, name, domain, use)) {
      name = "N/A";
      domain = "N/A";
      use = 0;
    }
    const std::string sid = rec.sid.empty() ? "N/A" : event_log_record::SidText(rec.sid);
    Say(token, Format("Source Name: %s", rec.sourceName.c_str()));
    Say(token, Format("Computer Name: %s", rec.computerName.c_str()));
    Say(token, Format("SID Name: %s", sid.c_str()));
    Say(token, Format("User Name: %s", name.c_str()));
    Say(token, Format("Domain Name: %s", domain.c_str()));
    Say(token, Format("Strings size: %u", rec.stringsBytes));
    Say(token, Format("Strings count: %u", static_cast<unsigned>(rec.strings.size())));
    Say(token, Format("Data size: %u", static_cast<unsigned>(rec.data.size())));
    if (batch.events == 0) {
      batch.record.create(0, 4, 1, 0, 0, 1);
      batch.record.init(kResultType, static_cast<uint32_t>(copy.testID), batch.number);
      batch.record.add("There are new records in the Event log.");
      batch.record.add(kStatusOk);
    }
    batch.record.add(event_log_check::EventResult(rec, message, domain, name, use));
    ++batch.events;
  }

  // Posts the open batch, if any; the next batch gets the next number.
  void PostBatch(const CEventLogTest&, CCheckToken& token, Batch& batch) {
    if (batch.events == 0) return;
    token.Post([&] { this->PostResult(&batch.record); });
    batch.record = CMonResult2();
    batch.events = 0;
    ++batch.number;
  }

  void PostError(const CEventLogTest& copy, CCheckToken& token, const std::string& text) {
    CMonResult2 r;
    r.create(0, 4, 1, 0, 0, 1);
    r.init(kResultType, static_cast<uint32_t>(copy.testID), static_cast<uint32_t>(copy.lid));
    r.add(kStatusError);
    r.add(text.c_str());
    token.Post([&] { this->PostResult(&r); });
  }

  // Into the record the check was copied from only: one that a modify or a
  // delete and re-add put in its place keeps its own position.
  void StoreIndex(const CEventLogTest& copy, uint32_t next) {
    std::lock_guard<std::timed_mutex> lock(this->m_tableLock);
    auto found = this->m_index.find(copy.testID);
    if (found == this->m_index.end()) return;
    CEventLogTest& t = **found->second;
    if (t.identity != copy.identity) return;
    t.nextIndex = next;
    t.indexesSet = true;
  }

  IEventLogReader& m_reader;
  std::atomic<uint64_t> m_identities{0};
  CCheckRunner m_runner{64, kChecksStopWait};  // last: its checks use the members above
};
