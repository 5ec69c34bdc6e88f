// The rule for the gateway's session identifier, which the agent sends back
// in its next header block.
#include "platform/gateway_exchange.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(SessionId, OnlyShortPrintableIdentifiersCount) {
  const struct {
    std::string id;
    bool valid;
  } cases[] = {
      {"4f2a-77", true},
      {"!~{}[]<>\"'\\/:;=?", true},  // the ends of the printable range and marks between
      {std::string(127, 'z'), true},
      {std::string(128, 'z'), false},
      {"", false},
      {"a b", false},
      {"x\r\nX-Injected: 1", false},
      {"ab\rcd", false},
      {"\x01", false},
      {"tab\there", false},
      {"del\x7f", false},
      {"caf\xc3\xa9", false},  // UTF-8 beyond ASCII
      {std::string("nul\0x", 5), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.id));
    EXPECT_EQ(IsValidSessionId(c.id), c.valid);
  }
}

}  // namespace
