// The HTTP monitor with the real WinINet seam under Wine against local peers
// (tests/integration/http_peers.py: plain, TLS signed by nobody, a forwarding
// proxy), and the adapter names from Wine's WMI. Ports: --http-port=N
// --https-port=N --proxy-port=N.
#include <windows.h>

#include <objbase.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "agent/Plugins/http_mon.h"
#include "agent/Plugins/net_mon.h"
#include "platform/win32/adapter_names_win32.h"
#include "platform/win32/http_check_win32.h"
#include "tests/unit/fakes/recording_owner.h"

using namespace std::chrono_literals;

namespace {

int g_http = 0, g_https = 0, g_proxy = 0;
bool g_port80 = false;  // the web server listens on 127.0.0.1:80 (a network namespace of the test's own)

class HttpMon : public CHttpMon<RecordingOwner> {
 public:
  explicit HttpMon(IHttpCheck& http) : CHttpMon(http) {
    m_firstTick = std::chrono::hours(1);
    m_pauseBase = 0ms;
    m_pauseSpread = 0;
  }
};

struct Check {
  int id;
  std::string host;
  std::string path;
  int port;
  const char* search;
  const char* body;
  int timeout, secure, isFull, mustContain, method;
};

std::string Line(const Check& c) {
  char line[1024];
  snprintf(line, sizeof line, "HPA\t%d\t1\t%s\t%s\t%d\t%s\t%s\t\t\t%d\t%d\t0\t%d\t%d\t%d", c.id,
           c.host.c_str(), c.path.c_str(), c.port, c.search, c.body, c.timeout, c.secure, c.isFull,
           c.mustContain, c.method);
  return line;
}

class HttpCheckIt : public ::testing::Test {
 protected:
  HttpCheckIt() { mon.SetOwner(&owner); }
  ~HttpCheckIt() override { mon.Shutdown(); }

  // Runs the checks in one pass and waits (bounded) for their results, by testID.
  std::map<int, UdcView> Run(const std::vector<Check>& checks, std::chrono::seconds limit = 40s) {
    owner.Clear();
    for (const Check& c : checks) EXPECT_TRUE(mon.ProcessTest(Line(c).c_str())) << Line(c);
    mon.MakeCheck();
    auto end = std::chrono::steady_clock::now() + limit;
    while (owner.Records().size() < checks.size() && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(20ms);
    std::map<int, UdcView> byId;
    for (const UdcView& v : owner.Decoded()) byId[static_cast<int>(v.ui32[1])] = v;
    for (const Check& c : checks) mon.ProcessTest(("HPD\t" + std::to_string(c.id)).c_str());
    return byId;
  }

  HttpCheckWin32 http;
  RecordingOwner owner;
  HttpMon mon{http};
};

struct Want {
  uint32_t status, code, length;
  const char* text;  // nullptr: any non-empty text
};

void Expect(std::map<int, UdcView>& r, int id, const Want& w) {
  SCOPED_TRACE(id);
  ASSERT_TRUE(r.count(id)) << "no result";
  const UdcView& v = r[id];
  ASSERT_EQ(v.ui32.size(), 7u);
  EXPECT_EQ(v.ui32[0], 49u);
  EXPECT_EQ(v.ui32[3], w.status);
  EXPECT_EQ(v.ui32[5], w.code);
  EXPECT_EQ(v.ui32[6], w.length);
  ASSERT_EQ(v.str.size(), 1u);
  if (w.text) {
    EXPECT_EQ(v.str[0], w.text);
  } else {
    EXPECT_FALSE(v.str[0].empty());
  }
  if (v.ui32[3] == 2 && w.code == 0) {
    EXPECT_EQ(v.ui32[4], 0u);  // no time on failure
  }
}

const uint32_t kText = 40006;  // the /text body

TEST_F(HttpCheckIt, AnswersOfThePlainAndTheTlsServer) {
  const std::string h = "127.0.0.1";
  std::vector<Check> checks = {
      {1, h, "/text", g_http, "needle", "", 20, 0, 1, 1, 0},
      {2, h, "/text", g_http, "needle", "", 20, 0, 1, 0, 0},
      {3, h, "/text", g_http, "absent", "", 20, 0, 1, 1, 0},
      {4, h, "/text", g_http, "absent", "", 20, 0, 1, 0, 0},
      {5, h, "/text", g_http, "absent", "", 20, 0, 0, 1, 0},  // isFull off: no search
      {6, h, "/status/401", g_http, "", "", 20, 0, 1, 0, 0},
      {7, h, "/status/403", g_http, "", "", 20, 0, 0, 0, 0},
      {8, h, "/status/402", g_http, "", "", 20, 0, 1, 0, 0},
      {9, h, "/status/404", g_http, "", "", 20, 0, 0, 0, 0},
      {10, h, "/status/500", g_http, "", "", 20, 0, 1, 0, 0},
      {11, h, "/text", g_http, "", "", 20, 0, 0, 0, 2},  // HEAD
      {12, h, "/text", g_http, "", "", 20, 0, 1, 0, 2},  // HEAD with isFull: nothing read
      {13, h, "/echo", g_http, "a= b", "a%3D+b", 20, 0, 1, 1, 1},
      {14, h, "/text", g_http, "", "", 0, 0, 0, 0, 0},  // no budget
      {15, h, "/text", g_https, "needle", "", 20, 1, 1, 1, 0},
      {16, h, "/status/404", g_https, "", "", 20, 1, 0, 0, 0},
  };
  auto r = Run(checks);
  Expect(r, 1, {0, 200, kText, "HTTP status code: 200. String found."});
  Expect(r, 2, {2, 200, kText, "HTTP status code: 200. String found."});
  Expect(r, 3, {2, 200, kText, "HTTP status code: 200. String NOT found."});
  Expect(r, 4, {0, 200, kText, "HTTP status code: 200. String NOT found."});
  Expect(r, 5, {0, 200, kText, "HTTP status code: 200. "});
  Expect(r, 6, {0, 401, 15, "HTTP status code: 401. "});
  Expect(r, 7, {0, 403, 15, "HTTP status code: 403. "});
  Expect(r, 8, {2, 402, 0, "HTTP status code: 402. "});
  Expect(r, 9, {2, 404, 0, "HTTP status code: 404. "});
  Expect(r, 10, {2, 500, 0, "HTTP status code: 500. "});
  Expect(r, 11, {0, 200, kText, "HTTP status code: 200. "});
  Expect(r, 12, {0, 200, 0, "HTTP status code: 200. "});
  Expect(r, 13, {0, 200, 4, "HTTP status code: 200. String found."});
  Expect(r, 14, {2, 0, 0, "Timed out."});
  Expect(r, 15, {0, 200, kText, "HTTP status code: 200. String found."});
  Expect(r, 16, {2, 404, 0, "HTTP status code: 404. "});
}

TEST_F(HttpCheckIt, ThroughTheProxyOnlyWhileItIsSet) {
  // The host does not resolve: only the proxy reaches the local servers.
  const std::string nowhere = "peer.halvren.invalid";
  std::vector<Check> checks = {
      {21, nowhere, "/text", g_http, "needle", "", 20, 0, 1, 1, 0},
      {22, nowhere, "/text", g_https, "needle", "", 20, 1, 1, 1, 0},
  };
  mon.SetProxy("127.0.0.1:" + std::to_string(g_proxy));
  auto r = Run(checks);
  Expect(r, 21, {0, 200, kText, "HTTP status code: 200. String found."});
  Expect(r, 22, {0, 200, kText, "HTTP status code: 200. String found."});

  mon.SetProxy("");
  r = Run(checks);
  Expect(r, 21, {2, 0, 0, nullptr});
  Expect(r, 22, {2, 0, 0, nullptr});
}

TEST_F(HttpCheckIt, RefusedSlowAndDribbledPastTheBudget) {
  // Port 1: nobody listens there.
  std::vector<Check> checks = {{31, "127.0.0.1", "/", 1, "", "", 10, 0, 0, 0, 0}};
  for (int i = 0; i < 5; ++i)  // a body dribbled past the budget, again and again
    checks.push_back({40 + i, "127.0.0.1", "/slow", g_http, "zz", "", 2, 0, 1, 1, 0});
  checks.push_back({50, "127.0.0.1", "/hold", g_http, "", "", 2, 0, 0, 0, 0});
  auto begin = std::chrono::steady_clock::now();
  auto r = Run(checks);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 6s);  // budgets of 2 s, checks side by side
  Expect(r, 31, {2, 0, 0, nullptr});
  for (int i = 0; i < 5; ++i) Expect(r, 40 + i, {2, 200, 100, "Timed out."});
  Expect(r, 50, {2, 0, 0, "Timed out."});
}

TEST_F(HttpCheckIt, StopWhileTheServerHoldsItsAnswer) {
  ASSERT_TRUE(mon.ProcessTest(Line({60, "127.0.0.1", "/hold", g_http, "", "", 60, 0, 0, 0, 0}).c_str()));
  mon.MakeCheck();
  std::this_thread::sleep_for(1500ms);  // the request is with the server
  auto begin = std::chrono::steady_clock::now();
  mon.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 1500ms);
  for (int i = 0; i < 200 && mon.RunningChecks() > 0; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(mon.RunningChecks(), 0u);
  EXPECT_TRUE(owner.Records().empty());

  auto r = Run({{61, "127.0.0.1", "/status/200", g_http, "", "", 20, 0, 0, 0, 0}});
  EXPECT_EQ(r.size(), 1u);
  Expect(r, 61, {0, 200, 15, "HTTP status code: 200. "});
}

// Port 0 on the test line means 80, also for TLS: the plain server on 80
// answers; the TLS check meets that plain server and fails its handshake.
TEST_F(HttpCheckIt, PortZeroIsEighty) {
  if (!g_port80) GTEST_SKIP() << "needs a web server on port 80 (http_check.sh --port80)";
  auto r = Run({{70, "127.0.0.1", "/status/200", 0, "", "", 20, 0, 0, 0, 0},
                {71, "127.0.0.1", "/status/200", 0, "", "", 20, 1, 0, 0, 0}});
  Expect(r, 70, {0, 200, 15, "HTTP status code: 200. "});
  Expect(r, 71, {2, 0, 0, nullptr});
}

// WMI under Wine has no TCP/IP interface objects: no failure, an empty set.
TEST(AdapterNamesWine, RealSeamWithoutComAndOnAnSta) {
  for (bool sta : {false, true}) {
    SCOPED_TRACE(sta ? "STA" : "no COM");
    std::vector<std::string> lines, names{"stale"};
    bool ok = false;
    HRESULT after = E_FAIL;
    std::thread t([&] {
      if (sta) CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
      AdapterNamesWin32 adapters;
      ok = adapters.List(names, [&](const std::string& l) { lines.push_back(l); });
      // The seam leaves the apartment as it found it.
      after = CoInitializeEx(nullptr, sta ? COINIT_APARTMENTTHREADED : COINIT_MULTITHREADED);
      CoUninitialize();
      if (sta) CoUninitialize();
    });
    t.join();
    EXPECT_TRUE(ok);
    EXPECT_TRUE(lines.empty()) << lines[0];
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(after, sta ? S_FALSE : S_OK);
  }
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--http-port=", 12) == 0) g_http = std::atoi(argv[i] + 12);
    if (std::strncmp(argv[i], "--https-port=", 13) == 0) g_https = std::atoi(argv[i] + 13);
    if (std::strncmp(argv[i], "--proxy-port=", 13) == 0) g_proxy = std::atoi(argv[i] + 13);
    if (std::strcmp(argv[i], "--port80") == 0) g_port80 = true;
  }
  if (!g_http || !g_https || !g_proxy) {
    std::fprintf(stderr, "usage: http_check_it --http-port=N --https-port=N --proxy-port=N\n");
    return 2;
  }
  return RUN_ALL_TESTS();
}
