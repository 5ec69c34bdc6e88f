// The result cache on its own: batching, ageing, confirmation, its log lines
// and the Trace dumps, with the log captured and Trace in an in-memory store.
#include "agent/ResultCache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "corelib/MonResult2.h"
#include "platform/config_values.h"
#include "platform/memory_config_store.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A record of exactly `size` bytes (at least 54) with test identifier `id`.
// Stamped records carry the current time as their result time, the others 0.
CMonResult2 Record(uint32_t id, uint32_t size, bool stamped = true) {
  CMonResult2 r;
  r.create(0, 3, 1, 0, 0, 1);
  if (stamped) {
    r.init(44, id, 1);
  } else {
    r.add(int64_t{0});
    r.add(uint32_t{44});
    r.add(id);
    r.add(uint32_t{1});
  }
  r.add(std::string(size - 53, 'x').c_str());
  EXPECT_EQ(r.get_size(), size);
  return r;
}

// A record without I64 values, so that its printed form does not depend on
// the time zone: type, test identifier, lid 3, `more` zeros and one string.
CMonResult2 Plain(uint32_t type, uint32_t id, const char* text, uint32_t more = 0) {
  CMonResult2 r;
  r.create(0, 3 + more, 0, 0, 0, 1);
  r.add(type);
  r.add(id);
  r.add(uint32_t{3});
  for (uint32_t i = 0; i < more; ++i) r.add(uint32_t{0});
  r.add(text);
  return r;
}

// Adds with the clock at 0, when no record is old yet: for the tests of
// everything but the ageing on add.
void Add(CResultCache& cache, const CMonResult2& r) { cache.AddToCache(&r, 60, 0); }

Bytes BytesOf(const CMonResult2& r) {
  const auto* p = static_cast<const uint8_t*>(r.get_pointer());
  return Bytes(p, p + r.get_size());
}

// Test identifiers of the records in a batch, walked by their lengths.
std::vector<uint32_t> Ids(const Bytes& batch) {
  std::vector<uint32_t> ids;
  for (size_t at = 0; at + 32 <= batch.size();) {
    uint32_t length, i32Count, id;
    memcpy(&length, &batch[at], 4);
    memcpy(&i32Count, &batch[at + 4], 4);
    memcpy(&id, &batch[at + 32 + 4 * i32Count + 4], 4);
    ids.push_back(id);
    if (length == 0) break;
    at += length;
  }
  return ids;
}

class ResultCacheTest : public ::testing::Test {
 protected:
  ResultCacheTest() { SetTrace(10); }

  void SetTrace(uint32_t level) {
    std::unique_ptr<platform::ConfigKey> key;
    ASSERT_EQ(store.create_key(platform::kSettingsKeyPath, key), 0);
    auto data = platform::encode_dword(level);
    ASSERT_EQ(key->write(platform::kTraceValueName, platform::kTypeDword, data.data(), data.size()), 0);
  }

  // The captured lines that start with `prefix`.
  std::vector<std::string> Lines(const std::string& prefix) const {
    std::vector<std::string> found;
    for (const std::string& line : log)
      if (line.compare(0, prefix.size(), prefix) == 0) found.push_back(line);
    return found;
  }

  platform::MemoryConfigStore store;
  std::vector<std::string> log;
  CResultCache cache{store, [this](const std::string& line) { log.push_back(line); }, 64};
  CResultCache::BatchToken token = CResultCache::kNoBatch;
  const time_t now = time(nullptr);
};

TEST_F(ResultCacheTest, BatchesAreBoundedInBytesAndTheFirstEntryAlwaysGoes) {
  struct Case {
    const char* name;
    std::vector<uint32_t> sizes;
    uint32_t bufferSize;
    std::vector<size_t> batches;  // records in each successive batch
  };
  const Case cases[] = {
      {"oversized record alone", {300000}, 16384, {1}},
      {"oversized record, then the rest", {300000, 100, 100}, 16384, {1, 2}},
      {"oversized record is not added to a batch", {100, 300000}, 16384, {1, 1}},
      {"10000 bytes, one per batch", {10000, 10000, 10000}, 16384, {1, 1, 1}},
      {"10000 bytes, two per batch", {10000, 10000, 10000}, 20000, {2, 1}},
      {"exactly the buffer size", {8192, 8192, 100}, 16384, {2, 1}},
  };
  uint32_t id = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Bytes> records;
    for (uint32_t size : c.sizes) {
      CMonResult2 r = Record(++id, size);
      Add(cache, r);
      records.push_back(BytesOf(r));
    }
    log.clear();
    size_t next = 0;
    for (size_t count : c.batches) {
      Bytes batch;
      ASSERT_TRUE(cache.GetFromCache(batch, token, c.bufferSize, 60, now));
      Bytes expected;
      for (size_t i = next; i < next + count; ++i)
        expected.insert(expected.end(), records[i].begin(), records[i].end());
      EXPECT_EQ(batch, expected);
      const size_t left = records.size() - next;
      EXPECT_EQ(Lines("GetFromCache: returning"),
                std::vector<std::string>{"GetFromCache: returning " + std::to_string(count) + " results, " +
                                         std::to_string(expected.size()) +
                                         " bytes, cache size: " + std::to_string(left) + " results"});
      cache.EmptyCacheBuffer(token);
      next += count;
      EXPECT_EQ(Lines("EmptyCacheBuffer"),
                std::vector<std::string>{"EmptyCacheBuffer: removed " + std::to_string(count) +
                                         " results, cache size: " + std::to_string(records.size() - next) +
                                         " results"});
      log.clear();
    }
    EXPECT_EQ(next, records.size());
    EXPECT_EQ(cache.Count(), 0u);
  }
}

TEST_F(ResultCacheTest, OnlyTheFrontIsAged) {
  // Records are stamped now (T) or carry time 0; `now` is T plus an offset.
  struct Case {
    const char* name;
    std::vector<bool> stamped;
    int64_t sinceStamp;
    uint32_t limitMinutes;
    size_t removed;              // from the front
    std::vector<uint32_t> sent;  // identifiers, numbered from 1 in arrival order
  };
  const Case cases[] = {
      {"3600 seconds old is sent", {true}, 3600, 60, 0, {1}},
      {"3601 seconds old is dropped", {true}, 3601, 60, 1, {}},
      {"old front entries go, the young one behind is sent", {false, false, true}, 5, 60, 2, {3}},
      {"a young front entry shields an old one", {true, false}, 3600, 60, 0, {1, 2}},
      {"the limit follows the setting", {true}, 14400 * 60 + 1, 14400, 1, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CResultCache fresh(
        store, [this](const std::string& line) { log.push_back(line); }, 64);
    std::vector<int64_t> times;
    int64_t stamp = 0;
    for (size_t i = 0; i < c.stamped.size(); ++i) {
      CMonResult2 r = Record(static_cast<uint32_t>(i + 1), 100, c.stamped[i]);
      times.push_back(r.get_result_time());
      if (c.stamped[i]) stamp = r.get_result_time();
      Add(fresh, r);
    }
    log.clear();
    Bytes batch;
    const time_t at = static_cast<time_t>(stamp + c.sinceStamp);
    EXPECT_EQ(fresh.GetFromCache(batch, token, 16384, c.limitMinutes, at), !c.sent.empty());
    EXPECT_EQ(Ids(batch), c.sent);
    std::vector<std::string> removed;
    for (size_t i = 0; i < c.removed; ++i) {
      removed.push_back("GetFromCache: Removed old result. age: " + std::to_string(at - times[i]) +
                        " seconds, cache size: " + std::to_string(times.size() - i - 1) + " results");
    }
    EXPECT_EQ(Lines("GetFromCache: Removed old result."), removed);
    EXPECT_EQ(fresh.Count(), c.sent.size());
    EXPECT_EQ(Lines("GetFromCache: returning empty content").size(), c.sent.empty() ? 1u : 0u);
  }
}

TEST_F(ResultCacheTest, UnconfirmedBatchIsBuiltAgainFromTheFront) {
  std::vector<CMonResult2> records;
  for (uint32_t id = 1; id <= 5; ++id) records.push_back(Record(id, 10000));
  for (int i = 0; i < 3; ++i) Add(cache, records[i]);
  Bytes first, again;
  ASSERT_TRUE(cache.GetFromCache(first, token, 20000, 60, now));
  EXPECT_EQ(Ids(first), (std::vector<uint32_t>{1, 2}));
  // The exchange failed: no confirmation. The next batch starts with the same
  // records, and its confirmation removes just those.
  ASSERT_TRUE(cache.GetFromCache(again, token, 20000, 60, now));
  EXPECT_EQ(again, first);
  cache.EmptyCacheBuffer(token);
  EXPECT_EQ(cache.Count(), 1u);
  // A batch built again may take more records than the one before.
  Add(cache, records[3]);
  Add(cache, records[4]);
  ASSERT_TRUE(cache.GetFromCache(first, token, 20000, 60, now));
  EXPECT_EQ(Ids(first), (std::vector<uint32_t>{3, 4}));
  ASSERT_TRUE(cache.GetFromCache(again, token, 40000, 60, now));
  EXPECT_EQ(Ids(again), (std::vector<uint32_t>{3, 4, 5}));
  EXPECT_EQ(cache.Count(), 3u);

  cache.EmptyCacheBuffer(token);
  EXPECT_EQ(cache.Count(), 0u);
  // A confirmation with no batch handed out since removes nothing.
  CMonResult2 d = Record(4, 100);
  Add(cache, d);
  cache.EmptyCacheBuffer(token);
  EXPECT_EQ(cache.Count(), 1u);
  // Nor does one after a call that found nothing to send.
  Bytes none;
  EXPECT_FALSE(cache.GetFromCache(none, token, 16384, 60, d.get_result_time() + 3601));
  Add(cache, d);
  cache.EmptyCacheBuffer(token);
  EXPECT_EQ(cache.Count(), 1u);
}

TEST_F(ResultCacheTest, TheFrontAgesOnAddAndOnEveryPassWithoutBatches) {
  // Limit 60 minutes; nothing is ever taken, as while the agent is not
  // authorised. Records 1 and 3 carry time 0, 2 and 4 the time S they were made.
  CMonResult2 r1 = Record(1, 100, false), r2 = Record(2, 100), r3 = Record(3, 100, false),
              r4 = Record(4, 100);
  const int64_t S = r2.get_result_time();
  const std::string age = "Removed old result. age: ";
  struct Step {
    const CMonResult2* added;  // null: an ageing pass
    int64_t clock;
    std::vector<std::string> removed;  // the lines "...: Removed old result. ..."
    size_t count;
  };
  const Step steps[] = {
      {&r1, 0, {}, 1},
      {nullptr, 3600, {}, 1},  // exactly 3600 seconds old stays
      {&r2, 3601, {"AddToCache: " + age + "3601 seconds, cache size: 0 results"}, 1},
      // An old record goes in behind a young one; it is looked at once it is the front.
      {&r3, S, {}, 2},
      {nullptr, S + 3600, {}, 2},
      {nullptr,
       S + 3601,
       {"AgeCache: " + age + "3601 seconds, cache size: 1 results",
        "AgeCache: " + age + std::to_string(S + 3601) + " seconds, cache size: 0 results"},
       0},
      {&r4, S, {}, 1},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.added ? "add at " + std::to_string(s.clock) : "pass at " + std::to_string(s.clock));
    log.clear();
    if (s.added) {
      cache.AddToCache(s.added, 60, static_cast<time_t>(s.clock));
    } else {
      cache.AgeCache(60, static_cast<time_t>(s.clock));
    }
    std::vector<std::string> removed;
    for (const std::string& line : log)
      if (line.find(": Removed old result.") != std::string::npos) removed.push_back(line);
    EXPECT_EQ(removed, s.removed);
    EXPECT_EQ(cache.Count(), s.count);
  }
  Bytes batch;
  ASSERT_TRUE(cache.GetFromCache(batch, token, 16384, 60, static_cast<time_t>(S)));
  EXPECT_EQ(Ids(batch), std::vector<uint32_t>{4});
}

TEST_F(ResultCacheTest, TheByteCapRemovesTheOldestButNeverTheNewest) {
  CResultCache capped(
      store, [this](const std::string& line) { log.push_back(line); }, 1);
  struct Step {
    uint32_t size;
    std::vector<uint32_t> removedSizes;  // oldest first
    std::vector<uint32_t> left;          // identifiers, numbered from 1 in arrival order
  };
  const std::vector<uint32_t> ten{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  const Step steps[] = {
      // Ten records of 100,000 bytes fit in 1 MiB; the eleventh pushes out the first.
      {100000, {}, {1}},
      {100000, {}, {1, 2}},
      {800000, {}, {1, 2, 3}},
      {100000, {100000}, {2, 3, 4}},
      // A record above the cap on its own stays, alone.
      {1100000, {100000, 800000, 100000}, {5}},
      {100, {1100000}, {6}},
      {1048476, {}, {6, 7}},  // exactly the cap
      {54, {100}, {7, 8}},
  };
  uint32_t id = 0;
  for (const Step& s : steps) {
    SCOPED_TRACE(id + 1);
    log.clear();
    CMonResult2 r = Record(++id, s.size);
    capped.AddToCache(&r, 60, 0);
    std::vector<std::string> expected;
    size_t count = capped.Count() + s.removedSizes.size();
    for (uint32_t removed : s.removedSizes) {
      expected.push_back("AddToCache: cache limit of 1 MB reached, removed the oldest result (" +
                         std::to_string(removed) + " bytes), cache size: " + std::to_string(--count) +
                         " results");
    }
    EXPECT_EQ(Lines("AddToCache: cache limit"), expected);
    ASSERT_EQ(capped.Count(), s.left.size());
    Bytes batch;
    ASSERT_TRUE(capped.GetFromCache(batch, token, 4000000, 60, 0));
    EXPECT_EQ(Ids(batch), s.left);
  }
  // The removal lines follow the "Added" line of the record that caused them.
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[0], "AddToCache: Added 54 bytes, cache size: 3 results");
  EXPECT_EQ(log[1].rfind("AddToCache: cache limit of 1 MB reached", 0), 0u) << log[1];
}

TEST_F(ResultCacheTest, AConfirmationRemovesWhatTheCapAndAgeingLeftOfItsBatch) {
  // Records 1 to 3 form the batch; the first `old` of them carry time 0, the
  // others the present. All are 100,000 bytes, the cap 1 MiB; the clock is 0
  // but for the ageing pass at 3601, which removes the records of time 0.
  struct Case {
    const char* name;
    uint32_t old;
    uint32_t addedMeanwhile;  // beyond the five cached: each one past ten cuts one
    bool pass;
    size_t confirmed;
  };
  const Case cases[] = {
      {"nothing meanwhile", 0, 2, false, 3},
      {"the cap cut one", 0, 6, false, 2},
      {"the cap cut one, ageing another", 2, 6, true, 1},
      {"ageing took all of it", 3, 0, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CResultCache capped(
        store, [this](const std::string& line) { log.push_back(line); }, 1);
    uint32_t id = 0;
    for (; id < 5; ++id) {
      CMonResult2 r = Record(id + 1, 100000, id >= c.old);
      Add(capped, r);
    }
    Bytes batch;
    ASSERT_TRUE(capped.GetFromCache(batch, token, 300000, 60, 0));
    ASSERT_EQ(Ids(batch), (std::vector<uint32_t>{1, 2, 3}));
    for (uint32_t i = 0; i < c.addedMeanwhile; ++i) {
      CMonResult2 r = Record(++id, 100000);
      Add(capped, r);
    }
    if (c.pass) capped.AgeCache(60, 3601);
    const size_t before = capped.Count();
    log.clear();
    capped.EmptyCacheBuffer(token);
    EXPECT_EQ(capped.Count(), before - c.confirmed);
    EXPECT_EQ(log, std::vector<std::string>{"EmptyCacheBuffer: removed " + std::to_string(c.confirmed) +
                                            " results, cache size: " + std::to_string(before - c.confirmed) +
                                            " results"});
    ASSERT_TRUE(capped.GetFromCache(batch, token, 100000, 60, 0));
    EXPECT_EQ(Ids(batch), std::vector<uint32_t>{4});
  }
}

TEST_F(ResultCacheTest, OnlyThePendingTokenConfirms) {
  std::vector<CMonResult2> records;
  for (uint32_t id = 1; id <= 6; ++id) records.push_back(Record(id, 10000));
  for (int i = 0; i < 3; ++i) Add(cache, records[i]);
  Bytes batch;
  CResultCache::BatchToken first, second;
  ASSERT_TRUE(cache.GetFromCache(batch, first, 20000, 60, now));
  ASSERT_TRUE(cache.GetFromCache(batch, second, 40000, 60, now));
  EXPECT_NE(first, second);
  log.clear();
  for (CResultCache::BatchToken other : {first, second + 1, CResultCache::kNoBatch}) {
    cache.EmptyCacheBuffer(other);
    EXPECT_EQ(cache.Count(), 3u) << other;
  }
  EXPECT_TRUE(log.empty());
  cache.EmptyCacheBuffer(second);
  EXPECT_EQ(cache.Count(), 0u);
  // Repeated: the records that came after are not taken for it.
  for (int i = 3; i < 6; ++i) Add(cache, records[i]);
  cache.EmptyCacheBuffer(second);
  EXPECT_EQ(cache.Count(), 3u);

  // A dropped batch confirms nothing; the next one starts at the front again.
  ASSERT_TRUE(cache.GetFromCache(batch, first, 20000, 60, now));
  cache.DropPending();
  cache.EmptyCacheBuffer(first);
  EXPECT_EQ(cache.Count(), 3u);
  ASSERT_TRUE(cache.GetFromCache(batch, token, 20000, 60, now));
  EXPECT_EQ(Ids(batch), (std::vector<uint32_t>{4, 5}));
  cache.EmptyCacheBuffer(token);
  EXPECT_EQ(cache.Count(), 1u);
  // Nothing to send: no token.
  EXPECT_FALSE(cache.GetFromCache(batch, token, 20000, 60, records[5].get_result_time() + 3601));
  EXPECT_EQ(token, CResultCache::kNoBatch);
}

TEST_F(ResultCacheTest, RecordsComeBackByteForByteInArrivalOrder) {
  // Sizes from small to far beyond a storage block, added and taken in
  // alternation, so that storage fills, empties and is reused along the way.
  SetTrace(0);
  std::vector<Bytes> added;
  Bytes sent, expected;
  uint32_t seed = 12345;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
  for (int round = 0; round < 40; ++round) {
    const int adds = static_cast<int>(next() % 300);
    for (int i = 0; i < adds; ++i) {
      const uint32_t roll = next() % 100;
      const uint32_t size = roll < 90   ? 54 + next() % 400
                            : roll < 98 ? 1000 + next() % 9000
                                        : 70000 + next() % 9000;
      CMonResult2 r = Record(static_cast<uint32_t>(added.size()), size);
      Add(cache, r);
      added.push_back(BytesOf(r));
    }
    const int takes = static_cast<int>(next() % 4);
    for (int i = 0; i < takes; ++i) {
      Bytes batch;
      if (!cache.GetFromCache(batch, token, 16384 + next() % 50000, 60, now)) break;
      sent.insert(sent.end(), batch.begin(), batch.end());
      cache.EmptyCacheBuffer(token);
    }
  }
  Bytes batch;
  while (cache.GetFromCache(batch, token, 262144, 60, now)) {
    sent.insert(sent.end(), batch.begin(), batch.end());
    cache.EmptyCacheBuffer(token);
  }
  for (const Bytes& r : added) expected.insert(expected.end(), r.begin(), r.end());
  EXPECT_EQ(sent.size(), expected.size());
  EXPECT_TRUE(sent == expected);
  EXPECT_EQ(cache.Count(), 0u);
}

TEST_F(ResultCacheTest, EmptyCacheHasNothingToSend) {
  Bytes batch{1, 2, 3};
  EXPECT_FALSE(cache.GetFromCache(batch, token, 16384, 60, now));
  EXPECT_TRUE(batch.empty());
  EXPECT_EQ(log, std::vector<std::string>{"GetFromCache: returning empty content"});
}

TEST_F(ResultCacheTest, AddToCacheLogsTheCountAndThePrintedRecord) {
  CMonResult2 r = Plain(44, 7, "ok");
  Add(cache, r);
  Add(cache, r);
  cache.AddToCache(nullptr, 60, 0);
  CMonResult2 empty;  // never created: no block
  Add(cache, empty);
  EXPECT_EQ(cache.Count(), 2u);
  const std::string printed = "UDC | UI32: '44' (CPU) | UI32: '7' | UI32: '3' | STR: 'ok' ";
  EXPECT_EQ(log, (std::vector<std::string>{"AddToCache: Added 47 bytes, cache size: 1 results", printed,
                                           "AddToCache: Added 47 bytes, cache size: 2 results", printed}));
}

TEST_F(ResultCacheTest, NothingIsLoggedWhileTraceIsOff) {
  SetTrace(0);
  CMonResult2 r = Plain(44, 7, "ok");
  Bytes batch;
  Add(cache, r);
  EXPECT_TRUE(cache.GetFromCache(batch, token, 16384, 60, 100));
  cache.EmptyCacheBuffer(token);
  EXPECT_FALSE(cache.GetFromCache(batch, token, 16384, 60, 100));
  EXPECT_EQ(cache.Count(), 0u);
  EXPECT_TRUE(log.empty());
  // Trace is read afresh: switching it on takes effect with the next call.
  SetTrace(1);
  Add(cache, r);
  EXPECT_EQ(log.size(), 2u);
}

TEST_F(ResultCacheTest, TraceDumpsOfABatch) {
  const std::string hex94 =
      "GetFromCache: binary data:\r\n"
      "\t\r\n"
      "2f 00 00 00  00 00 00 00  03 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00  01 00 00 00  00 00 00 "
      "00 "
      "\t/...............................\r\n"
      "2c 00 00 00  07 00 00 00  03 00 00 00  6f 6b 00 2e  00 00 00 00  00 00 00 03  00 00 00 00  00 00 00 "
      "00 "
      "\t,...........ok..................\r\n"
      "00 00 00 00  00 00 00 01  00 00 00 00  00 00 00 2f  00 00 00 08  00 00 00 03  00 00 00 6d  00         "
      " "
      "\t.............../...........m.\r\n"
      "\r\n";
  const std::string udc94 =
      "GetFromCache: UDC data:\r\n\r\n"
      "  UDC | UI32: '44' (CPU) | UI32: '7' | UI32: '3' | STR: 'ok' \r\n\r\n"
      "  UDC | UI32: '47' (MEM) | UI32: '8' | UI32: '3' | STR: 'm' \r\n\r\n";
  // A batch that ends with a full line still shows that line's characters.
  const std::string hex64 =
      "GetFromCache: binary data:\r\n"
      "\t\r\n"
      "40 00 00 00  00 00 00 00  05 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00  01 00 00 00  00 00 00 "
      "00 "
      "\t@...............................\r\n"
      "2c 00 00 00  09 00 00 00  03 00 00 00  00 00 00 00  00 00 00 00  30 31 32 33  34 35 36 37  38 39 41 "
      "00 "
      "\t,...................0123456789A.\r\n"
      "\r\n";
  const std::string udc64 =
      "GetFromCache: UDC data:\r\n\r\n"
      "  UDC | UI32: '44' (CPU) | UI32: '9' | UI32: '3' | UI32: '0' | UI32: '0' | STR: '0123456789A' "
      "\r\n\r\n";
  const std::string returning93 = "GetFromCache: returning 2 results, 93 bytes, cache size: 2 results";
  const std::string returning64 = "GetFromCache: returning 1 results, 64 bytes, cache size: 1 results";

  struct Case {
    uint32_t trace;
    bool twoRecords;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {48, true, {returning93, hex94, udc94}},
      {255, true, {returning93, hex94, udc94}},
      {47, true, {returning93, udc94}},
      {32, true, {returning93, udc94}},
      {31, true, {returning93}},
      {48, false, {returning64, hex64, udc64}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.trace);
    SetTrace(0);
    CResultCache fresh(
        store, [this](const std::string& line) { log.push_back(line); }, 64);
    CMonResult2 a = Plain(44, 7, "ok"), b = Plain(47, 8, "m"), full = Plain(44, 9, "0123456789A", 2);
    if (c.twoRecords) {
      Add(fresh, a);
      Add(fresh, b);
    } else {
      Add(fresh, full);
    }
    SetTrace(c.trace);
    log.clear();
    Bytes batch;
    ASSERT_TRUE(fresh.GetFromCache(batch, token, 16384, 60, 100));
    EXPECT_EQ(log, c.expected);
  }
}

TEST_F(ResultCacheTest, RecordDumpShowsARecordThatFailsValidation) {
  // A nested record that declares a string it does not have: the outer record
  // is consistent in length but not in content.
  _U_D_C_ broken{32, 0, 0, 0, 0, 0, 1, 0};
  CMonResult2 bad;
  bad.create(0, 3, 0, 0, 0, 0);
  bad.add(uint32_t{44});
  bad.add(uint32_t{8});
  bad.add(uint32_t{3});
  ASSERT_TRUE(bad.add(static_cast<const void*>(&broken)));
  CMonResult2 a = Plain(44, 7, "ok"), c = Plain(44, 9, "ok");
  SetTrace(0);
  Add(cache, a);
  Add(cache, bad);
  Add(cache, c);
  SetTrace(32);
  Bytes batch;
  ASSERT_TRUE(cache.GetFromCache(batch, token, 16384, 60, 100));
  ASSERT_EQ(Lines("GetFromCache: UDC data:").size(), 1u);
  // The bad record starts at byte 47; its nested record lacks the terminator at its end.
  EXPECT_EQ(Lines("GetFromCache: UDC data:")[0],
            "GetFromCache: UDC data:\r\n\r\n"
            "  UDC | UI32: '44' (CPU) | UI32: '7' | UI32: '3' | STR: 'ok' \r\n\r\n"
            "  UDC | INVALID: 'missing string terminator at byte 123' \r\n\r\n"
            "  UDC | UI32: '44' (CPU) | UI32: '9' | UI32: '3' | STR: 'ok' \r\n\r\n");
}

TEST_F(ResultCacheTest, ConcurrentProducersLoseNothing) {
  SetTrace(0);
  constexpr int kThreads = 4, kEach = 2000;
  std::atomic<int> running{kThreads};
  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; ++t) {
    producers.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        CMonResult2 r = Record(static_cast<uint32_t>(t * kEach + i), 100);
        Add(cache, r);
      }
      --running;
    });
  }
  std::vector<int> seen(kThreads * kEach, 0);
  auto drain = [&] {
    Bytes batch;
    if (!cache.GetFromCache(batch, token, 16384, 60, now)) return;
    for (uint32_t id : Ids(batch)) ++seen.at(id);
    cache.EmptyCacheBuffer(token);
  };
  while (running > 0) drain();
  for (std::thread& t : producers) t.join();
  while (cache.Count() > 0) drain();
  for (size_t id = 0; id < seen.size(); ++id) ASSERT_EQ(seen[id], 1) << id;
}

}  // namespace
