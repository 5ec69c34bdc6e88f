#include <gtest/gtest.h>

#include "agent/service/CommandLine.h"

namespace {

struct Case {
  std::vector<std::string> args;
  ProgramAction expected;
};

TEST(ServiceCommandLine, SwitchTable) {
  const Case cases[] = {
      {{"/regserver"}, ProgramAction::RegServer},
      {{"-REGSERVER"}, ProgramAction::RegServer},
      {{"-RegServerX"}, ProgramAction::Start},
      {{"RegServer"}, ProgramAction::Start},
      {{"-"}, ProgramAction::Start},
      {{"-UnregServer"}, ProgramAction::UnregServer},
      {{"/RegServerPerUser"}, ProgramAction::RegServerPerUser},
      {{"-unregserverperuser"}, ProgramAction::UnregServerPerUser},
      // Registration switches outrank "Service" wherever they stand.
      {{"-Service", "-RegServer"}, ProgramAction::RegServer},
      {{"-UnregServer", "-RegServer"}, ProgramAction::UnregServer},
      {{"-service"}, ProgramAction::Service},
      {{"-Service", "-console"}, ProgramAction::Service},
      {{"-console"}, ProgramAction::Console},
      {{"/Console"}, ProgramAction::Console},
      {{"-Embedding"}, ProgramAction::Start},
      {{}, ProgramAction::Start},
      // A word inside one argument (a quoted path) is no switch.
      {{"C:\\x -Service y\\"}, ProgramAction::Start},
      {{" -Service "}, ProgramAction::Start},
      {{"-Service -RegServer"}, ProgramAction::Start},
  };
  for (const Case& c : cases) {
    std::string shown;
    for (const auto& a : c.args) shown += "[" + a + "]";
    EXPECT_EQ(ParseProgramArguments(c.args), c.expected) << shown;
  }
}

TEST(ServiceCommandLine, OnlyRegistrationsExit) {
  EXPECT_TRUE(IsRegistration(ProgramAction::Service));
  EXPECT_TRUE(IsRegistration(ProgramAction::UnregServer));
  EXPECT_FALSE(IsRegistration(ProgramAction::Console));
  EXPECT_FALSE(IsRegistration(ProgramAction::Start));
}

}  // namespace
