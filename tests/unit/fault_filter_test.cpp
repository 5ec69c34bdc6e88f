// A machine fault with the fault filter installed: the record is written and
// the process ends with the fault's code instead of running on.
#include <gtest/gtest.h>
#include <process.h>

#include <chrono>
#include <regex>
#include <string>

#include "platform/daily_logs.h"
#include "platform/local_time.h"
#include "platform/log_folder.h"
#include "tests/unit/test_support.h"

namespace {

TEST(FaultFilter, RecordsTheFaultAndEndsTheProcess) {
  test::MachineStoreScope machine;
  machine.set_trace(10);
  const std::string marker =
      "fault-" + std::to_string(std::chrono::system_clock::now().time_since_epoch().count());

  // ctest runs the test in the folder fault_probe.exe is built in.
  intptr_t code = _spawnl(_P_WAIT, "fault_probe.exe", "fault_probe.exe", marker.c_str(), nullptr);
  EXPECT_EQ(static_cast<uint32_t>(code), 0xC0000005u) << "exit code of the probe";

  std::string file =
      platform::log_folder_path() + platform::daily_log_name("monexception_", platform::local_now());
  std::string written = test::read_file(file);
  std::regex line(R"(\d\d:\d\d:\d\d Thread ID:\d+ :)" + marker +
                  R"(\n\tMachine fault 0xC0000005 at address 0x[0-9A-F]{16}, writing 0x10\n)");
  EXPECT_TRUE(std::regex_search(written, line)) << file << ":\n" << written;
}

}  // namespace
