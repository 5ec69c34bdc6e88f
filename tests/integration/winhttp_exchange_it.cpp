// The WinHTTP exchange under Wine against the native stand-in gateway
// (gateway_test_server), started by winhttp_exchange.sh, which passes its
// ports: --http-port=N --https-port=N.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32/winhttp_exchange.h"

namespace {

uint16_t g_httpPort = 0;
uint16_t g_httpsPort = 0;

const char kHeaders[] =
    "Content-Type: application/octet-stream\r\n"
    "Mon-SessionID: 4f2a-77\r\n"
    "Mon-Compression: 1400\r\n"
    "Mon-CheckSum: 3735928559\r\n"
    "Mon-Platform: win64\r\n"
    "Mon-Version: 4.02.14\r\n";
const char kUserAgent[] = "Mozilla/5.0 (compatible; Halvren; https://halvren.example/agent)";

GatewayRequest Request(const std::string& path, bool secure = false) {
  GatewayRequest r;
  r.host = "127.0.0.1";
  r.port = secure ? g_httpsPort : g_httpPort;
  r.path = path;
  r.secure = secure;
  r.userAgent = kUserAgent;
  r.headers = kHeaders;
  return r;
}

struct Outcome {
  GatewayReply reply;
  std::vector<std::string> log;
  bool Logged(const std::string& line) const {
    for (const auto& l : log)
      if (l == line) return true;
    return false;
  }
  std::string LogText() const {
    std::string all;
    for (const auto& l : log) all += l + "\n";
    return all;
  }
};

Outcome Post(WinHttpExchange& exchange, const GatewayRequest& request) {
  Outcome out;
  std::mutex m;  // the status callback may write from another thread during an abort
  exchange.Post(
      request, [] { return true; },
      [&](const std::string& line) {
        std::lock_guard<std::mutex> lock(m);
        out.log.push_back(line);
      },
      out.reply);
  return out;
}

Outcome Post(const GatewayRequest& request) {
  WinHttpExchange exchange;
  return Post(exchange, request);
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

TEST(GatewayExchange, PostCarriesTheHeaderBlockAndBodyAndReadsTheReply) {
  std::vector<uint8_t> records;
  for (int i = 0; i < 600; ++i) records.push_back(static_cast<uint8_t>(i));  // zero bytes included
  // With records, and with an empty cache (no body at all).
  for (const auto& body : {records, std::vector<uint8_t>()}) {
    GatewayRequest request = Request("/fcgi-bin/agentgateway");
    request.body = body;
    const Outcome out = Post(request);
    const GatewayReply& r = out.reply;
    ASSERT_EQ(r.failure, "") << r.error << "\n" << out.LogText();
    EXPECT_FALSE(r.abandoned);
    EXPECT_EQ(r.error, 0u);
    EXPECT_EQ(r.status, 200u);
    EXPECT_TRUE(r.hasSession);
    EXPECT_EQ(r.sessionId, "echo-session");

    // What the server saw, one line per header.
    const std::string& seen = r.body;
    EXPECT_NE(seen.find("target=/fcgi-bin/agentgateway\n"), std::string::npos) << seen;
    for (const char* line :
         {"Content-Type: application/octet-stream\n", "Mon-SessionID: 4f2a-77\n", "Mon-Compression: 1400\n",
          "Mon-CheckSum: 3735928559\n", "Mon-Platform: win64\n", "Mon-Version: 4.02.14\n"})
      EXPECT_NE(seen.find(line), std::string::npos) << line << "\n" << seen;
    EXPECT_NE(seen.find(std::string("User-Agent: ") + kUserAgent + "\n"), std::string::npos) << seen;
    EXPECT_NE(seen.find("Content-Length: " + std::to_string(body.size()) + "\n"), std::string::npos) << seen;
    EXPECT_NE(seen.find("\nbody=" + Hex(body) + "\n"), std::string::npos) << seen;

    EXPECT_TRUE(out.Logged("Sending data '" + std::to_string(body.size()) + "' bytes...")) << out.LogText();
    EXPECT_TRUE(out.Logged("Received '200' response...")) << out.LogText();
    EXPECT_TRUE(out.Logged("Total received '" + std::to_string(seen.size()) + "' bytes.")) << out.LogText();
    EXPECT_TRUE(out.Logged("Received data:\r\n'" + seen + "'\r\n")) << out.LogText();
  }
}

TEST(GatewayExchange, SessionIdentifierOfMoreThan127CharactersIsAbsent) {
  const struct {
    size_t length;
    bool present;
  } cases[] = {{1, true}, {127, true}, {128, false}, {300, false}};
  for (const auto& c : cases) {
    const Outcome out = Post(Request("/session/" + std::to_string(c.length)));
    ASSERT_EQ(out.reply.failure, "") << c.length;
    EXPECT_EQ(out.reply.hasSession, c.present) << c.length;
    EXPECT_EQ(out.reply.sessionId.size(), c.present ? c.length : 0u) << c.length;
    EXPECT_EQ(out.reply.body, "session") << c.length;
  }
  const Outcome none = Post(Request("/status/200"));
  EXPECT_FALSE(none.reply.hasSession);
}

// What reaches the agent through Wine's WinHTTP, and what of it the worker's
// rule takes as a session.
TEST(GatewayExchange, SessionIdentifierWithABlankOrControlCharacterIsNotTaken) {
  const struct {
    const char* sent;
    const char* taken;  // null: not a session
  } cases[] = {
      {"ok-1", "ok-1"},
      {"a b", nullptr},
      {"ab\rcd", nullptr},  // a bare CR stays in the value
      {"\x01", nullptr},
      // The line break ends the header: "x" is the identifier, the rest another header.
      {"x\r\nX-Injected: 1", "x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.sent)));
    std::string hex;
    for (const char* p = c.sent; *p; ++p) hex += Hex({static_cast<uint8_t>(*p)});
    const Outcome out = Post(Request("/session-value/" + hex));
    ASSERT_EQ(out.reply.failure, "");
    EXPECT_EQ(out.reply.body, "session");
    const bool taken = out.reply.hasSession && IsValidSessionId(out.reply.sessionId);
    EXPECT_EQ(taken, c.taken != nullptr);
    if (c.taken) {
      EXPECT_EQ(out.reply.sessionId, c.taken);
    }
  }
}

TEST(GatewayExchange, ReplyBodiesOfEverySizeArriveWhole) {
  for (size_t size : {0, 1, 1023, 1024, 4096, 4097, 150000}) {
    const Outcome out = Post(Request("/big/" + std::to_string(size)));
    ASSERT_EQ(out.reply.failure, "") << size;
    ASSERT_EQ(out.reply.body.size(), size);
    bool same = true;
    for (size_t i = 0; i < size; ++i) same = same && out.reply.body[i] == static_cast<char>('a' + i % 26);
    EXPECT_TRUE(same) << size;
    // An empty reply is a reply: a read succeeded, it gave 0 bytes.
    EXPECT_EQ(out.Logged("Total received '" + std::to_string(size) + "' bytes."), size != 0) << size;
    EXPECT_TRUE(out.Logged("Received '0' bytes.")) << size;
  }
}

TEST(GatewayExchange, ReplyOverTheBoundIsRefused) {
  WinHttpExchange exchange(64 * 1024);
  const Outcome out = Post(exchange, Request("/big/200000"));
  EXPECT_EQ(out.reply.failure, "Data sending failed on reading response from the server.");
  EXPECT_NE(out.reply.error, 0u);
  EXPECT_TRUE(out.reply.body.empty());
  EXPECT_TRUE(out.Logged("Reply larger than 65536 bytes; it is not accepted.")) << out.LogText();
  // The same exchange object serves the next request normally.
  const Outcome next = Post(exchange, Request("/big/1000"));
  EXPECT_EQ(next.reply.failure, "");
  EXPECT_EQ(next.reply.body.size(), 1000u);
}

TEST(GatewayExchange, ServerErrorsAreRepliesNotFailures) {
  for (uint32_t status : {401u, 403u, 500u}) {
    const Outcome out = Post(Request("/status/" + std::to_string(status)));
    EXPECT_EQ(out.reply.failure, "") << status;
    EXPECT_EQ(out.reply.status, status);
    EXPECT_EQ(out.reply.body, "status " + std::to_string(status));
  }
}

TEST(GatewayExchange, UntrustedCertificateIsOverriddenOnlyWhenAllowed) {
  GatewayRequest strict = Request("/fcgi-bin/agentgateway", true);
  const Outcome refused = Post(strict);
  EXPECT_EQ(refused.reply.failure, "Data sending failed on making request.") << refused.LogText();
  // Windows reports a secure failure; Wine a secure-channel error.
  EXPECT_TRUE(refused.reply.error == ERROR_WINHTTP_SECURE_FAILURE ||
              refused.reply.error == ERROR_WINHTTP_SECURE_CHANNEL_ERROR)
      << refused.reply.error;
  EXPECT_TRUE(refused.Logged("Request sending failed with error " + std::to_string(refused.reply.error)));
  EXPECT_EQ(refused.reply.status, 0u);
  std::printf("untrusted certificate refused with %u\n", static_cast<unsigned>(refused.reply.error));

  GatewayRequest relaxed = strict;
  relaxed.ignoreCertErrors = true;
  relaxed.body = {'r', 'e', 'c'};
  const Outcome accepted = Post(relaxed);
  ASSERT_EQ(accepted.reply.failure, "") << accepted.reply.error << "\n" << accepted.LogText();
  EXPECT_EQ(accepted.reply.status, 200u);
  EXPECT_EQ(accepted.reply.sessionId, "echo-session");
  EXPECT_NE(accepted.reply.body.find("Mon-Platform: win64\n"), std::string::npos) << accepted.reply.body;
  EXPECT_NE(accepted.reply.body.find("\nbody=726563\n"), std::string::npos) << accepted.reply.body;
  std::printf("%s", accepted.LogText().c_str());
}

TEST(GatewayExchange, NamedProxyCarriesTheRequest) {
  // The stand-in plays the proxy: it sees the absolute address of a gateway
  // that does not exist, which only a proxy request carries.
  GatewayRequest request = Request("/fcgi-bin/agentgateway");
  request.host = "gateway.invalid";
  request.port = 8080;
  request.proxy = "127.0.0.1:" + std::to_string(g_httpPort);
  const Outcome out = Post(request);
  ASSERT_EQ(out.reply.failure, "") << out.reply.error << "\n" << out.LogText();
  EXPECT_NE(out.reply.body.find("target=http://gateway.invalid:8080/fcgi-bin/agentgateway\n"),
            std::string::npos)
      << out.reply.body;
}

bool RunningUnderWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

TEST(GatewayExchange, AbortFromAnotherThreadEndsAHangingExchange) {
  // The server holds its answer for 8 s; the abort comes after 1 s. Windows
  // ends the blocked receive when its handle is closed. Wine's WinHTTP does
  // not: the call returns only when the server answers, so there the test
  // checks that the abort is safe and recorded, not that it is prompt.
  const bool wine = RunningUnderWine();
  WinHttpExchange exchange;
  std::thread aborter([&] {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    exchange.Abort();
  });
  const auto start = std::chrono::steady_clock::now();
  const Outcome out = Post(exchange, Request("/hang/8"));
  const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  aborter.join();
  EXPECT_GE(seconds, 0.9);
  EXPECT_LT(seconds, wine ? 14.0 : 5.0) << out.LogText();
  EXPECT_FALSE(out.reply.failure.empty());
  EXPECT_EQ(out.reply.error, static_cast<uint32_t>(ERROR_WINHTTP_OPERATION_CANCELLED)) << out.LogText();
  EXPECT_EQ(out.reply.status, 0u) << "no reply is taken from an aborted exchange";
  std::printf("%s: aborted exchange returned after %.2f s: %s\n", wine ? "Wine" : "Windows", seconds,
              out.reply.failure.c_str());

  // Afterwards the same object makes a normal exchange.
  const Outcome next = Post(exchange, Request("/status/200"));
  EXPECT_EQ(next.reply.failure, "");
  EXPECT_EQ(next.reply.status, 200u);
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--http-port=", 12) == 0)
      g_httpPort = static_cast<uint16_t>(std::atoi(argv[i] + 12));
    if (std::strncmp(argv[i], "--https-port=", 13) == 0)
      g_httpsPort = static_cast<uint16_t>(std::atoi(argv[i] + 13));
  }
  if (g_httpPort == 0 || g_httpsPort == 0) {
    std::fprintf(stderr, "usage: winhttp_exchange_it --http-port=N --https-port=N\n");
    return 2;
  }
  return RUN_ALL_TESTS();
}
