// The custom-monitor side's request object over a scripted transport: the
// time-out rule, the reply's growth and limit, the session's open attempts,
// the headers, and exchanges that hang, fail to start or are cut short.
#include "agent/custom/HTTPRequest.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/unit/fakes/fake_http.h"

namespace {

using namespace std::chrono_literals;

TEST(HttpRequestRules, TimeoutOutsideOneDayMeansFifty) {
  const struct {
    uint32_t given, effective;
  } cases[] = {{0, 50}, {1, 1}, {50, 50}, {86400, 86400}, {86401, 50}, {4294967295u, 50}};
  for (const auto& c : cases) EXPECT_EQ(EffectiveTimeoutSeconds(c.given), c.effective) << c.given;
}

// A reader that hands over `body` in pieces of at most `piece` bytes and can
// fail after `failAfter` reads.
struct ScriptedReader {
  std::string body;
  size_t piece = 1000;
  int failAfter = -1;
  size_t at = 0;
  int reads = 0;
  std::vector<uint32_t> asked;
  platform::HttpRead Fn() {
    return [this](char* into, uint32_t want, uint32_t& got, uint32_t& error) {
      asked.push_back(want);
      if (failAfter >= 0 && reads++ >= failAfter) {
        error = 12030;
        return false;
      }
      got = static_cast<uint32_t>(std::min({static_cast<size_t>(want), body.size() - at, piece}));
      std::copy(body.data() + at, body.data() + at + got, into);
      at += got;
      return true;
    };
  }
};

TEST(HttpRequestRules, ReplyGrowsByDoublingChunksUpToTheLimit) {
  // Initial buffer 8: the first read asks for R = 7 bytes.
  const struct {
    size_t size, piece;
    int failAfter;
    uint32_t error;
    size_t kept;
  } cases[] = {
      {0, 1000, -1, 0, 0},      {1, 1000, -1, 0, 1},       {6, 1000, -1, 0, 6},
      {7, 1000, -1, 0, 7},      {40, 1000, -1, 0, 40},     {40, 3, -1, 0, 40},
      {64, 1000, -1, 12152, 0}, {500, 1000, -1, 12152, 0}, {40, 5, 2, 12030, 7},
  };
  for (const auto& c : cases) {
    ScriptedReader reader;
    for (size_t i = 0; i < c.size; ++i) reader.body += static_cast<char>('a' + i % 26);
    reader.piece = c.piece;
    reader.failAfter = c.failAfter;
    std::vector<std::string> lines;
    std::string reply;
    uint32_t error = ReadReplyBody(
        reader.Fn(), 8, 64, [&](const std::string& l) { lines.push_back(l); }, reply);
    EXPECT_EQ(error, c.error) << c.size;
    if (c.error == 12152) {
      // Stopped at the limit, passing it by at most the last read; the data stays.
      EXPECT_GE(reply.size(), 64u);
      EXPECT_EQ(reply, reader.body.substr(0, reply.size()));
    } else {
      EXPECT_EQ(reply.size(), c.kept) << c.size;
      EXPECT_EQ(reply, reader.body.substr(0, c.kept));
    }
    ASSERT_FALSE(reader.asked.empty());
    EXPECT_EQ(reader.asked[0], 7u);
    if (c.failAfter < 0) {
      EXPECT_EQ(lines.front().rfind("Buffer size: '8', Read size: '7', Bytes read: '", 0), 0u);
    }
  }
  // Full reads double the chunk: 8 -> +16 -> +32.
  ScriptedReader reader;
  reader.body = std::string(30, 'x');
  std::vector<std::string> lines;
  std::string reply;
  ReadReplyBody(
      reader.Fn(), 8, 1 << 20, [&](const std::string& l) { lines.push_back(l); }, reply);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], "Buffer size: '8', Read size: '7', Bytes read: '7', Raw size: '7'");
  EXPECT_EQ(lines[1], "Buffer size: '24', Read size: '15', Bytes read: '15', Raw size: '22'");
  EXPECT_EQ(lines[2], "Buffer size: '56', Read size: '31', Bytes read: '8', Raw size: '30'");
}

CHTTPRequest::Options Plain() {
  CHTTPRequest::Options o;
  o.initialBuffer = 64;
  o.limit = 1 << 20;
  return o;
}

TEST(HttpRequest, SessionOpenFallsBackToDefaultThenNoProxy) {
  FakeHttpTransport t;
  t.userProxy = "proxy.local:8080";
  t.failedOpens = 2;
  auto r = CHTTPRequest::Create(t, Plain(), nullptr);
  ASSERT_NE(r, nullptr);
  ASSERT_EQ(t.opens.size(), 3u);
  EXPECT_EQ(t.opens[0].first, platform::HttpProxyMode::Named);
  EXPECT_EQ(t.opens[0].second, "proxy.local:8080");
  EXPECT_EQ(t.opens[1].first, platform::HttpProxyMode::Default);
  EXPECT_EQ(t.opens[2].first, platform::HttpProxyMode::None);

  FakeHttpTransport none;
  none.failedOpens = 3;
  EXPECT_EQ(CHTTPRequest::Create(none, Plain(), nullptr), nullptr);

  FakeHttpTransport plain;  // no proxy anywhere: the default access type first
  ASSERT_NE(CHTTPRequest::Create(plain, Plain(), nullptr), nullptr);
  EXPECT_EQ(plain.opens.at(0).first, platform::HttpProxyMode::Default);
}

TEST(HttpRequest, ExchangeCarriesHeadersAndClearsTheLastReply) {
  FakeHttpTransport t([](const platform::HttpExchangeSpec& spec) {
    FakeHttpTransport::Reply r;
    if (spec.object == "/fail") r.error = 12029;
    r.body = "<ok/>";
    return r;
  });
  auto r = CHTTPRequest::Create(t, Plain(), nullptr);
  ASSERT_NE(r, nullptr);
  ASSERT_TRUE(r->MakeRequest("/api?x=1", true, "a=b", 0, "me@example.com", "agent one"));
  EXPECT_EQ(r->StatusCode(), 200u);
  EXPECT_EQ(r->Reply(), "<ok/>");
  std::string text;
  EXPECT_EQ(r->ErrorText(text), 0u);
  EXPECT_EQ(text, "No Error");
  auto spec = t.Requests().at(0);
  EXPECT_TRUE(spec.post);
  EXPECT_EQ(spec.body, "a=b");
  EXPECT_EQ(spec.timeoutSeconds, 50u);
  EXPECT_EQ(spec.headers,
            "Content-Type: application/x-www-form-urlencoded\r\nMon-Source: Agent\r\nMon-Email: "
            "me@example.com\r\nMon-AName: agent one\r\nMon-Platform: win64\r\nMon-Version: 4.02.14\r\n");

  EXPECT_FALSE(r->MakeRequest("/fail", false, "", 5, "", ""));
  EXPECT_EQ(r->StatusCode(), 0u);
  EXPECT_FALSE(r->HasReply());
  EXPECT_EQ(r->ErrorText(text), 12029u);
  EXPECT_EQ(text, "Unknown Error.");
}

TEST(HttpRequest, FailedThreadCreationIsRecorded) {
  FakeHttpTransport t;
  t.failThread = true;
  std::vector<std::string> lines;
  auto r = CHTTPRequest::Create(t, Plain(), [&](const std::string& l) { lines.push_back(l); });
  ASSERT_NE(r, nullptr);
  EXPECT_FALSE(r->MakeRequest("/api", false, "", 5, "", ""));
  EXPECT_EQ(r->LastError(), 1450u);
  EXPECT_EQ(lines.back(), "SendHTTPRequest thread creation failed with error '1450'");
}

TEST(HttpRequest, HangPastTheTimeoutGives12002AndDestructionDoesNotWait) {
  FakeHttpTransport t([](const platform::HttpExchangeSpec&) {
    FakeHttpTransport::Reply r;
    r.hang = true;
    r.ignoreAbort = true;  // as under Wine: closing the request does not end the call
    r.hangLimit = 4s;
    return r;
  });
  auto r = CHTTPRequest::Create(t, Plain(), nullptr);
  ASSERT_NE(r, nullptr);
  auto begin = std::chrono::steady_clock::now();
  EXPECT_FALSE(r->MakeRequest("/api", false, "", 1, "", ""));
  auto took = std::chrono::steady_clock::now() - begin;
  EXPECT_LT(took, 3500ms);  // 1 s, then at most 2 s for the closed request
  std::string text;
  EXPECT_EQ(r->ErrorText(text), 12002u);
  EXPECT_EQ(text, "The operation timed out");
  EXPECT_GE(t.Aborts(), 1);
  // The session is still in that call: the next exchange fails at once.
  EXPECT_FALSE(r->MakeRequest("/api", false, "", 1, "", ""));
  EXPECT_EQ(t.Requests().size(), 1u);
  begin = std::chrono::steady_clock::now();
  r.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 500ms);
  EXPECT_EQ(LeftoverHttpExchanges(), 1u);
  JoinLeftoverHttpExchanges();  // the call ends after its own limit
  EXPECT_EQ(LeftoverHttpExchanges(), 0u);
}

TEST(HttpRequest, AbortFromAnotherThreadEndsTheExchangeAndLaterOnes) {
  FakeHttpTransport t([](const platform::HttpExchangeSpec&) {
    FakeHttpTransport::Reply r;
    r.hang = true;
    return r;
  });
  auto r = CHTTPRequest::Create(t, Plain(), nullptr);
  ASSERT_NE(r, nullptr);
  std::thread stopper([&] {
    t.WaitForRequests(1);
    r->Abort();
  });
  auto begin = std::chrono::steady_clock::now();
  EXPECT_FALSE(r->MakeRequest("/api", false, "", 50, "", ""));
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
  stopper.join();
  EXPECT_EQ(r->LastError(), CHTTPRequest::kCancelledError);
  EXPECT_FALSE(r->MakeRequest("/api", false, "", 50, "", ""));
  EXPECT_EQ(t.Requests().size(), 1u);
}

}  // namespace
