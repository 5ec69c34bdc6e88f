// The custom-monitor API client and its transport under Wine, with real
// WinHTTP and MSXML 3, against devgateway (started by custom_api.sh with the
// faults these tests count on, in this order).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "agent/custom/CorvaneAPIRequest.h"
#include "agent/custom/CustomMonitor.h"
#include "platform/win32/winhttp_request.h"

namespace {

using namespace std::chrono_literals;

std::string Port(const char* name) {
  const char* v = getenv(name);
  return v ? v : "0";
}

std::unique_ptr<CCorvaneAPIRequest> Client(WinHttpTransport& t, const std::string& url,
                                           bool ignoreCerts = false) {
  CCorvaneAPIRequest::Setup s;
  s.transport = &t;
  s.apiUrl = url;
  s.email = "ops@example.org";
  s.agentName = "agent-it";
  s.ignoreCertErrors = ignoreCerts;
  return std::make_unique<CCorvaneAPIRequest>(s);
}

std::string Http() { return "http://127.0.0.1:" + Port("HALVREN_API_HTTP") + "/api"; }

TEST(CustomApiWine, FtpUrlGivesMinusOne) {
  WinHttpTransport t;
  auto c = Client(t, "ftp://127.0.0.1:" + Port("HALVREN_API_HTTP") + "/api");
  std::string key, secret;
  EXPECT_EQ(c->RequestApiKey("AK", key, secret), -1);
}

TEST(CustomApiWine, UnknownAgentKeyGivesCode3WithItsText) {
  WinHttpTransport t;
  auto c = Client(t, Http());
  std::string key, secret;
  EXPECT_EQ(c->RequestApiKey("BAD", key, secret), 3);
  EXPECT_EQ(c->LastError(), "Invalid agent key");
  EXPECT_EQ(c->LastStatus(), 200);
}

TEST(CustomApiWine, CredentialsAndJobsThroughMsxml) {
  WinHttpTransport t;
  auto c = Client(t, Http());
  std::string key, secret, token;
  ASSERT_EQ(c->RequestApiKey("AK", key, secret), 0);
  ASSERT_EQ(c->RequestAuthToken(key, secret, token), 0);
  uint32_t id = 0;
  ASSERT_EQ(c->RequestAddAgent("agent it", id), 0);
  EXPECT_GT(id, 1000u);
  std::vector<std::string> jobs;
  ASSERT_EQ(c->RequestJobs(id, 0, jobs), 0);
  ASSERT_EQ(jobs.size(), 2u);
  // MSXML's serialisation (indented under Wine) parses again to the same job.
  std::string summary;
  std::vector<std::string> lines;
  auto xml = [](int32_t& e) { return platform::create_xml_document(e); };
  CustomJob job = ParseCustomJob(jobs[0], 100, xml, summary, lines);
  EXPECT_EQ(job.jobId, 11u);
  EXPECT_EQ(job.type, CustomJob::Edit);
  EXPECT_EQ(job.monitorId, 7u);
  EXPECT_EQ(job.runnerFile, "SNMPMonitor.exe");
  EXPECT_EQ(job.maxParallelJobs, 200u);
  EXPECT_EQ(job.interval, 5u);
  job = ParseCustomJob(jobs[1], 100, xml, summary, lines);
  EXPECT_EQ(job.jobId, 0u);  // 99999999999
  EXPECT_EQ(job.type, CustomJob::RunCommand);
  EXPECT_EQ(job.password, "pw");
  EXPECT_NE(summary.find("; Run password: '***'"), std::string::npos);
  EXPECT_EQ(c->RequestDeleteJob("11", "done"), 0);
}

TEST(CustomApiWine, JobListHeldPastFiftySecondsGives12002AndTheClientGoesAtOnce) {
  WinHttpTransport t;
  auto c = Client(t, Http());
  std::vector<std::string> jobs;
  auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(c->RequestJobs(1001, 0, jobs), -3);  // fault: getJobs #2: hang 58
  const auto took = std::chrono::steady_clock::now() - begin;
  EXPECT_GE(took, 49s);
  EXPECT_LT(took, 56s);
  EXPECT_EQ(c->LastStatus(), 12002);
  begin = std::chrono::steady_clock::now();
  c.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 1s);
  JoinLeftoverHttpExchanges();
}

TEST(CustomApiWine, ServerErrorWithAnErrorBodyIsMinusThree) {
  WinHttpTransport t;
  auto c = Client(t, Http());
  std::string secret;
  EXPECT_EQ(c->RequestSecretKey(secret), -3);  // fault: secretkey #1: http 502
  EXPECT_EQ(c->LastError(), "General error in transport layer.");
}

TEST(CustomApiWine, MalformedReplyIsMinusTwoWithTheParserText) {
  WinHttpTransport t;
  auto c = Client(t, Http());
  std::string token;
  EXPECT_EQ(c->RequestAuthToken("x", "y", token), -2);  // fault: authToken #2: malformed
  EXPECT_EQ(c->LastError().rfind("XML parse error. '", 0), 0u) << c->LastError();
}

CHTTPRequest::Options Download() {
  CHTTPRequest::Options o;
  o.initialBuffer = 16384;
  o.limit = 16777216;
  return o;
}

TEST(CustomApiWine, ReplyHeldPastTheTimeoutGives12002AndTheClientGoesAtOnce) {
  WinHttpTransport t;
  auto r = CHTTPRequest::Create(t, Download(), nullptr);
  ASSERT_NE(r, nullptr);
  ASSERT_TRUE(r->Connect("127.0.0.1", static_cast<uint16_t>(atoi(Port("HALVREN_API_HTTP").c_str()))));
  auto begin = std::chrono::steady_clock::now();
  EXPECT_FALSE(r->MakeRequest("/files/small.zip", false, "", 2, "", ""));  // fault: files #1: hang 8
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 6s);
  std::string text;
  EXPECT_EQ(r->ErrorText(text), 12002u);
  begin = std::chrono::steady_clock::now();
  r.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 1s);
  JoinLeftoverHttpExchanges();
}

TEST(CustomApiWine, ReplyOverTheLimitFails) {
  WinHttpTransport t;
  auto r = CHTTPRequest::Create(t, Download(), nullptr);
  ASSERT_NE(r, nullptr);
  ASSERT_TRUE(r->Connect("127.0.0.1", static_cast<uint16_t>(atoi(Port("HALVREN_API_HTTP").c_str()))));
  EXPECT_FALSE(r->MakeRequest("/files/big.zip", false, "", 50, "", ""));
  EXPECT_EQ(r->LastError(), CHTTPRequest::kTooLargeError);
  EXPECT_GE(r->Reply().size(), 16777216u);
  EXPECT_TRUE(r->MakeRequest("/files/small.zip", false, "", 50, "", ""));
  EXPECT_EQ(r->Reply(), "PK small\n");
}

TEST(CustomApiWine, CertificateRefusedUnlessAllowed) {
  WinHttpTransport t;
  const std::string url = "https://127.0.0.1:" + Port("HALVREN_API_HTTPS") + "/api";
  std::string key, secret;
  auto refused = Client(t, url, false);
  EXPECT_EQ(refused->RequestApiKey("AK", key, secret), -3);
  EXPECT_TRUE(refused->LastStatus() == 12175 || refused->LastStatus() == 12157) << refused->LastStatus();
  auto allowed = Client(t, url, true);
  EXPECT_EQ(allowed->RequestApiKey("AK", key, secret), 0);
  EXPECT_FALSE(key.empty());
}

}  // namespace
