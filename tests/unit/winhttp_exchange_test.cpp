// The WinHTTP exchange without a server: refused connections, a stopped
// worker, the texts it logs and reports. The exchange against real servers is
// an integration test (tests/integration).
#include "platform/win32/winhttp_exchange.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

GatewayRequest ToClosedPort() {
  GatewayRequest r;
  r.host = "127.0.0.1";
  r.port = 1;  // nothing listens there: the connection is refused at once
  r.path = "/fcgi-bin/agentgateway";
  r.secure = false;
  r.userAgent = "Halvren test";
  r.headers = "Content-Type: application/octet-stream\r\nMon-Platform: win64\r\n";
  r.body = {1, 2, 3};
  return r;
}

TEST(WinHttpExchange, RefusedConnectionFailsOnMakingRequest) {
  WinHttpExchange exchange;
  std::vector<std::string> lines;
  GatewayReply reply;
  exchange.Post(
      ToClosedPort(), [] { return true; }, [&](const std::string& l) { lines.push_back(l); }, reply);

  EXPECT_FALSE(reply.abandoned);
  EXPECT_EQ(reply.failure, "Data sending failed on making request.");
  EXPECT_EQ(reply.error, static_cast<uint32_t>(ERROR_WINHTTP_CANNOT_CONNECT));
  EXPECT_EQ(reply.status, 0u);
  EXPECT_FALSE(reply.hasSession);

  const std::vector<std::string> expected = {
      "Openning connection...",
      "Connecting to 127.0.0.1:1...",
      "Openning request to /fcgi-bin/agentgateway...",
      "Adding request headers... \r\nContent-Type: application/octet-stream\r\nMon-Platform: win64\r\n\r\n",
      "Sending data '3' bytes...",
      "Request sending failed with error 12029",
  };
  // Status-callback lines may come in between; the exchange's own come in order.
  size_t next = 0;
  for (const std::string& line : lines)
    if (next < expected.size() && line == expected[next]) ++next;
  EXPECT_EQ(next, expected.size()) << "missing: " << (next < expected.size() ? expected[next] : "");
  for (const std::string& line : lines)
    EXPECT_TRUE(line.rfind("WINHTTP_CALLBACK_STATUS_", 0) == 0 ||
                std::find(expected.begin(), expected.end(), line) != expected.end())
        << line;
}

TEST(WinHttpExchange, StoppedWorkAbandonsTheExchangeSilently) {
  // The worker stops after the n-th question; the exchange ends there with no message.
  for (int answers = 0; answers < 4; ++answers) {
    WinHttpExchange exchange;
    int asked = 0;
    std::vector<std::string> lines;
    GatewayReply reply;
    exchange.Post(
        ToClosedPort(), [&] { return asked++ < answers; }, [&](const std::string& l) { lines.push_back(l); },
        reply);
    EXPECT_TRUE(reply.abandoned) << answers;
    EXPECT_TRUE(reply.failure.empty()) << answers << ": " << reply.failure;
    EXPECT_EQ(reply.error, 0u) << answers;
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "Openning connection...");
    for (const std::string& line : lines) EXPECT_EQ(line.find("Sending data"), std::string::npos) << answers;
  }
}

TEST(WinHttpExchange, AbortWithNothingRunningIsHarmless) {
  WinHttpExchange exchange;
  exchange.Abort();
  exchange.Abort();
  // The next exchange runs normally: an earlier abort does not carry over.
  GatewayReply reply;
  exchange.Post(
      ToClosedPort(), [] { return true; }, [](const std::string&) {}, reply);
  EXPECT_EQ(reply.error, static_cast<uint32_t>(ERROR_WINHTTP_CANNOT_CONNECT));
}

TEST(WinHttpExchange, ErrorTextNamesEveryCode) {
  WinHttpExchange exchange;
  for (uint32_t code : {12029u, 12002u, 12175u}) {
    const std::string text = exchange.ErrorText(code);
    ASSERT_FALSE(text.empty()) << code;
    EXPECT_NE(text.back(), '\n') << code;
    std::printf("%u: %s\n", code, text.c_str());
  }
  // Codes outside WinHTTP come from the system's table.
  const std::string notFound = exchange.ErrorText(ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(notFound.empty());
  EXPECT_EQ(notFound.find("WinHTTP error"), std::string::npos) << notFound;
}

TEST(WinHttpExchange, SecureFailureFlagsAreListedInTheirOrder) {
  const struct {
    uint32_t flags;
    const char* text;
  } cases[] = {
      {0, " (0)"},
      {0x8, " (8) WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA;"},
      {0x80000030u,
       " (2147483696) WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID; "
       "WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID;"
       " WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR;"},
      {0x7,
       " (7) WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED; WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT;"
       " WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED;"},
      {0x40, " (64)"},  // a bit without a name is counted but not listed
  };
  for (const auto& c : cases) EXPECT_EQ(SecureFailureText(c.flags), c.text) << c.flags;
}

}  // namespace
