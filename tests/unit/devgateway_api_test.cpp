// The development gateway's custom-monitor API without sockets: faults on
// demand, credential state, and which jobs a getJobs serves.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "tools/devgateway/custom_api.h"

namespace {

using namespace devgw;

TEST(DevgatewayApi, FaultSpecs) {
  const struct {
    const char* text;
    bool ok;
    ApiFault::Kind kind;
    int value;
  } cases[] = {
      {"getJobs #3: code 5", true, ApiFault::Code, 5},
      {"apikey #1: http 502", true, ApiFault::Http, 502},
      {"getJobs #2: hang 70", true, ApiFault::Hang, 70},
      {"addAgent #1: malformed", true, ApiFault::Malformed, 0},
      {"x #1: nocode", true, ApiFault::NoCode, 0},
      {"x #1: empty", true, ApiFault::Empty, 0},
      {"x #0: code 5", false, ApiFault::Code, 0},
      {"x: code 5", false, ApiFault::Code, 0},
      {"x #1: http 99", false, ApiFault::Http, 0},
      {"x #1: hang 601", false, ApiFault::Hang, 0},
      {"x #1: boom", false, ApiFault::Code, 0},
  };
  for (const auto& c : cases) {
    ApiFault f;
    std::string error;
    ASSERT_EQ(parse_api_fault(c.text, f, error), c.ok) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(f.kind, c.kind) << c.text;
    EXPECT_EQ(f.value, c.value) << c.text;
  }
}

ApiRequest Req(const std::string& query) {
  ApiRequest r;
  r.method = "GET";
  r.target = "/api?" + query;
  r.params = parse_query(query);
  return r;
}

std::string Between(const std::string& s, const std::string& tag) {
  size_t b = s.find("<" + tag + ">"), e = s.find("</" + tag + ">");
  return b == std::string::npos ? "" : s.substr(b + tag.size() + 2, e - b - tag.size() - 2);
}

TEST(DevgatewayApi, CredentialStateAndJobs) {
  const std::string jobs = testing::TempDir() + "devgateway_api_jobs.xml";
  {
    std::ofstream out(jobs);
    out << "<job><id>1</id><type>add</type></job>\n<job><id>2</id><type>run</type></job>\n";
  }
  ApiConfig config;
  config.agentKey = "AK";
  config.jobsFile = jobs;
  ApiFault fault;
  std::string error;
  ASSERT_TRUE(parse_api_fault("getJobs #2: code 4", fault, error));
  config.faults.push_back(fault);
  CustomApiLogic api(config, [] { return static_cast<time_t>(1492765503); });

  EXPECT_EQ(api.handle(Req("action=apikey&agentKey=BAD")).code, 3);
  auto keys = api.handle(Req("action=apikey&agentKey=AK"));
  ASSERT_EQ(keys.code, 0);
  const std::string key = Between(keys.reply.body, "apikey"), secret = Between(keys.reply.body, "secretkey");
  EXPECT_EQ(key.size(), 32u);
  EXPECT_EQ(api.handle(Req("action=authToken&apikey=" + key + "&secretkey=wrong")).code, 1);
  const std::string t1 = Between(
      api.handle(Req("action=authToken&apikey=" + key + "&secretkey=" + secret)).reply.body, "authToken");
  const std::string t2 = Between(
      api.handle(Req("action=authToken&apikey=" + key + "&secretkey=" + secret)).reply.body, "authToken");
  const std::string stamp = "&validation=token&timestamp=2017-04-21%2009:05:03&name=a&type=internal";
  auto stale = api.handle(Req("action=addAgent&apikey=" + key + "&authToken=" + t1 + stamp));
  EXPECT_EQ(stale.code, 4);
  EXPECT_EQ(stale.note, "Auth token expired");
  auto added = api.handle(Req("action=addAgent&apikey=" + key + "&authToken=" + t2 + stamp));
  ASSERT_EQ(added.code, 0);
  EXPECT_EQ(added.timestampCheck, "ok");
  const std::string id = Between(added.reply.body, "data");

  EXPECT_EQ(api.handle(Req("action=getJobs&apikey=" + key + "&agentId=4&lastJobId=0")).code, 5);
  EXPECT_EQ(api.handle(Req("action=getJobs&apikey=" + key + "&agentId=" + id + "&lastJobId=0")).code,
            4);  // fault
  auto all = api.handle(Req("action=getJobs&apikey=" + key + "&agentId=" + id + "&lastJobId=0"));
  EXPECT_EQ(all.reply.body,
            "<jobs><job><id>1</id><type>add</type></job><job><id>2</id><type>run</type></job></jobs>");
  EXPECT_EQ(api.handle(Req("action=getJobs&apikey=" + key + "&agentId=" + id + "&lastJobId=1")).reply.body,
            "<jobs><job><id>2</id><type>run</type></job></jobs>");
  // The run job is forgotten once reported deleted; the add job stays for a fresh agent.
  auto del = api.handle(Req("action=deleteJob&apikey=" + key + "&authToken=" + t2 +
                            "&validation=token&timestamp=2017-04-21%2009:05:03&jobIds=2"));
  EXPECT_EQ(del.code, 0);
  EXPECT_TRUE(del.recorded);
  EXPECT_EQ(api.handle(Req("action=getJobs&apikey=" + key + "&agentId=" + id + "&lastJobId=0")).reply.body,
            "<jobs><job><id>1</id><type>add</type></job></jobs>");
  EXPECT_EQ(api.download("../etc/passwd").reply.status, 404);
  std::remove(jobs.c_str());
}

}  // namespace
