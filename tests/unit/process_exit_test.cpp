// How a Windows process of ours ends: returning from main with lines pending,
// and dying of a machine fault with the fault filter installed.
#include <gtest/gtest.h>
#include <process.h>

#include <chrono>
#include <regex>
#include <string>

#include "agent/LogWriter.h"
#include "platform/daily_logs.h"
#include "platform/local_time.h"
#include "platform/log_folder.h"
#include "tests/unit/test_support.h"

namespace {

std::string unique(const char* what) {
  return what + std::to_string(std::chrono::system_clock::now().time_since_epoch().count());
}

// ctest runs the tests in the folder exit_probe.exe is built in.
intptr_t run_probe(const char* mode, const std::string& marker) {
  return _spawnl(_P_WAIT, "exit_probe.exe", "exit_probe.exe", mode, marker.c_str(), nullptr);
}

std::string todays(const char* prefix) {
  return test::read_file(platform::log_folder_path() +
                         platform::daily_log_name(prefix, platform::local_now()));
}

TEST(ProcessExit, LinesPendingWhenMainReturnsReachTheFile) {
  test::MachineStoreScope machine;
  machine.set_trace(10);
  const std::string marker = unique("exit-");
  ASSERT_EQ(run_probe("lines", marker), 0);
  std::string written = todays("monintagent_");
  for (int i : {0, 99}) {
    EXPECT_TRUE(std::regex_search(
        written, std::regex(R"(\d\d:\d\d:\d\d \(\d+\): )" + marker + " " + std::to_string(i) + "\r\n")))
        << "line " << i;
  }
}

TEST(ProcessExit, MachineFaultIsRecordedAndEndsTheProcess) {
  test::MachineStoreScope machine;
  machine.set_trace(10);
  const std::string marker = unique("fault-");
  EXPECT_EQ(static_cast<uint32_t>(run_probe("fault", marker)), 0xC0000005u) << "exit code of the probe";
  std::regex line(R"(\d\d:\d\d:\d\d Thread ID:\d+ :)" + marker +
                  R"(\n\tMachine fault 0xC0000005 at address 0x[0-9A-F]{16}, writing 0x10\n)");
  std::string written = todays("monexception_");
  EXPECT_TRUE(std::regex_search(written, line)) << written;
}

}  // namespace
