// The result senders against a fake API: what each server code does to a
// result or a deletion, renewals, the age limit, the caps, the waits and the
// thread's stop.
#include "agent/custom/ResultsSendThread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "agent/custom/MonitorManager.h"
#include "tests/unit/fakes/fake_custom_api.h"

namespace {

using namespace std::chrono_literals;
constexpr uint32_t kInf = CResultsSendThread::kInfinite;

struct Fixture {
  Fixture() : owner(api.transport), manager(owner) {
    owner.creds.agentKey = "AGENT";
    owner.creds.apiKey = "K0";
    owner.creds.secretKey = "S0";
    owner.creds.authToken = "T0";
    owner.creds.agentId = 5;
    sender.Attach(&owner, &manager);
  }
  CustomResult Result(int64_t age = 0) {
    CustomResult r;
    r.monitorId = 21;
    r.jobId = 11;
    r.pluginName = "P";
    r.checkTime = owner.Now() - age;
    r.results = "a:1;";
    return r;
  }
  int Count(const std::string& action) {
    const auto a = api.transport.Actions();
    return static_cast<int>(std::count(a.begin(), a.end(), action));
  }
  FakeCustomApi api;
  FakeCustomOwner owner;
  CMonitorManager manager;
  CResultsSendThread sender;
};

TEST(ResultSender, AddResultCodes) {
  const struct {
    const char* reply;  // null: the API's good answer
    size_t left;
    uint32_t wait;
    uint32_t statusCode;
    const char* line;
  } cases[] = {
      {nullptr, 0, kInf, 3, "Successfully sent 1 result(s)"},
      {"<error code=\"6\">p</error>", 0, kInf, 10, "Received invalid parameter results error"},
      {"<error code=\"7\">m</error>", 0, kInf, 10, "Received invalid monitor id error"},
      {"not xml <", 0, kInf, 10, "Received invalid result error"},
      {"<error code=\"12\">x</error>", 1, 60000, 9, "Failed sending result. (code: 12,"},
      {"", 1, 60000, 9, "Failed sending result. (code: -3,"},
  };
  for (const auto& c : cases) {
    Fixture f;
    if (c.reply) f.api.Script("addResult", c.reply);
    f.sender.AddResult(f.Result());
    EXPECT_EQ(f.sender.SendResults(), c.wait) << (c.reply ? c.reply : "ok");
    EXPECT_EQ(f.sender.QueuedResults(), c.left) << (c.reply ? c.reply : "ok");
    EXPECT_TRUE(f.owner.Said(c.statusCode, c.line)) << c.line;
  }
  Fixture f;  // the body carries the results, errors marked
  CustomResult r = f.Result();
  r.isError = true;
  f.sender.AddResult(r);
  f.sender.SendResults();
  EXPECT_NE(f.api.transport.Requests().back().body.find("results=error%3Aa%3A1%3B"), std::string::npos);
}

TEST(ResultSender, RenewalsRetryInTheSamePass) {
  {
    Fixture f;  // 4: a new token, then the result again
    f.api.Error("addResult", 4);
    f.sender.AddResult(f.Result());
    EXPECT_EQ(f.sender.SendResults(), kInf);
    EXPECT_EQ(f.sender.QueuedResults(), 0u);
    EXPECT_EQ(f.Count("authToken"), 1);
    EXPECT_EQ(f.Count("addResult"), 2);
    EXPECT_EQ(f.owner.creds.authToken, "T1");
  }
  {
    Fixture f;  // 3: a new API key (with its secret), a token, then the result
    f.api.Error("addResult", 3);
    f.sender.AddResult(f.Result());
    EXPECT_EQ(f.sender.SendResults(), kInf);
    EXPECT_EQ(f.sender.QueuedResults(), 0u);
    EXPECT_EQ(f.Count("apikey"), 1);
    EXPECT_EQ(f.owner.creds.apiKey, "K1");
  }
  {
    Fixture f;  // a token another sender stored meanwhile is taken, not asked again
    f.api.Error("addResult", 4);
    f.api.onRequest = [&](const std::string& action) {
      if (action == "addResult") f.owner.StoreAuthToken("T9");
    };
    f.sender.AddResult(f.Result());
    EXPECT_EQ(f.sender.SendResults(), kInf);
    EXPECT_EQ(f.Count("authToken"), 0);
    EXPECT_NE(f.api.transport.Requests().back().object.find("T9"), std::string::npos);
  }
  {
    Fixture f;  // a failed renewal retries after 10 s
    f.owner.creds.apiKey.clear();
    f.api.Error("apikey", 9);
    f.sender.AddResult(f.Result());
    EXPECT_EQ(f.sender.SendResults(), 10000u);
    EXPECT_EQ(f.sender.QueuedResults(), 1u);
    EXPECT_TRUE(f.owner.Said(9, "Failed getting new API key. (code: 9,"));
  }
}

TEST(ResultSender, DeletionCodes) {
  const struct {
    const char* reply;
    size_t left;
    uint32_t wait;
  } cases[] = {
      {nullptr, 0, kInf},
      {"<error code=\"10\">gone</error>", 0, kInf},
      {"<error code=\"12\">x</error>", 1, 60000},
      {"", 1, 60000},
  };
  for (const auto& c : cases) {
    Fixture f;
    if (c.reply) f.api.Script("deleteJob", c.reply);
    f.sender.AddRemoveJobs("7,8", "done");
    EXPECT_EQ(f.sender.SendResults(), c.wait);
    EXPECT_EQ(f.sender.QueuedDeletions(), c.left);
    EXPECT_NE(f.api.transport.Requests().back().object.find("jobIds=7,8"), std::string::npos);
    EXPECT_EQ(f.api.transport.Requests().back().body, "status=done");
  }
  Fixture f;  // a refused deletion ends the pass and its 60 s wait stands
  f.api.Error("deleteJob", 12);
  f.sender.AddRemoveJobs("7", "");
  f.sender.AddResult(f.Result());
  EXPECT_EQ(f.sender.SendResults(), 60000u);
  EXPECT_EQ(f.sender.QueuedDeletions(), 1u);
  EXPECT_EQ(f.Count("deleteJob"), 1);
  EXPECT_EQ(f.Count("addResult"), 0);
  // Once the deletion goes, the result follows in the same pass.
  EXPECT_EQ(f.sender.SendResults(), kInf);
  EXPECT_EQ(f.sender.QueuedDeletions() + f.sender.QueuedResults(), 0u);
}

TEST(ResultSender, AgeLimitAndEmptyQueues) {
  Fixture f;
  EXPECT_EQ(f.sender.SendResults(), kInf);
  EXPECT_TRUE(f.api.transport.Actions().empty());
  f.sender.AddResult(f.Result(181 * 60));
  f.sender.AddResult(f.Result(180 * 60));
  EXPECT_EQ(f.sender.SendResults(), kInf);
  EXPECT_EQ(f.Count("addResult"), 1);
  EXPECT_TRUE(f.owner.Said(10, "Result is too old. Skip sending"));
}

TEST(ResultSender, QueueCaps) {
  Fixture f;
  for (size_t i = 0; i <= CResultsSendThread::kMaxResults; ++i) {
    CustomResult r = f.Result();
    r.monitorId = static_cast<uint32_t>(i);
    f.sender.AddResult(r);
  }
  EXPECT_EQ(f.sender.QueuedResults(), CResultsSendThread::kMaxResults);
  EXPECT_EQ(f.sender.Results().front().monitorId, 1u);
  EXPECT_TRUE(
      f.owner.Said(10, "Result queue is full. Dropping the oldest result (threadID: 0, monitorid: 0)..."));
  Fixture g;
  CustomResult big = g.Result();
  big.results.assign(9u << 20, 'x');
  g.sender.AddResult(big);
  g.sender.AddResult(big);
  EXPECT_EQ(g.sender.QueuedResults(), 1u);
}

TEST(ResultSender, ThreadSendsAndStopsAtOnce) {
  Fixture f;
  f.sender.StartThread();
  f.sender.AddResult(f.Result());
  const auto until = std::chrono::steady_clock::now() + 5s;
  while (f.Count("addResult") == 0 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(5ms);
  EXPECT_EQ(f.Count("addResult"), 1);
  // A request that hangs is aborted by the stop.
  f.api.HangNext("addResult");
  f.sender.AddResult(f.Result());
  std::this_thread::sleep_for(100ms);
  const auto t0 = std::chrono::steady_clock::now();
  f.sender.SignalStop();
  EXPECT_TRUE(f.sender.FinishStop(t0 + 5s));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);
  const int posts = f.Count("addResult");
  f.sender.AddResult(f.Result());
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(f.Count("addResult"), posts);  // nothing after the stop
}

TEST(ResultSender, CredentialFailureHoldsOffNewRecords) {
  Fixture f;
  f.owner.creds.apiKey.clear();
  f.api.Error("apikey", 9);
  f.api.Error("apikey", 9);
  f.sender.StartThread();
  f.sender.AddResult(f.Result());
  const auto until = std::chrono::steady_clock::now() + 5s;
  while (f.Count("apikey") == 0 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(5ms);
  std::this_thread::sleep_for(50ms);
  f.sender.AddResult(f.Result());
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(f.Count("apikey"), 1);  // the next try waits out its 10 s
  EXPECT_EQ(f.sender.QueuedResults(), 2u);
  f.sender.SignalStop();
  EXPECT_TRUE(f.sender.FinishStop(std::chrono::steady_clock::now() + 5s));
}

}  // namespace
