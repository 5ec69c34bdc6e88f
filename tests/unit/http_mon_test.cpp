// The HTTP monitor's rules (test line, body decoding, search, verdict) and the
// monitor over the check seam's fake.
#include "agent/Plugins/http_mon.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/unit/fakes/fake_http_check.h"
#include "tests/unit/fakes/recording_owner.h"

using namespace std::chrono_literals;

namespace {

// Sixteen fields; `over` replaces fields by index.
std::vector<std::string> Fields(std::vector<std::pair<size_t, std::string>> over = {}) {
  std::vector<std::string> f = {"HPA", "5", "7",  "127.0.0.1", "/x", "8080", "",  "",
                                "",    "",  "10", "0",         "0",  "0",    "0", "0"};
  for (auto& o : over) f[o.first] = o.second;
  return f;
}

std::vector<std::string> Fifteen() {
  auto f = Fields();
  f.pop_back();
  return f;
}

std::string Line(const std::vector<std::string>& f) {
  std::string s;
  for (size_t i = 0; i < f.size(); ++i) s += (i ? "\t" : "") + f[i];
  return s;
}

TEST(HttpRules, TestLine) {
  struct Case {
    const char* name;
    std::vector<std::string> fields;
    bool ok;
    uint16_t port;
    const char* method;
    int64_t budgetMs;
  } cases[] = {
      {"sixteen fields", Fields(), true, 8080, "GET", 10000},
      {"fifteen fields", Fifteen(), false, 0, "", 0},
      {"port 0 is 80", Fields({{5, "0"}}), true, 80, "GET", 10000},
      {"port 0 is 80 for TLS too", Fields({{5, "0"}, {11, "1"}}), true, 80, "GET", 10000},
      {"port 443", Fields({{5, "443"}, {11, "1"}}), true, 443, "GET", 10000},
      {"port 65535", Fields({{5, "65535"}}), true, 65535, "GET", 10000},
      {"port 70000 refused", Fields({{5, "70000"}}), false, 0, "", 0},
      {"method 1", Fields({{15, "1"}}), true, 8080, "POST", 10000},
      {"method 2", Fields({{15, "2"}}), true, 8080, "HEAD", 10000},
      {"method 3", Fields({{15, "3"}}), true, 8080, "GET", 10000},
      {"negative time-out", Fields({{10, "-5"}}), true, 8080, "GET", 0},
      {"huge time-out", Fields({{10, "99999999999"}}), true, 8080, "GET", int64_t{2147483647} * 1000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CHttpTest t;
    ASSERT_EQ(http_check::ParseTest(c.fields, t), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(t.port, c.port);
    EXPECT_STREQ(http_check::MethodName(t.method), c.method);
    EXPECT_EQ(http_check::Budget(t.timeout).count(), c.budgetMs);
  }
}

TEST(HttpRules, BodyDecoding) {
  struct Case {
    const char* field;
    std::string body;
  } cases[] = {
      {"a%3D+b", "a= b"}, {"%3D+", "= "},   {"x%00y", std::string("x\0y", 3)},
      {"%4", "%4"},       {"%zz", "%zz"},   {"end%", "end%"},
      {"%4a%4A", "JJ"},   {"100%", "100%"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.field);
    EXPECT_EQ(http_check::DecodeBody(c.field), c.body);
  }
}

TEST(HttpRules, SearchAcrossPiecesAndVerdict) {
  struct Case {
    const char* name;
    std::string needle;
    std::vector<std::string> pieces;
    bool found;
  } cases[] = {
      {"across a boundary", "needle", {"xxxnee", "dlexxx"}, true},
      {"across three pieces", "abcdef", {"xxab", "cd", "efxx"}, true},
      {"at the start", "abc", {"abcxxxx", "yyy"}, true},
      {"at the end", "abc", {"xxxx", "yyab", "c"}, true},
      {"NUL inside", std::string("a\0b", 3), {std::string("xxa\0", 4), "bxx"}, true},
      {"NUL does not end the body", "tail", {std::string("\0\0", 2), "tail"}, true},
      {"body shorter than the needle", "longneedle", {"long"}, false},
      {"absent", "abc", {"ab", "xbc", "ab"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    http_check::BodySearch search(c.needle);
    uint64_t total = 0;
    for (const std::string& p : c.pieces) {
      search.Feed(p.data(), p.size());
      total += p.size();
    }
    EXPECT_EQ(search.Found(), c.found);
    EXPECT_EQ(search.Total(), total);
    for (bool must : {true, false}) {
      CHttpTest t;
      t.search = c.needle;
      t.isFull = true;
      t.mustContain = must;
      HttpCheckResult answer{HttpCheckOutcome::Done, 0, 200, 99};
      auto v = http_check::Judge(t, answer, 12, true, search.Total(), search.Found(), "");
      EXPECT_EQ(v.status, c.found == must ? 0u : 2u);
      EXPECT_EQ(v.text,
                std::string("HTTP status code: 200. ") + (c.found ? "String found." : "String NOT found."));
      EXPECT_EQ(v.contentLength, total);  // bytes read, not the header
      EXPECT_EQ(v.responseMs, 12u);
    }
  }
}

TEST(HttpRules, StatusCodesAndFailures) {
  CHttpTest t;
  t.search = "x";
  struct Case {
    HttpCheckResult answer;
    uint32_t status, time, code, length;
    const char* text;
  } cases[] = {
      {{HttpCheckOutcome::Done, 0, 200, 5}, 0, 30, 200, 5, "HTTP status code: 200. "},  // no isFull: no
                                                                                        // search
      {{HttpCheckOutcome::Done, 0, 301, 0}, 0, 30, 301, 0, "HTTP status code: 301. "},
      {{HttpCheckOutcome::Done, 0, 401, 5}, 0, 30, 401, 5, "HTTP status code: 401. "},
      {{HttpCheckOutcome::Done, 0, 403, 5}, 0, 30, 403, 5, "HTTP status code: 403. "},
      {{HttpCheckOutcome::Done, 0, 402, 5}, 2, 30, 402, 0, "HTTP status code: 402. "},
      {{HttpCheckOutcome::Done, 0, 404, 5}, 2, 30, 404, 0, "HTTP status code: 404. "},
      {{HttpCheckOutcome::Done, 0, 500, 5}, 2, 30, 500, 0, "HTTP status code: 500. "},
      {{HttpCheckOutcome::TimedOut, 0, 200, 7}, 2, 0, 200, 7, "Timed out."},
      {{HttpCheckOutcome::Failed, 12029, 0, 0}, 2, 0, 0, 0, "Cannot connect."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer.statusCode);
    auto v = http_check::Judge(t, c.answer, 30, false, 0, false, "Cannot connect.");
    EXPECT_EQ(v.status, c.status);
    EXPECT_EQ(v.responseMs, c.time);
    EXPECT_EQ(v.statusCode, c.code);
    EXPECT_EQ(v.contentLength, c.length);
    EXPECT_EQ(v.text, c.text);
  }
  // Read counts beyond 32 bits are reported as the largest.
  t.isFull = true;
  auto v = http_check::Judge(t, {HttpCheckOutcome::Done, 0, 200, 0}, 1, true, 1ull << 33, true, "");
  EXPECT_EQ(v.contentLength, 0xFFFFFFFFu);
}

// The real monitor with its pause cut down; the tests run the passes.
class HttpMon : public CHttpMon<RecordingOwner> {
 public:
  explicit HttpMon(IHttpCheck& http) : CHttpMon(http) {
    m_firstTick = std::chrono::hours(1);
    m_pauseBase = 0ms;
    m_pauseSpread = 0;
  }
};

class HttpMonTest : public ::testing::Test {
 protected:
  HttpMonTest() { mon.SetOwner(&owner); }

  // Waits (bounded) until `n` records were posted.
  std::vector<UdcView> WaitRecords(size_t n) {
    for (int i = 0; i < 500 && owner.Records().size() < n; ++i) std::this_thread::sleep_for(10ms);
    return owner.Decoded();
  }
  void WaitIdle() {
    for (int i = 0; i < 500 && mon.RunningChecks() > 0; ++i) std::this_thread::sleep_for(10ms);
  }

  FakeHttpCheck http;
  RecordingOwner owner;
  HttpMon mon{http};
};

TEST_F(HttpMonTest, ChecksThroughTheSeamWithTheProxyOfTheMoment) {
  FakeHttpCheck::Script s;
  s.result = {HttpCheckOutcome::Done, 0, 200, 42};
  s.pieces = {"hello ", "wor", "ld"};
  http.Set(s);
  mon.SetProxy("127.0.0.1:3128");
  ASSERT_TRUE(
      mon.ProcessTest(Line(Fields({{6, "world"}, {7, "a%3D+b"}, {13, "1"}, {14, "1"}, {15, "1"}})).c_str()));
  mon.MakeCheck();
  auto records = WaitRecords(1);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].ui32.size(), 7u);
  EXPECT_EQ(records[0].ui32[0], 49u);
  EXPECT_EQ(records[0].ui32[1], 5u);
  EXPECT_EQ(records[0].ui32[2], 7u);
  EXPECT_EQ(records[0].ui32[3], 0u);
  EXPECT_EQ(records[0].ui32[5], 200u);
  EXPECT_EQ(records[0].ui32[6], 11u);  // bytes read
  EXPECT_EQ(records[0].str, std::vector<std::string>{"HTTP status code: 200. String found."});
  auto requests = http.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].proxy, "127.0.0.1:3128");
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].body, "a= b");
  EXPECT_TRUE(requests[0].readBody);
  EXPECT_TRUE(owner.Logged("mon_http: received 200 response. testID:5, lid:7, host:'127.0.0.1', path:'/x'"));
  EXPECT_TRUE(owner.Logged("mon_http: 11 bytes read. testID:5, lid:7, host:'127.0.0.1', path:'/x'"));
  EXPECT_TRUE(
      owner.Logged("mon_http: end checking testID:5, lid:7, host:'127.0.0.1', path:'/x', isFull:'yes'"));

  // A failure's text comes from the seam, else the code's generic form.
  WaitIdle();
  owner.Clear();
  mon.SetProxy("");
  s.result = {HttpCheckOutcome::Failed, 12007, 0, 0};
  http.Set(s);
  mon.ResetSchedule();
  mon.MakeCheck();
  records = WaitRecords(1);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].str, std::vector<std::string>{"WinINet error 12007"});
  EXPECT_EQ(http.Requests().back().proxy, "");
}

TEST_F(HttpMonTest, HundredDueTestsBeginInOneTick) {
  FakeHttpCheck::Script s;
  s.hold = true;
  http.Set(s);
  for (int id = 1; id <= 100; ++id)
    ASSERT_TRUE(mon.ProcessTest(Line(Fields({{1, std::to_string(id)}})).c_str()));
  mon.MakeCheck();
  for (int i = 0; i < 500 && http.Requests().size() < 100; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(http.Requests().size(), 100u);
  mon.Stop();
}

TEST_F(HttpMonTest, StopWhileAServerHoldsItsAnswerPostsNothingAndARestartPostsOnlyNewChecks) {
  FakeHttpCheck::Script s;
  s.hold = true;
  http.Set(s);
  ASSERT_TRUE(mon.ProcessTest(Line(Fields({{10, "60"}})).c_str()));
  mon.MakeCheck();
  for (int i = 0; i < 500 && http.Requests().empty(); ++i) std::this_thread::sleep_for(10ms);
  ASSERT_EQ(http.Requests().size(), 1u);
  auto begin = std::chrono::steady_clock::now();
  mon.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 1500ms);
  WaitIdle();
  EXPECT_TRUE(owner.Records().empty());
  EXPECT_EQ(mon.TestCount(), 0u);  // a stop frees the tests

  s.hold = false;
  s.result = {HttpCheckOutcome::Done, 0, 204, 0};
  http.Set(s);
  ASSERT_TRUE(mon.ProcessTest(Line(Fields({{1, "6"}})).c_str()));
  mon.MakeCheck();
  auto records = WaitRecords(1);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].ui32[1], 6u);
}

TEST_F(HttpMonTest, ACheckThatOutlastsItsStopPostsNothingAfterTheRestart) {
  FakeHttpCheck::Script s;
  s.deafMs = 1800;  // past the stop's wait
  s.result = {HttpCheckOutcome::Done, 0, 200, 1};
  http.Set(s);
  ASSERT_TRUE(mon.ProcessTest(Line(Fields({{1, "8"}})).c_str()));
  mon.MakeCheck();
  for (int i = 0; i < 500 && http.Requests().empty(); ++i) std::this_thread::sleep_for(10ms);
  auto begin = std::chrono::steady_clock::now();
  mon.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 1500ms);
  EXPECT_EQ(mon.RunningChecks(), 1u);  // lingers, not killed

  s.deafMs = 0;
  http.Set(s);
  ASSERT_TRUE(mon.ProcessTest(Line(Fields({{1, "9"}})).c_str()));  // the restart waits for the late check
  mon.MakeCheck();
  auto records = WaitRecords(1);
  WaitIdle();
  records = owner.Decoded();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].ui32[1], 9u);
}

}  // namespace
