// The agent's log writers over the machine's store (the registry under Wine)
// and real files. Folders are temporary except in the last test, which writes
// to the machine's log folder through the agent writer itself.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "agent/LogWriter.h"
#include "platform/config_values.h"
#include "platform/daily_logs.h"
#include "platform/files.h"
#include "platform/log_folder.h"
#include "platform/memory_config_store.h"
#include "tests/unit/test_support.h"

namespace {

using namespace std::chrono_literals;

const std::regex kLine(R"((\d\d):(\d\d):(\d\d) \((\d+)\): (.*))");

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  EXPECT_EQ(start, text.size()) << "the file ends in the middle of a line";
  return lines;
}

class LogWriterTest : public testing::Test {
 protected:
  std::string today_file(const CLogWriter& writer) const {
    return folder.file(writer.FileName(platform::local_now()));
  }

  test::MachineStoreScope machine;
  test::TempFolder folder;
  CLogWriter writer{"monintagent_", machine.store(), [this] { return folder.path(); }, "monupdate_"};
};

TEST_F(LogWriterTest, TraceZeroWritesNothingAndTraceTenShowsTheNextLineWithinHalfASecond) {
  writer.AppendLogLine("before the key exists");
  machine.set_trace(0);
  writer.AppendLogLine("while Trace is 0");
  std::this_thread::sleep_for(700ms);
  EXPECT_EQ(test::file_count(folder.path()), 0u);

  auto contains = [&](const std::string& text) {
    return test::read_file(today_file(writer)).find(text) != std::string::npos;
  };
  machine.set_trace(10);
  writer.AppendLogLine("mon_cpu: first line");
  ASSERT_TRUE(test::wait_until([&] { return contains("first line"); }, 3000ms));
  machine.set_trace(0);
  writer.AppendLogLine("mon_cpu: switched off");
  // The dump thread is past its first cycle now: the next line waits for the
  // next one, which is at most 500 ms away.
  machine.set_trace(10);
  auto start = std::chrono::steady_clock::now();
  writer.AppendLogLine("mon_cpu: switched on again");
  ASSERT_TRUE(test::wait_until([&] { return contains("on again"); }, 3000ms));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);

  std::vector<std::string> lines = lines_of(test::read_file(today_file(writer)));
  ASSERT_EQ(lines.size(), 2u);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[0], m, kLine)) << lines[0];
  EXPECT_LT(std::stoi(m[1]), 24);
  EXPECT_LT(std::stoi(m[2]), 60);
  EXPECT_EQ(m[4], std::to_string(platform::current_thread_id()));
  EXPECT_EQ(m[5], "mon_cpu: first line");
  ASSERT_TRUE(std::regex_match(lines[1], m, kLine)) << lines[1];
  EXPECT_EQ(m[5], "mon_cpu: switched on again");
}

TEST_F(LogWriterTest, EveryLineSeesTheCurrentTraceAndNoHandleStaysOpen) {
  platform::MemoryConfigStore store;
  CLogWriter own("moncustapi_", store, [this] { return folder.path(); });
  auto trace = [&store](uint32_t level) {
    std::unique_ptr<platform::ConfigKey> key;
    store.create_key(platform::kSettingsKeyPath, key);
    key->write("Trace", platform::kTypeDword, platform::encode_dword(level).data(), 4);
  };
  own.AppendLogLine("no key");
  const std::pair<uint32_t, const char*> steps[] = {
      {0, "off"}, {10, "on"}, {0, "off again"}, {7, "any level"}};
  for (auto [level, text] : steps) {
    trace(level);
    own.AppendLogLine(text);
  }
  {
    // Trace changed while the key can no longer be opened: read as 0.
    std::unique_ptr<platform::ConfigKey> key;
    store.open_key(platform::kSettingsKeyPath, platform::ConfigAccess::ReadWrite, key);
    store.fail_open(platform::kConfigAccessDenied);
    key->write("Trace", platform::kTypeDword, platform::encode_dword(10).data(), 4);
  }
  own.AppendLogLine("key cannot be opened");
  EXPECT_EQ(store.open_handles(), 0);
  own.Stop();

  std::vector<std::string> texts;
  for (const std::string& line :
       lines_of(test::read_file(folder.file(own.FileName(platform::local_now()))))) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, kLine)) << line;
    texts.push_back(m[5]);
  }
  EXPECT_EQ(texts, (std::vector<std::string>{"on", "any level"}));
}

TEST_F(LogWriterTest, LinesOfConcurrentThreadsKeepTheirOrderAndNeverMix) {
  machine.set_trace(10);
  constexpr int kThreads = 4, kLines = 3000;
  std::vector<std::thread> threads;
  std::atomic<bool> go{false};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      while (!go) std::this_thread::yield();
      std::string padding(t * 7, char('a' + t));
      for (int i = 0; i < kLines; ++i)
        writer.AppendLogLine("t" + std::to_string(t) + " " + std::to_string(i) + " " + padding);
    });
  }
  go = true;
  for (auto& thread : threads) thread.join();
  writer.Stop();  // writes what is pending before it returns

  std::map<int, int> next;               // thread -> next expected line number
  std::map<int, std::string> thread_id;  // thread -> identifier in its lines
  for (const std::string& line : lines_of(test::read_file(today_file(writer)))) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, kLine)) << line;
    std::istringstream text(m[5]);
    char tag;
    int t, i;
    std::string padding;
    ASSERT_TRUE(text >> tag >> t >> i) << line;
    std::getline(text >> std::ws, padding);
    ASSERT_EQ(next[t], i) << "thread " << t << " out of order";
    next[t] = i + 1;
    EXPECT_EQ(padding, std::string(t * 7, char('a' + t)));
    if (!thread_id.count(t)) thread_id[t] = m[4];
    EXPECT_EQ(thread_id[t], m[4]);
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kLines) << "lines of thread " << t << " lost";
}

TEST_F(LogWriterTest, TextWaitsInMemoryWhileTheFileCannotBeOpenedKeepingAtMostFourMiB) {
  machine.set_trace(10);
  test::TempFolder parent;
  const std::string missing = parent.file("not-yet");
  CLogWriter blocked("moncustmon_", machine.store(), [&] { return missing; });

  // One call puts all of it in the pending text before the dump thread's first
  // cycle; that write fails, the next cycle cuts what it holds to 4 MiB.
  std::string text;
  for (int i = 0; text.size() < 5 * 1024 * 1024; ++i)
    text += std::to_string(i) + std::string(90, 'x') + "\r\n";
  blocked.AppendLogLine(text);
  std::this_thread::sleep_for(800ms);
  blocked.AppendLogLine("after the cut");
  ASSERT_TRUE(platform::make_folder(missing));
  const std::string file = platform::join_path(missing, blocked.FileName(platform::local_now()));
  ASSERT_TRUE(test::wait_until([&] { return test::exists(file); }, 3000ms));
  blocked.Stop();

  std::string written = test::read_file(file);
  std::vector<std::string> lines = lines_of(written);
  ASSERT_GT(lines.size(), 2u);
  EXPECT_TRUE(std::regex_match(lines.front(), std::regex(R"(\d\d:\d\d:\d\d \(\d+\): 0x{90})")))
      << lines.front();
  EXPECT_TRUE(std::regex_match(lines.back(), std::regex(R"(\d\d:\d\d:\d\d \(\d+\): after the cut)")))
      << lines.back();
  EXPECT_LE(written.size() - lines.back().size() - 2, CLogWriter::kMaxHeldBytes);
  EXPECT_GT(written.size(), CLogWriter::kMaxHeldBytes - 200);
  // Every kept line is whole: the cut fell on a line end.
  for (size_t i = 1; i + 1 < lines.size(); ++i)
    ASSERT_EQ(lines[i].size(), std::to_string(i).size() + 90) << i;
}

// The dump thread stuck in a write (a folder source that does not return
// stands for a file system that does not answer): the callers' pending text
// stops at 4 MiB, cut at a line end, oldest lines kept; when the write returns,
// those lines follow in order and later lines get through again.
TEST_F(LogWriterTest, PendingTextStaysWithinFourMiBWhileAWriteDoesNotReturn) {
  machine.set_trace(10);
  std::mutex gate;
  std::condition_variable changed;
  bool inside = false, release = false;
  CLogWriter stuck("moncustmon_", machine.store(), [&] {
    std::unique_lock<std::mutex> lock(gate);
    inside = true;
    changed.notify_all();
    changed.wait_for(lock, 30s, [&] { return release; });
    return folder.path();
  });
  stuck.AppendLogLine("first");
  {
    std::unique_lock<std::mutex> lock(gate);
    ASSERT_TRUE(changed.wait_for(lock, 3s, [&] { return inside; }));
  }
  const std::string padding(100, 'x');
  constexpr int kLines = 60000;  // about 7 MiB
  for (int i = 0; i < kLines; ++i) stuck.AppendLogLine(std::to_string(i) + " " + padding);
  size_t pending = stuck.PendingBytes();
  EXPECT_LE(pending, CLogWriter::kMaxHeldBytes);
  EXPECT_GT(pending, CLogWriter::kMaxHeldBytes - 200);
  {
    std::lock_guard<std::mutex> lock(gate);
    release = true;
  }
  changed.notify_all();
  const std::string file = folder.file(stuck.FileName(platform::local_now()));
  ASSERT_TRUE(test::wait_until([&] { return stuck.PendingBytes() == 0; }, 3000ms));
  stuck.AppendLogLine("after the write returned");
  ASSERT_TRUE(test::wait_until(
      [&] { return test::read_file(file).find("after the write returned") != std::string::npos; }, 5000ms));
  stuck.Stop();

  std::vector<std::string> lines = lines_of(test::read_file(file));
  ASSERT_GT(lines.size(), 3u);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines.front(), m, kLine));
  EXPECT_EQ(m[5], "first");
  ASSERT_TRUE(std::regex_match(lines.back(), m, kLine));
  EXPECT_EQ(m[5], "after the write returned");
  size_t kept = lines.size() - 2;
  EXPECT_LT(kept, static_cast<size_t>(kLines));
  for (size_t i = 0; i < kept; ++i) {
    ASSERT_TRUE(std::regex_match(lines[i + 1], m, kLine)) << lines[i + 1];
    ASSERT_EQ(m[5], std::to_string(i) + " " + padding) << "line " << i;
  }
}

TEST_F(LogWriterTest, CopyLogFilesCopiesTheDaysThatExist) {
  test::TempFolder destination;
  platform::LocalTime today = platform::local_now();
  auto day = [&](int back) { return platform::add_days(today, -back); };
  // Agent logs of today and two days ago, not of yesterday; an update log of
  // yesterday; an agent log of three days ago, outside the window.
  const std::pair<const char*, int> present[] = {
      {"monintagent_", 0}, {"monintagent_", 2}, {"monupdate_", 1}, {"monintagent_", 3}};
  for (auto [prefix, back] : present) {
    std::string name = platform::daily_log_name(prefix, day(back));
    platform::append_to_file(folder.file(name), name.data(), name.size());
  }

  EXPECT_EQ(writer.CopyLogFiles(destination.path().c_str(), 3, /*upgrade_started=*/true), 2);
  EXPECT_EQ(test::file_count(destination.path()), 2u);
  std::string copied = writer.FileName(day(2));
  EXPECT_EQ(test::read_file(destination.file(copied)), copied);
  EXPECT_FALSE(test::exists(destination.file(platform::daily_log_name("monupdate_", day(1)))));

  // Without an upgrade under way the update logs come along; a folder given
  // without a trailing separator works alike.
  std::string bare = destination.path().substr(0, destination.path().size() - 1);
  EXPECT_EQ(writer.CopyLogFiles(bare.c_str(), 3), 3);
  EXPECT_TRUE(test::exists(destination.file(platform::daily_log_name("monupdate_", day(1)))));
  EXPECT_EQ(writer.CopyLogFiles(destination.path().c_str(), 4), 4);
  EXPECT_EQ(writer.CopyLogFiles(destination.path().c_str(), 0), 0);
  EXPECT_EQ(writer.CopyLogFiles(destination.path().c_str(), -3), 0);
  EXPECT_EQ(writer.CopyLogFiles(destination.file("missing").c_str(), 3), 0);
}

// The agent writer of the program in the machine's log folder
// (C:\ProgramData\Halvren\logs under Wine); the file stays for inspection.
TEST(AgentLog, WritesTodaysFileInTheMachinesLogFolder) {
  test::MachineStoreScope machine;
  machine.set_trace(10);
  std::string marker =
      "log_writer_test " + std::to_string(std::chrono::system_clock::now().time_since_epoch().count());
  agent_log().AppendLogLine(marker);
  const std::string file = platform::log_folder_path() + agent_log().FileName(platform::local_now());
  ASSERT_TRUE(
      test::wait_until([&] { return test::read_file(file).find(marker) != std::string::npos; }, 3000ms))
      << file;
  EXPECT_TRUE(std::regex_search(test::read_file(file),
                                std::regex(R"((^|\n)\d\d:\d\d:\d\d \(\d+\): )" + marker + "\r\n")));
}

}  // namespace
