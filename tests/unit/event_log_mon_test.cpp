// The event log monitor against the fake reader (reading, batches, filters,
// clear, wrap, buffer growth, overlap, modify race, stop), and the record
// parser against blobs built from the record layout.
#include "agent/Plugins/event_log_mon.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/unit/fakes/event_log_blob.h"
#include "tests/unit/fakes/fake_event_log.h"
#include "tests/unit/fakes/recording_owner.h"

namespace {

constexpr int64_t kStart = 1700000000;  // seconds
using Gate = FakeEventLogReader::Gate;

// The real monitor, whose check thread never ticks during a test: the tests
// run the passes themselves, and each check runs on the monitor's runner.
class EventMon : public CEventLogMon<RecordingOwner> {
 public:
  explicit EventMon(IEventLogReader& reader) : CEventLogMon(reader) { m_firstTick = std::chrono::hours(1); }
};

EventBlob Event(uint16_t type, uint32_t id, uint32_t generated = kStart + 100) {
  EventBlob b;
  b.eventType = type;
  b.eventID = id;
  b.timeGenerated = generated;
  b.timeWritten = generated + 1;
  return b;
}

class EventLogMonTest : public ::testing::Test {
 protected:
  EventLogMonTest() {
    mon.SetOwner(&owner);
    mon.SetClock([this] { return now.load(); });
  }

  bool Line(const std::string& text) { return mon.ProcessTest(text.c_str()); }
  void Add(int id = 7, const std::string& types = "1,2,4", const std::string& host = "",
           const std::string& log = "Application") {
    ASSERT_TRUE(Line("LEA\t" + std::to_string(id) + "\t3\t" + host + "\t" + log + "\t" + types));
  }

  // One pass with every test due; waits for its checks to end.
  std::vector<UdcView> Pass() {
    now += 10;
    owner.Clear();
    mon.ResetSchedule();
    mon.MakeCheck();
    EXPECT_TRUE(WaitIdle());
    return owner.Decoded();
  }
  bool WaitIdle() {
    for (int i = 0; i < 500; ++i) {
      if (mon.RunningChecks() == 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  uint32_t StoredIndex() { return mon.Tests().at(0).nextIndex; }

  FakeEventLogReader reader;
  RecordingOwner owner;
  EventMon mon{reader};
  std::atomic<int64_t> now{kStart};
};

// Event ids of a batch, in order.
std::vector<uint32_t> Ids(const UdcView& batch) {
  std::vector<uint32_t> ids;
  for (const UdcView& e : batch.subs) ids.push_back(e.ui32.at(2));
  return ids;
}

void ExpectError(const UdcView& r, int testID, const std::string& text) {
  EXPECT_EQ(r.ui32, (std::vector<uint32_t>{50, static_cast<uint32_t>(testID), 3, 2}));
  EXPECT_EQ(r.str, std::vector<std::string>{text});
  EXPECT_TRUE(r.subs.empty());
}

TEST_F(EventLogMonTest, LinesLocalHostsTypesAndRejections) {
  reader.At("", "Application");
  reader.At("\\\\remote", "System");
  struct Case {
    const char* host;
    const char* server;
  } hosts[] = {{"", ""}, {"127.0.0.1", ""}, {"LOCALHOST", ""}, {"localHost", ""}, {"remote", "\\\\remote"}};
  int id = 1;
  for (const Case& c : hosts) {
    SCOPED_TRACE(c.host);
    ASSERT_TRUE(
        Line(std::string("LEA\t") + std::to_string(id++) + "\t3\t" + c.host + "\tApplication\t65537,2"));
    CEventLogTest t = mon.Tests().back();
    EXPECT_EQ(t.server, c.server);
    EXPECT_EQ(t.eventTypes, (std::vector<uint16_t>{1, 2}));
  }
  EXPECT_TRUE(
      owner.Logged("mon_evt: addmodify test... testID:1, locationID:3, host:N/A, log_name:Application, "
                   "supp_types:65537,2"));

  owner.Clear();
  EXPECT_FALSE(Line("LEA\t9\t3\t\tApplication"));
  EXPECT_EQ(owner.Lines().back(), "mon_evt: Incorrect test format!");

  // An empty log name: the line is described, then refused without a word more.
  owner.Clear();
  EXPECT_FALSE(Line("LEM\t1\t3\thost\t\t1"));
  EXPECT_EQ(owner.Lines().back(),
            "mon_evt: addmodify test... testID:1, locationID:3, host:host, log_name:, supp_types:1");
  EXPECT_EQ(mon.Tests().front().server, "");

  // A log that cannot be opened: the failure between the two lines, the test kept.
  owner.Clear();
  ASSERT_TRUE(Line("LEM\t1\t3\t\tMissing\t1"));
  std::vector<std::string> lines = owner.Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[2], "mon_evt: error openning event log: The system cannot find the file specified.");
  EXPECT_EQ(lines[3], "mon_evt: test 1 modified.");
  // The modify moved the test to the end.
  EXPECT_EQ(mon.Tests().back().testID, 1);
  EXPECT_EQ(mon.TestCount(), 5u);
}

TEST_F(EventLogMonTest, FakeReaderNewTestReportsOnlyRecordsWrittenAfterIt) {
  reader.WriteMany("Application", 500, Event(4, 1));
  Add();
  EXPECT_EQ(StoredIndex(), 501u);
  EXPECT_TRUE(Pass().empty());
  EXPECT_TRUE(owner.Logged("mon_evt: no new events"));

  EventBlob e = Event(1, 0x40000065);
  e.strings = {"disk", "full"};
  e.sid = EventBlob::Sid({0, 0, 0, 0, 0, 5}, {18});
  reader.accounts["S-1-5-18"] = {"SYSTEM", "NT AUTHORITY", 5};
  reader.Write("Application", e);
  std::vector<UdcView> records = Pass();
  ASSERT_EQ(records.size(), 1u);
  const UdcView& batch = records[0];
  EXPECT_EQ(batch.ui32, (std::vector<uint32_t>{50, 7, 0, 0}));
  EXPECT_EQ(batch.str, std::vector<std::string>{"There are new records in the Event log."});
  ASSERT_EQ(batch.subs.size(), 1u);
  const UdcView& ev = batch.subs[0];
  EXPECT_EQ(ev.str, (std::vector<std::string>{"NT AUTHORITY", "HOST1", "TestSource", "SYSTEM", "S-1-5-18",
                                              "disk full", "N/A"}));
  EXPECT_EQ(ev.ui32, (std::vector<uint32_t>{2, 5, 0x65}));
  EXPECT_EQ(ev.i64, (std::vector<int64_t>{kStart + 100, kStart + 101}));
  EXPECT_TRUE(owner.Logged("mon_evt: Strings count: 2"));
  EXPECT_TRUE(owner.Logged("mon_evt: Domain Name: NT AUTHORITY"));
  EXPECT_EQ(StoredIndex(), 502u);
  EXPECT_EQ(reader.OpenLogs(), 0);
}

TEST_F(EventLogMonTest, FakeReaderBatchesOfTenAndTypeFilter) {
  reader.At("", "Application");
  Add(7, "1,2");
  for (uint32_t i = 0; i < 25; ++i) reader.Write("Application", Event(i % 2 ? 1 : 2, i));
  reader.Write("Application", Event(4, 99));  // information: not asked for
  std::vector<UdcView> records = Pass();
  ASSERT_EQ(records.size(), 3u);
  std::vector<uint32_t> all;
  for (uint32_t b = 0; b < 3; ++b) {
    EXPECT_EQ(records[b].ui32.at(2), b);
    for (uint32_t id : Ids(records[b])) all.push_back(id);
  }
  EXPECT_EQ(records[0].subs.size(), 10u);
  EXPECT_EQ(records[1].subs.size(), 10u);
  EXPECT_EQ(records[2].subs.size(), 5u);
  for (uint32_t i = 0; i < 25; ++i) EXPECT_EQ(all.at(i), i);
  EXPECT_TRUE(owner.Logged("mon_evt: event with index 26 has no compatible type."));
}

TEST_F(EventLogMonTest, FakeReaderClearWrapAndFirstCheckPosition) {
  // Cleared: numbering starts again, only records made after the test count.
  reader.WriteMany("Application", 50, Event(4, 1));
  Add();
  reader.Clear("Application");
  reader.Write("Application", Event(4, 10, kStart - 5));
  reader.Write("Application", Event(4, 11, kStart + 5));
  std::vector<UdcView> records = Pass();
  EXPECT_TRUE(owner.Logged("mon_evt: stored index is greater than newest event. Using times..."));
  EXPECT_TRUE(owner.Logged("mon_evt: event with index 1 was generated in the past."));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(Ids(records[0]), std::vector<uint32_t>{11});

  // Wrapped without a clear: the overwritten records are gone, the rest are read.
  for (uint32_t i = 20; i < 25; ++i) reader.Write("Application", Event(4, i, kStart - 100));
  reader.Overwrite("Application", 4);  // records 1 to 4 gone; 3 was the next to read
  records = Pass();
  EXPECT_TRUE(owner.Logged("mon_evt: stored index is lower than oldest event. Reading from oldest..."));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(Ids(records[0]), (std::vector<uint32_t>{22, 23, 24}));

  // A log unreadable at the add: the first check takes the position, the next reports.
  ASSERT_TRUE(Line("LEA\t8\t3\t\tLater\t4"));
  reader.WriteMany("Later", 3, Event(4, 1));
  EXPECT_TRUE(Pass().empty());
  EXPECT_TRUE(owner.Logged("mon_evt: setting indexes for first time..."));
  reader.Write("Later", Event(4, 42));
  records = Pass();
  EXPECT_FALSE(owner.Logged("mon_evt: setting indexes for first time..."));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(Ids(records[0]), std::vector<uint32_t>{42});
}

TEST_F(EventLogMonTest, FakeReaderBufferGrowthIsBounded) {
  struct Case {
    const char* name;
    std::deque<uint32_t> needs;
    bool read;
  } cases[] = {
      {"grown twice, then the record's own size", {16, 40}, true},
      {"more than three retries", {16, 40, 80, 120}, false},
      {"a need of 2 MiB", {2u << 20}, false},
  };
  reader.At("", "Application");
  Add();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    reader.Write("Application", Event(4, 5));
    uint32_t number = StoredIndex();
    reader.At("", "Application").needAnswers[number] = c.needs;
    std::vector<UdcView> records = Pass();
    ASSERT_EQ(records.size(), 1u);
    if (c.read) {
      EXPECT_EQ(Ids(records[0]), std::vector<uint32_t>{5});
    } else {
      ExpectError(records[0], 7, "The data area passed to a system call is too small.");
      EXPECT_TRUE(
          owner.Logged(Format("mon_evt: error getting event with index %u, error:The data area passed "
                              "to a system call is too small.",
                              number)));
    }
  }
}

TEST_F(EventLogMonTest, FakeReaderReadErrorPostsTheOpenBatchFirst) {
  reader.At("", "Application");
  Add();
  for (uint32_t i = 0; i < 5; ++i) reader.Write("Application", Event(4, i));
  reader.At("", "Application").readErrors[4] = 1722;
  std::vector<UdcView> records = Pass();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(Ids(records[0]), (std::vector<uint32_t>{0, 1, 2}));
  ExpectError(records[1], 7, "The RPC server is unavailable.");
  // The position moved on before the read: the rest is not read again.
  EXPECT_EQ(StoredIndex(), 6u);
  EXPECT_EQ(reader.OpenLogs(), 0);

  // An error without a system text, at the open and at the count.
  reader.At("", "Application").countError = 1234;
  records = Pass();
  ASSERT_EQ(records.size(), 1u);
  ExpectError(records[0], 7, "System error 1234");
  EXPECT_TRUE(owner.Logged("mon_evt: error getting data from event log: System error 1234"));
  EXPECT_FALSE(owner.Logged("mon_evt: error openning event log: System error 1234"));
  reader.At("", "Application").openError = 1722;
  records = Pass();
  ASSERT_EQ(records.size(), 1u);
  ExpectError(records[0], 7, "The RPC server is unavailable.");
  std::vector<std::string> lines = owner.Lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[1], "mon_evt: error openning event log: The RPC server is unavailable.");
  EXPECT_EQ(lines[2], "mon_evt: error getting data from event log: The RPC server is unavailable.");
}

TEST_F(EventLogMonTest, FakeReaderModifyDuringACheckKeepsTheNewPosition) {
  reader.At("", "Application");
  Add();
  reader.WriteMany("Application", 5, Event(4, 1));
  reader.Arm(Gate::Count);
  now += 10;
  mon.ResetSchedule();
  mon.MakeCheck();
  ASSERT_TRUE(reader.WaitHeld());
  // The modify takes the position 6 while the old check still holds 1.
  ASSERT_TRUE(Line("LEM\t7\t3\t\tApplication\t4"));
  EXPECT_EQ(StoredIndex(), 6u);
  reader.WriteMany("Application", 2, Event(4, 2));
  reader.Release();
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(StoredIndex(), 6u);
  std::vector<UdcView> records = Pass();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(Ids(records[0]), (std::vector<uint32_t>{2, 2}));
}

TEST_F(EventLogMonTest, FakeReaderCheckStillRunningIsSkipped) {
  reader.At("", "Application");
  Add();
  reader.WriteMany("Application", 3, Event(4, 1));
  reader.Arm(Gate::Read);
  now += 10;
  mon.ResetSchedule();
  mon.MakeCheck();
  ASSERT_TRUE(reader.WaitHeld());
  mon.ResetSchedule();
  mon.MakeCheck();
  EXPECT_TRUE(owner.Logged("mon_evt: previous check of testID:7 still running."));
  EXPECT_GT(mon.Tests()[0].nextCheckTime, now.load());  // moved on as usual
  reader.Release();
  ASSERT_TRUE(WaitIdle());
  ASSERT_EQ(owner.Decoded().size(), 1u);
  EXPECT_EQ(owner.Decoded()[0].subs.size(), 3u);
}

TEST_F(EventLogMonTest, FakeReaderStopWithACheckBlockedInTheReader) {
  reader.At("", "Application");
  Add();
  reader.WriteMany("Application", 3, Event(4, 1));
  reader.Arm(Gate::Read);
  now += 10;
  mon.ResetSchedule();
  mon.MakeCheck();
  ASSERT_TRUE(reader.WaitHeld());
  auto begin = std::chrono::steady_clock::now();
  mon.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(6000));
  EXPECT_TRUE(mon.CheckRuns(7));  // left to end on its own, never killed
  owner.Clear();
  reader.Release();
  Add();  // the restart joins the late check
  EXPECT_FALSE(mon.CheckRuns(7));
  EXPECT_TRUE(owner.Records().empty());
  for (const std::string& l : owner.Lines()) EXPECT_EQ(l.find("getting event"), std::string::npos) << l;
  reader.Write("Application", Event(4, 77));
  std::vector<UdcView> records = Pass();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(Ids(records[0]), std::vector<uint32_t>{77});
}

// The event record as the gateway reads it, from blobs of the record layout.
TEST(EventRecord, FromBlobs) {
  const std::string euro = "\xE2\x82\xAC";  // three bytes, one character
  std::string longText(126, 'm');
  longText += euro + std::string(173, 'x');
  std::vector<uint8_t> bytes64(64);
  for (size_t i = 0; i < 64; ++i) bytes64[i] = static_cast<uint8_t>(i * 5);
  struct Case {
    const char* name;
    std::vector<uint8_t> sid;
    std::vector<uint8_t> data;
    std::string message;
    std::string sidText, dataText, messageText;
  } cases[] = {
      {"no SID, no data", {}, {}, "short", "N/A", "N/A", "short"},
      {"hex authority",
       EventBlob::Sid({0, 1, 0, 0, 0, 5}, {21, 4294967295u}),
       {0},
       "m",
       "S-1-0x000100000005-21-4294967295",
       "00 ",
       "m"},
      {"decimal authority, one byte",
       EventBlob::Sid({0, 0, 0, 0, 1, 2}, {}),
       {0xab},
       "m",
       "S-1-258",
       "ab ",
       "m"},
      {"64 bytes of data cut at 127 characters",
       {},
       bytes64,
       longText,
       "N/A",
       "",
       longText.substr(0, 126 + 3)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EventBlob b = Event(16, 0x12345678);
    b.sid = c.sid;
    b.data = c.data;
    b.strings = {c.message};
    std::vector<uint8_t> blob = b.Build();
    EventLogRecord rec;
    std::string reason;
    ASSERT_TRUE(event_log_record::Parse(blob.data(), blob.size(), rec, &reason)) << reason;
    CMonResult2 r = event_log_check::EventResult(rec, c.message, "N/A", "N/A", 0);
    const auto* p = static_cast<const uint8_t*>(r.get_pointer());
    UdcView v = ViewRecord(std::vector<uint8_t>(p, p + r.get_size()));
    ASSERT_EQ(v.error, "");
    ASSERT_EQ(v.str.size(), 7u);
    EXPECT_EQ(v.str[4], c.sidText);
    if (c.data.size() == 64) {
      EXPECT_EQ(v.str[6].size(), 127u);
      EXPECT_EQ(v.str[6].substr(0, 6), "00 05 ");
    } else {
      EXPECT_EQ(v.str[6], c.dataText);
    }
    EXPECT_EQ(v.str[5], c.messageText);
    EXPECT_EQ(v.ui32, (std::vector<uint32_t>{6, 0, 0x5678}));
  }
  const struct {
    uint16_t type;
    uint32_t mapped;
  } types[] = {{0, 1}, {1, 2}, {2, 3}, {4, 4}, {8, 5}, {16, 6}, {3, 0}, {32, 0}};
  for (const auto& t : types) EXPECT_EQ(event_log_record::MappedType(t.type), t.mapped) << t.type;
}

TEST(EventRecord, MalformedBlobsAreRefused) {
  EventBlob b = Event(4, 1);
  b.sid = EventBlob::Sid({0, 0, 0, 0, 0, 5}, {18});
  b.strings = {"a", "b"};
  b.data = {1, 2, 3};
  const std::vector<uint8_t> good = b.Build();
  EventLogRecord rec;
  ASSERT_TRUE(event_log_record::Parse(good.data(), good.size(), rec));
  EXPECT_EQ(rec.strings, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(rec.stringsBytes, 8u);
  const uint32_t size = static_cast<uint32_t>(good.size());
  struct Case {
    const char* name;
    size_t at;  // where a 32-bit value is put; SIZE_MAX for none
    uint32_t value;
    size_t bytes;  // how many bytes the read gave
  } cases[] = {
      {"shorter than a head", SIZE_MAX, 0, 40},
      {"length beyond the bytes read", SIZE_MAX, 0, good.size() - 1},
      {"length below the head", 0, 20, good.size()},
      {"no signature", 4, 0x12345678, good.size()},
      {"SID beyond the record", 44, size - 4, good.size()},
      {"SID length beyond the record", 40, size, good.size()},
      {"sub-authorities beyond the SID length", 40, 8, good.size()},
      {"strings beyond the record", 36, size, good.size()},
      {"strings not ended inside the record", 36, size - 6, good.size()},
      {"data beyond the record", 48, 0xFFFFFFF0u, good.size()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> bad = good;
    if (c.at != SIZE_MAX) EventBlob::Put32(bad, c.at, c.value);
    EXPECT_FALSE(event_log_record::Parse(bad.data(), c.bytes, rec));
  }
  // A source name that runs to the end of the record.
  std::vector<uint8_t> unended(good.begin(), good.begin() + event_log_record::kHeaderSize);
  unended.resize(unended.size() + 10, 'x');
  EventBlob::Put32(unended, 0, static_cast<uint32_t>(unended.size()));
  EventBlob::Put32(unended, 4, event_log_record::kSignature);
  EXPECT_FALSE(event_log_record::Parse(unended.data(), unended.size(), rec));
}

}  // namespace
