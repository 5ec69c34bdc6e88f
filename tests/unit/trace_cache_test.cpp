// Trace read once and again only after the Settings key changed: over the
// in-memory store, over the registry (Windows), and the worker's key opens
// across a pass of 100 tests.
#include "platform/config_values.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "platform/memory_config_store.h"
#ifdef _WIN32
#include "platform/win32/registry_store.h"
#else
#include "agent/MainWorker.h"
#include "corelib/MonResult2.h"
#include "tests/unit/fakes/worker_fakes.h"
#endif

namespace {

constexpr char kSettings[] = "SOFTWARE\\Halvren\\Settings";

// Counts the opens of the Settings key; everything else as the in-memory store.
class CountingStore : public platform::MemoryConfigStore {
 public:
  long open_key(const std::string& path, platform::ConfigAccess access,
                std::unique_ptr<platform::ConfigKey>& key) override {
    if (path == kSettings) ++settingsOpens;
    return MemoryConfigStore::open_key(path, access, key);
  }
  std::atomic<int> settingsOpens{0};
};

void SetTrace(platform::ConfigStore& store, uint32_t level) {
  std::unique_ptr<platform::ConfigKey> key;
  ASSERT_EQ(store.create_key(kSettings, key), 0);
  auto bytes = platform::encode_dword(level);
  ASSERT_EQ(key->write("Trace", platform::kTypeDword, bytes.data(), bytes.size()), 0);
}

// The same steps over any store: a change shows with the next read, nothing
// in between reads the key again, and a deleted key falls back to fresh reads.
void ChangesShowWithTheNextRead(platform::ConfigStore& store, const std::function<int()>& opens) {
  SetTrace(store, 0);
  platform::TraceLevelCache trace(store);
  EXPECT_EQ(trace.get(), 0u);
  const int afterFirst = opens();
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(trace.get(), 0u);
  EXPECT_EQ(opens(), afterFirst) << "unchanged Trace was read again";

  SetTrace(store, 10);
  EXPECT_EQ(trace.get(), 10u);
  SetTrace(store, 48);
  EXPECT_EQ(trace.get(), 48u);
  {
    std::unique_ptr<platform::ConfigKey> key;
    ASSERT_EQ(store.open_key(kSettings, platform::ConfigAccess::ReadWrite, key), 0);
    ASSERT_EQ(key->delete_value("Trace"), 0);
  }
  EXPECT_EQ(trace.get(), 0u);

  // The key deleted and made again: the old watch is lost, a new one follows.
  ASSERT_EQ(store.delete_tree("SOFTWARE\\Halvren", "Settings"), 0);
  EXPECT_EQ(trace.get(), 0u);
  SetTrace(store, 10);
  EXPECT_EQ(trace.get(), 10u);
  SetTrace(store, 0);
  EXPECT_EQ(trace.get(), 0u);
}

TEST(TraceLevelCache, InMemoryStore) {
  CountingStore store;
  ChangesShowWithTheNextRead(store, [&] { return store.settingsOpens.load(); });
}

TEST(TraceLevelCache, StoreThatCannotWatchReadsEveryTime) {
  struct Plain : CountingStore {
    std::unique_ptr<platform::ConfigWatch> watch_key(const std::string&) override { return nullptr; }
  } store;
  SetTrace(store, 10);
  platform::TraceLevelCache trace(store);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(trace.get(), 10u);
  EXPECT_EQ(store.settingsOpens.load(), 5);
}

#ifdef _WIN32
TEST(TraceLevelCache, Registry) {
  platform::RegistryStore store;
  std::unique_ptr<platform::ConfigKey> key;
  ASSERT_EQ(store.create_key("SOFTWARE\\Halvren", key), 0);
  ChangesShowWithTheNextRead(store, [] { return 0; });  // no count: the steps still hold
}
#else
// A pass of 100 tests (results cached, status and log lines on) opens the
// Settings key a handful of times, not several times per line.
TEST(TraceLevelCache, WorkerPassOfAHundredTestsOpensTheKeyAFewTimes) {
  CountingStore store;
  SetTrace(store, 0);
  std::unique_ptr<platform::ConfigKey> key;
  store.create_key("SOFTWARE\\Halvren\\Agent", key);
  WorkerFakes fakes;
  WorkerSeams seams = fakes.SeamsOver(store);
  seams.now = [] { return time_t{1700000000}; };
  CMainWorker worker(seams);
  std::string reply;
  for (int id = 1; id <= 100; ++id) reply += "CUA\t" + std::to_string(id) + "\t1\t-1\t-1\t-1\t-1\t-1\n";
  const int before = store.settingsOpens.load();
  worker.ProcessCommands(reply);
  for (int id = 1; id <= 100; ++id) {
    CMonResult2 r;
    r.create(0, 4, 1, 0, 1, 1);
    r.init(47, id, 1);
    r.add(uint32_t{0});
    worker.AddToCache(&r);
    worker.NotifyStatus(10, "mon_cpu: test " + std::to_string(id) + " checked");
    worker.AppendLog("a line");
  }
  EXPECT_LE(store.settingsOpens.load() - before, 6);
  EXPECT_EQ(worker.CachedResults(), 100u);

  SetTrace(store, 10);  // takes effect with the next line
  EXPECT_TRUE(worker.GetTrace());
  worker.StopAllWorks();
}
#endif

}  // namespace
