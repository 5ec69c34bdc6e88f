// The custom-monitor API client over a scripted transport and the platform's
// XML reader: the request forms, the encoding, the timestamp, the numbers,
// and how every kind of reply maps to a code.
#include "agent/custom/CorvaneAPIRequest.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/unit/fakes/fake_http.h"

namespace {

TEST(CustomApiText, EncodingKeepsOnlyLettersAndDigits) {
  const struct {
    const char *in, *out;
  } cases[] = {{"a b-c", "a%20b%2Dc"}, {"", ""},
               {"Az09", "Az09"},       {"x.y_z~", "x%2Ey%5Fz%7E"},
               {"\xC3\xA9", "%C3%A9"}, {"me@ex.com", "me%40ex%2Ecom"}};
  for (const auto& c : cases) EXPECT_EQ(UrlEncode(c.in), c.out) << c.in;
}

TEST(CustomApiText, TimestampIsUtc) {
  EXPECT_EQ(ApiTimestamp(1492765503), "2017-04-21 09:05:03");
  EXPECT_EQ(ApiTimestamp(0), "1970-01-01 00:00:00");
  EXPECT_EQ(ApiTimestamp(951782400), "2000-02-29 00:00:00");
}

TEST(CustomApiText, NumbersAre32BitLeadingDigits) {
  const struct {
    const char* in;
    uint32_t out;
  } cases[] = {{"42", 42},
               {" 7x", 7},
               {"abc", 0},
               {"", 0},
               {"4294967295", 4294967295u},
               {"4294967296", 4294967295u},
               {"99999999999", 4294967295u},
               {"-1", 4294967295u},
               {"-0", 0},
               {"+5", 5}};
  for (const auto& c : cases) EXPECT_EQ(ReadUnsigned32(c.in), c.out) << c.in;
}

struct Api {
  explicit Api(FakeHttpTransport::Handler h, std::string url = "http://127.0.0.1:8080/api")
      : transport(std::move(h)) {
    CCorvaneAPIRequest::Setup s;
    s.transport = &transport;
    s.apiUrl = std::move(url);
    s.apiKey = "KEY1";
    s.authToken = "TOK1";
    s.email = "me@example.com";
    s.agentName = "agent";
    s.now = [] { return static_cast<time_t>(1492765503); };
    s.log = [this](const std::string& l) { lines.push_back(l); };
    client = std::make_unique<CCorvaneAPIRequest>(std::move(s));
  }
  FakeHttpTransport transport;
  std::vector<std::string> lines;
  std::unique_ptr<CCorvaneAPIRequest> client;
};

FakeHttpTransport::Handler Body(std::string body, uint32_t status = 200) {
  return [body, status](const platform::HttpExchangeSpec&) {
    FakeHttpTransport::Reply r;
    r.status = status;
    r.body = body;
    return r;
  };
}

TEST(CustomApi, RequestFormsAreExact) {
  Api api(
      Body("<result><status>ok</status><agentKey>A</agentKey><apikey>K2</apikey><secretkey>S</secretkey>"
           "<data>12</data></result>"));
  std::string s1, s2;
  uint32_t id = 0;
  std::vector<std::string> jobs;
  EXPECT_EQ(api.client->RequestAgentKey("me@ex.com", "HASH", s1), 0);
  EXPECT_EQ(api.client->RequestApiKey("AGENT-KEY", s1, s2), 0);
  EXPECT_EQ(api.client->RequestSecretKey(s2), 0);
  EXPECT_EQ(api.client->RequestAddAgent("my agent", id), 0);
  EXPECT_EQ(id, 12u);
  EXPECT_EQ(api.client->RequestAddResult(7, 9, "plug in", 1000, "a=b", true), 0);
  EXPECT_EQ(api.client->RequestDeleteJob("1,2", "done ok"), 0);
  EXPECT_EQ(api.client->RequestJobs(12, 0, jobs), -2);  // no `jobs` root
  const auto requests = api.transport.Requests();
  ASSERT_EQ(requests.size(), 7u);
  const char* tail = "&output=xml&recordApiCall=false&version=2";
  const std::string token = "&validation=token&authToken=TOK1&timestamp=2017-04-21 09:05:03&";
  EXPECT_EQ(requests[0].object,
            std::string("/api?action=agentkey&userName=me%40ex%2Ecom&password=HASH") + tail);
  EXPECT_EQ(requests[1].object, std::string("/api?action=apikey&agentKey=AGENT-KEY") + tail);
  // The new API key replaces the instance's own.
  EXPECT_EQ(requests[2].object, std::string("/api?action=secretkey&apikey=K2") + tail);
  EXPECT_EQ(requests[3].object,
            "/api?action=addAgent&apikey=K2" + token + "name=my%20agent&type=internal" + tail);
  EXPECT_TRUE(requests[3].post);
  EXPECT_EQ(requests[3].body, "");
  EXPECT_EQ(requests[4].object, "/api?action=addResult&apikey=K2" + token +
                                    "monitorId=7&jobId=9&pluginName=plug%20in&checktime=1000000" + tail);
  EXPECT_EQ(requests[4].body, "results=error%3Aa%3Db");
  EXPECT_EQ(requests[5].object, "/api?action=deleteJob&apikey=K2" + token + "jobIds=1,2" + tail);
  EXPECT_EQ(requests[5].body, "status=done%20ok");
  EXPECT_EQ(requests[6].object, std::string("/api?action=getJobs&apikey=K2&agentId=12&lastJobId=0") + tail);
  EXPECT_FALSE(requests[6].post);
  EXPECT_EQ(api.lines.front(), "Creating HTTP request. proxyServer '', secure '0'");
}

TEST(CustomApi, ReplyCodes) {
  const struct {
    const char* body;
    uint32_t status;
    int32_t code;
    const char* text;  // the error text, or its beginning with a trailing '*'
  } cases[] = {
      {"<error code=\"3\">Invalid api key</error>", 200, 3, "Invalid api key"},
      {"<error code=\"3\">Invalid api key</error>", 502, -3, "General error in transport layer."},
      {"", 200, -3, "General error in transport layer."},
      {"<error code='5'", 200, -2, "XML parse error. '*"},
      {"<other/>", 200, -2, "XML doesn't contain node 'error' at root level."},
      {"<error>no code</error>", 200, -2, "no code"},
      {"<error code=\"abc\">bad</error>", 200, -2, "bad"},
      {"<error code=\"0\">zero</error>", 200, -2, "zero"},
      {"<error code=\"99999999999\">big</error>", 200, -1, "big"},
      {"<result><data>0</data></result>", 200, -2, "XML doesn't contain node 'error' at root level."},
      // Refused natively; MSXML under Wine loads it without expanding the entity.
      {"<!DOCTYPE r [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><result><data>&x;</data></result>", 200, -2,
       nullptr},
  };
  for (const auto& c : cases) {
    Api api(Body(c.body, c.status));
    uint32_t id = 0;
    EXPECT_EQ(api.client->RequestAddAgent("a", id), c.code) << c.body;
    std::string expected = c.text ? c.text : "";
    if (!c.text) {
      EXPECT_EQ(api.client->LastError().find("root:"), std::string::npos);
    } else if (!expected.empty() && expected.back() == '*') {
      expected.pop_back();
      EXPECT_EQ(api.client->LastError().rfind(expected, 0), 0u) << api.client->LastError();
    } else {
      EXPECT_EQ(api.client->LastError(), expected) << c.body;
    }
    EXPECT_EQ(id, 0u);
  }
}

TEST(CustomApi, SuccessShapes) {
  {
    Api api(Body("<result><status>OK</status></result>"));
    EXPECT_EQ(api.client->RequestAddResult(1, 2, "p", 3, "", false), 0);
    EXPECT_EQ(api.transport.Requests().at(0).body, "");
  }
  {
    Api api(Body("<jobs></jobs>"));
    std::vector<std::string> jobs;
    EXPECT_EQ(api.client->RequestJobs(1, 0, jobs), 0);
    EXPECT_TRUE(jobs.empty());
  }
  {
    Api api(Body("<jobs><job><id>4</id></job><other/><job a=\"&amp;\"><id>5</id></job></jobs>"));
    std::vector<std::string> jobs;
    EXPECT_EQ(api.client->RequestJobs(1, 0, jobs), 0);
    ASSERT_EQ(jobs.size(), 2u);
    // MSXML under Wine indents what it serialises.
    for (auto& job : jobs)
      job.erase(
          std::remove_if(job.begin(), job.end(), [](char c) { return c == '\r' || c == '\n' || c == '\t'; }),
          job.end());
    EXPECT_EQ(jobs[0], "<job><id>4</id></job>");
    EXPECT_EQ(jobs[1], "<job a=\"&amp;\"><id>5</id></job>");
  }
  {
    Api api(Body("<authToken>\n  T-9\n</authToken>"));
    std::string token;
    EXPECT_EQ(api.client->RequestAuthToken("K", "S", token), 0);
    EXPECT_EQ(token, "T-9");
    EXPECT_EQ(api.client->AuthToken(), "T-9");
  }
  {
    // No secretkey in the reply: the caller's value stays.
    Api api(Body("<result><apikey>K9</apikey></result>"));
    std::string key, secret = "old";
    EXPECT_EQ(api.client->RequestApiKey("me@ex.com", "H", key, secret), 0);
    EXPECT_EQ(key, "K9");
    EXPECT_EQ(secret, "old");
  }
}

TEST(CustomApi, NoTransportMeansMinusOneAndNoTraffic) {
  for (const char* url : {"ftp://127.0.0.1/api", "not a url", ""}) {
    Api api(Body("<result/>"), url);
    std::string key;
    EXPECT_FALSE(api.client->HasTransport());
    EXPECT_EQ(api.client->RequestAgentKey("a", "b", key), -1) << url;
    EXPECT_TRUE(api.transport.Requests().empty());
    EXPECT_TRUE(api.transport.opens.empty());
  }
  // Host and path bounds.
  Api longHost(Body(""), "http://" + std::string(256, 'h') + "/api");
  EXPECT_FALSE(longHost.client->HasTransport());
  Api longPath(Body(""), "http://h/" + std::string(2084, 'p'));
  EXPECT_FALSE(longPath.client->HasTransport());
}

TEST(CustomApi, TransportFailureIsMinusThreeWithItsText) {
  Api api([](const platform::HttpExchangeSpec&) {
    FakeHttpTransport::Reply r;
    r.error = 12029;
    return r;
  });
  std::vector<std::string> jobs;
  EXPECT_EQ(api.client->RequestJobs(1, 0, jobs), -3);
  EXPECT_EQ(api.client->LastStatus(), 12029);
  EXPECT_EQ(api.client->LastError(), "General error in transport layer.");
  bool logged = false;
  for (const auto& l : api.lines) logged |= l == "Request failed with error 12029:'Unknown Error.'";
  EXPECT_TRUE(logged);
}

}  // namespace
