// The event log reader against the system for what it really does here: the
// message file of a source registered under the EventLog key (a message-table
// DLL built with the tests, found through an environment variable), account
// lookup of a well-known SID, a remote open that fails, the local log; and the
// monitor over the real reader.
#include "platform/win32/event_log_reader_win32.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "agent/Plugins/event_log_mon.h"
#include "platform/win32/wide.h"
#include "tests/unit/fakes/event_log_blob.h"
#include "tests/unit/fakes/recording_owner.h"

namespace {

const wchar_t kLogKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\HalvrenTestLog";
const wchar_t kSourceKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\HalvrenTestLog\\HalvrenTestSource";

std::wstring ProgramFolder() {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, n);
  return folder.substr(0, folder.find_last_of(L"\\/"));
}

// Registers the test source's message file as a path with a variable in it.
class MessageSource : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SetEnvironmentVariableW(L"HALVREN_EVT_DIR", ProgramFolder().c_str()));
    HKEY key = nullptr;
    ASSERT_EQ(
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSourceKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    const std::wstring value = L"%HALVREN_EVT_DIR%\\event_messages.dll";
    RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
  }
  void TearDown() override {
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kSourceKey);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kLogKey);
  }
  EventLogReaderWin32 reader;
};

TEST_F(MessageSource, FormatsFromTheRegisteredMessageFile) {
  std::string text;
  // More inserts used (up to %99) than the record carries: the missing ones are empty.
  ASSERT_TRUE(reader.MessageText("HalvrenTestLog", "HalvrenTestSource", 100, {"C:", "HOST1"}, text));
  EXPECT_EQ(text, "Disk C: on HOST1 has  free of  ().\r\n");

  ASSERT_TRUE(reader.MessageText("HalvrenTestLog", "HalvrenTestSource", 101, {"Spooler"}, text));
  EXPECT_GT(text.size(), 127u);
  EventBlob b;
  b.source = "HalvrenTestSource";
  b.strings = {"Spooler"};
  std::vector<uint8_t> blob = b.Build();
  EventLogRecord rec;
  ASSERT_TRUE(event_log_record::Parse(blob.data(), blob.size(), rec));
  CMonResult2 r = event_log_check::EventResult(rec, text, "N/A", "N/A", 0);
  const auto* p = static_cast<const uint8_t*>(r.get_pointer());
  UdcView v = ViewRecord(std::vector<uint8_t>(p, p + r.get_size()));
  ASSERT_EQ(v.str.size(), 7u);
  EXPECT_EQ(v.str[5], text.substr(0, 127));

  // No message file for the source, no such message, a name that would lead elsewhere.
  EXPECT_FALSE(reader.MessageText("HalvrenTestLog", "OtherSource", 100, {}, text));
  EXPECT_FALSE(reader.MessageText("HalvrenTestLog", "HalvrenTestSource", 555, {}, text));
  EXPECT_FALSE(reader.MessageText("HalvrenTestLog", "..\\HalvrenTestSource", 100, {}, text));
}

TEST(EventLogReaderWin32, WellKnownAccountAndRemoteOpen) {
  EventLogReaderWin32 reader;
  std::string name, domain;
  uint32_t use = 0;
  ASSERT_TRUE(reader.LookupAccount(EventBlob::Sid({0, 0, 0, 0, 0, 5}, {18}), name, domain, use));
  EXPECT_EQ(name, "SYSTEM");
  EXPECT_NE(use, 0u);
  EXPECT_FALSE(reader.LookupAccount({1, 9, 0}, name, domain, use));  // no well-formed SID

  uint32_t error = 0;
  EXPECT_EQ(reader.Open("\\\\halvren-no-such-host", "Application", error), nullptr);
  EXPECT_NE(error, 0u);
  EXPECT_FALSE(reader.ErrorText(error).empty());
}

// The monitor over the real reader, its check thread not ticking: the test
// runs the passes.
class EventMon : public CEventLogMon<RecordingOwner> {
 public:
  explicit EventMon(IEventLogReader& reader) : CEventLogMon(reader) { m_firstTick = std::chrono::hours(1); }
};

TEST(EventLogMonWin32, RemoteFailureAndLocalApplicationLog) {
  EventLogReaderWin32 reader;
  RecordingOwner owner;
  EventMon mon(reader);
  mon.SetOwner(&owner);
  ASSERT_TRUE(mon.ProcessTest("LEA\t5\t9\thalvren-no-such-host\tApplication\t1,2"));
  ASSERT_TRUE(mon.ProcessTest("LEA\t6\t9\tlocalhost\tApplication\t1,2"));
  uint32_t error = 0;
  reader.Open("\\\\halvren-no-such-host", "Application", error);
  const std::string text = reader.ErrorText(error);
  EXPECT_TRUE(owner.Logged("mon_evt: error openning event log: " + text));
  for (int pass = 0; pass < 2; ++pass) {
    owner.Clear();
    mon.ResetSchedule();
    mon.MakeCheck();
    for (int i = 0; i < 3000 && mon.RunningChecks() > 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(mon.RunningChecks(), 0u);
    std::vector<UdcView> records = owner.Decoded();
    ASSERT_EQ(records.size(), 1u);  // the local log reports nothing
    EXPECT_EQ(records[0].ui32, (std::vector<uint32_t>{50, 5, 9, 2}));
    EXPECT_EQ(records[0].str, std::vector<std::string>{text});
    EXPECT_TRUE(owner.Logged("mon_evt: no new events"));
  }
}

}  // namespace
