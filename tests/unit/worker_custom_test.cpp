// The worker's custom-monitor manager: created after authorisation with
// APIHost set, stopped with the work while a request hangs, freed on the
// main-loop thread before "All monitors are stopped."; none without APIHost.
#include <gtest/gtest.h>

#include <chrono>

#include "platform/memory_config_store.h"
#include "tests/unit/fakes/fake_custom_api.h"
#include "tests/unit/fakes/worker_fakes.h"

namespace {

class WorkerCustomTest : public ::testing::Test, protected WorkerFakes {
 protected:
  WorkerCustomTest() {
    CreateAgentKeys(store);
    Put(kAgentKey, "Agent Key", "KEY-1");
    Put(kAgentKey, "Agent Name", "agent-1");
    GatewayReply auth;
    auth.status = 200;
    auth.hasSession = true;
    auth.sessionId = "SESSION-1";
    exchange.Queue(auth);
  }
  void Put(const char* path, const char* name, const std::string& value) { PutString(store, path, name, value); }
  std::string Get(const char* name) {
    std::unique_ptr<platform::ConfigKey> key;
    if (store.open_key(kAgentKey, platform::ConfigAccess::Read, key) != 0) return "";
    std::vector<uint8_t> bytes;
    uint32_t type = 0;
    if (key->read(name, type, bytes) != 0) return "";
    auto text = platform::decode_string(type, bytes);
    return text ? *text : "";
  }
  std::unique_ptr<CMainWorker> Make() {
    WorkerSeams seams = SeamsOver(store);
    seams.initialListener = &status;
    seams.customHttp = &api.transport;
    return std::make_unique<CMainWorker>(seams);
  }
  int Count(const std::string& prefix) {
    int n = 0;
    for (auto& e : status.Events()) n += e.second.rfind(prefix, 0) == 0;
    return n;
  }
  size_t IndexOf(const std::string& text) {
    auto events = status.Events();
    for (size_t i = 0; i < events.size(); ++i)
      if (events[i].second == text) return i;
    return SIZE_MAX;
  }

  platform::MemoryConfigStore store;
  StatusRecorder status;
  FakeCustomApi api;
};

TEST_F(WorkerCustomTest, StopDuringAHangingJobFetchIsBoundedAndFreesTheManagerOnItsThread) {
  Put(kSettingsKey, "APIHost", "http://127.0.0.1:9/api");
  api.HangNext("getJobs");
  auto w = Make();
  ASSERT_TRUE(api.transport.WaitForRequests(4, 20s));
  EXPECT_EQ(api.transport.Actions(),
            (std::vector<std::string>{"apikey", "authToken", "addAgent", "getJobs"}));
  EXPECT_EQ(Get("APIKey"), "K1");
  EXPECT_EQ(Get("SecretKey"), "S1");
  EXPECT_EQ(Get("AuthToken"), "T1");
  auto begin = std::chrono::steady_clock::now();
  EXPECT_TRUE(w->StopAllWorks());
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
  EXPECT_EQ(w->GetWorkState(), CMainWorker::Stopped);
  EXPECT_EQ(Count("Failed getting"), 0);
  const size_t stopped = IndexOf("Result sending threads are stopped.");
  ASSERT_NE(stopped, SIZE_MAX);
  EXPECT_LT(stopped, IndexOf("All monitors are stopped."));
  w.reset();
}

TEST_F(WorkerCustomTest, WithoutAPIHostThereIsNoManagerAndOneLine) {
  auto w = Make();
  ASSERT_TRUE(exchange.WaitForRequests(2, 20s));
  // The pass that made the second exchange goes on to the custom monitors.
  for (int i = 0; i < 100 && Count("Custom monitors are off") == 0; ++i) std::this_thread::sleep_for(50ms);
  w->StopAllWorks();
  EXPECT_EQ(Count("Custom monitors are off: APIHost is not set."), 1);
  EXPECT_EQ(Count("Failed getting"), 0);
  EXPECT_TRUE(api.transport.Requests().empty());
}

}  // namespace
