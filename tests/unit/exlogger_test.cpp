// The exception log over the machine's store (the registry under Wine) and real
// files: loggers of their own in temporary folders, and the process's instance
// in the machine's log folder for the record macro.
#include "corelib/ExLogger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "corelib/ExceptionRecord.h"
#include "platform/daily_logs.h"
#include "platform/files.h"
#include "platform/local_time.h"
#include "platform/log_folder.h"
#include "tests/unit/test_support.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

using namespace std::chrono_literals;

class ExLoggerTest : public testing::Test {
 protected:
  std::string today_file() const {
    return folder.file(platform::daily_log_name("monexception_", platform::local_now()));
  }

  test::MachineStoreScope machine;
  test::TempFolder folder;
  ExLogger logger{machine.store(), [this] { return folder.path(); }};
};

TEST_F(ExLoggerTest, StreamsEveryKindOfValueIntoOneLine) {
  machine.set_trace(10);
  logger << 'c' << int16_t(-32768) << ' ' << uint16_t(65535) << ' ' << int32_t(-7) << ' '
         << uint32_t(4000000000u) << ' ' << -9L << ' ' << 1.5f << ' ' << 0.25 << ' ' << std::string("text")
         << ' ' << "zero-terminated" << static_cast<const char*>(nullptr) << ExLoggerEndLine();
  std::string expected = " Thread ID:" + std::to_string(platform::current_thread_id()) +
                         " :c-32768 65535 -7 4000000000 -9 1.5 0.25 text zero-terminated\n";
  std::string written = test::read_file(today_file());
  ASSERT_GT(written.size(), 8u);
  EXPECT_TRUE(std::regex_match(written.substr(0, 8), std::regex(R"(\d\d:\d\d:\d\d)"))) << written;
  EXPECT_EQ(written.substr(8), expected);
}

TEST_F(ExLoggerTest, TraceZeroCreatesNoFileAndDropsTheLine) {
  logger << "no Settings key" << ExLoggerEndLine();
  machine.set_trace(0);
  logger << "stale " << 1 << ExLoggerEndLine();
  EXPECT_EQ(test::file_count(folder.path()), 0u);

  machine.set_trace(10);
  logger << "fresh" << ExLoggerEndLine();
  std::string written = test::read_file(today_file());
  EXPECT_NE(written.find(":fresh\n"), std::string::npos) << written;
  EXPECT_EQ(written.find("stale"), std::string::npos) << written;
}

TEST_F(ExLoggerTest, TwoThreadsStreamingAtOnceWriteWholeLines) {
  machine.set_trace(10);
  constexpr int kRecords = 300;
  std::atomic<bool> go{false};
  auto writer = [&](char tag) {
    while (!go) std::this_thread::yield();
    for (int i = 0; i < kRecords; ++i) {
      // Many small pieces, so the other thread has every chance to cut in.
      logger << "\n\tException in: " << tag << ", Line: " << i;
      for (int piece = 0; piece < 10; ++piece) logger << ' ' << tag << piece;
      logger << ExLoggerEndLine();
    }
  };
  std::thread a(writer, 'A'), b(writer, 'B');
  go = true;
  a.join();
  b.join();

  std::string written = test::read_file(today_file());
  std::regex record(
      R"((\d\d:\d\d:\d\d) Thread ID:(\d+) :\n\tException in: ([AB]), Line: (\d+)((?: [AB]\d)*)\n)");
  int next[2] = {0, 0};
  size_t consumed = 0;
  for (std::sregex_iterator it(written.begin(), written.end(), record), end; it != end; ++it) {
    const std::smatch& m = *it;
    ASSERT_EQ(static_cast<size_t>(m.position(0)), consumed) << "stray text at " << consumed;
    consumed += m.length(0);
    char tag = m[3].str()[0];
    std::string pieces;
    for (int piece = 0; piece < 10; ++piece) pieces += std::string(" ") + tag + std::to_string(piece);
    EXPECT_EQ(m[5], pieces);
    EXPECT_EQ(std::stoi(m[4]), next[tag - 'A']++);
  }
  EXPECT_EQ(consumed, written.size());
  EXPECT_EQ(next[0], kRecords);
  EXPECT_EQ(next[1], kRecords);
}

TEST_F(ExLoggerTest, CopyLogFilesCopiesTheDaysThatExist) {
  test::TempFolder destination;
  platform::LocalTime today = platform::local_now();
  for (int back : {0, 2, 5}) {
    std::string name = platform::daily_log_name("monexception_", platform::add_days(today, -back));
    platform::append_to_file(folder.file(name), name.data(), name.size());
  }
  EXPECT_EQ(logger.CopyLogFiles(destination.path().c_str(), 3), 2);
  EXPECT_EQ(test::file_count(destination.path()), 2u);
  EXPECT_EQ(logger.CopyLogFiles(destination.path().c_str(), 0), 0);
  EXPECT_EQ(logger.CopyLogFiles(destination.path().c_str(), 6), 3);
}

#ifdef _WIN32
// The filter as a fault would call it, while another thread holds the logger's
// mutex: that thread is inside its own line end, waiting for the folder (a slow
// disk, or the faulting thread itself holding the lock). The filter must write
// its line to the file opened in advance and return, not wait.
TEST_F(ExLoggerTest, FaultFilterReturnsWhileTheLogsLockIsHeld) {
  machine.set_trace(10);
  std::mutex gate;
  std::condition_variable changed;
  bool hold = false, inside = false, release = false;
  ExLogger own(machine.store(), [&] {
    std::unique_lock<std::mutex> lock(gate);
    if (hold) {
      inside = true;
      changed.notify_all();
      changed.wait_for(lock, 30s, [&] { return release; });
    }
    return folder.path();
  });
  own.prepareFaultLog();
  {
    std::lock_guard<std::mutex> lock(gate);
    hold = true;
  }
  std::thread holder([&] { own << "record of the holder" << ExLoggerEndLine(); });
  {
    std::unique_lock<std::mutex> lock(gate);
    ASSERT_TRUE(changed.wait_for(lock, 3s, [&] { return inside; }));
  }

  EXCEPTION_RECORD record = {};
  record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
  record.ExceptionAddress = reinterpret_cast<void*>(0x12345678);
  record.NumberParameters = 2;
  record.ExceptionInformation[0] = 1;
  record.ExceptionInformation[1] = 0x10;
  EXCEPTION_POINTERS pointers = {&record, nullptr};
  std::atomic<int> result{-1};
  std::thread faulting([&] { result = filterFunc(EXCEPTION_ACCESS_VIOLATION, &pointers); });
  bool returned = test::wait_until([&] { return result != -1; }, 1000ms);
  {
    std::lock_guard<std::mutex> lock(gate);
    release = true;
  }
  changed.notify_all();
  faulting.join();
  holder.join();

  EXPECT_TRUE(returned) << "the filter waited for the lock";
  EXPECT_EQ(result, 1);
  std::string written = test::read_file(today_file());
  EXPECT_TRUE(std::regex_search(
      written, std::regex(R"((^|\n)\d\d:\d\d:\d\d Thread ID:\d+ :\n\tMachine fault 0xC0000005 at address )"
                          R"(0x0000000012345678, writing 0x10\n)")))
      << written;
  EXPECT_NE(written.find(":record of the holder\n"), std::string::npos) << written;
}
#endif

int g_recordLine = 0;

void failing_operation(int argument) {
  try {
    throw std::runtime_error("boom " + std::to_string(argument));
  } catch (...) {
    g_recordLine = __LINE__ + 1;
    LOG_EXCEPTION_RECORD("ExLoggerTestUnit");
  }
}

// The macro of every catch-all, into the process's logger and the machine's
// log folder (C:\ProgramData\Halvren\logs under Wine).
TEST(ExceptionRecord, NamesUnitLineFunctionAndCompileTime) {
  test::MachineStoreScope machine;
  machine.set_trace(10);
  const std::string marker =
      "marker " + std::to_string(std::chrono::system_clock::now().time_since_epoch().count());
  ExLogger::instance() << marker;
  failing_operation(3);
  ExLogger::destroy();

  std::string file =
      platform::log_folder_path() + platform::daily_log_name("monexception_", platform::local_now());
  std::string written = test::read_file(file);
  std::smatch m;
  std::regex record(
      R"(\d\d:\d\d:\d\d Thread ID:(\d+) :)" + marker +
      R"(\n\tException in: ExLoggerTestUnit, Line: (\d+), Function:(.*)\n\tSource file last compiled at (\d\d:\d\d:\d\d) on date: ([A-Z][a-z]{2} [ 0-9]\d \d{4})\n)");
  ASSERT_TRUE(std::regex_search(written, m, record)) << file << ":\n" << written;
  EXPECT_EQ(m[1], std::to_string(platform::current_thread_id()));
  EXPECT_EQ(std::stoi(m[2]), g_recordLine);
  EXPECT_NE(m[3].str().find("failing_operation(int)"), std::string::npos) << m[3];
  EXPECT_EQ(m[4], __TIME__);
  EXPECT_EQ(m[5], __DATE__);
}

}  // namespace
