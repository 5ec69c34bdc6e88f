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
  CResultCache cache{store, [this](const std::string& line) { log.push_back(line); }};
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
      cache.AddToCache(&r);
      records.push_back(BytesOf(r));
    }
    log.clear();
    size_t next = 0;
    for (size_t count : c.batches) {
      Bytes batch;
      ASSERT_TRUE(cache.GetFromCache(batch, c.bufferSize, 60, now));
      Bytes expected;
      for (size_t i = next; i < next + count; ++i)
        expected.insert(expected.end(), records[i].begin(), records[i].end());
      EXPECT_EQ(batch, expected);
      const size_t left = records.size() - next;
      EXPECT_EQ(Lines("GetFromCache: returning"),
                std::vector<std::string>{"GetFromCache: returning " + std::to_string(count) + " results, " +
                                         std::to_string(expected.size()) +
                                         " bytes, cache size: " + std::to_string(left) + " results"});
      cache.EmptyCacheBuffer();
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
    CResultCache fresh(store, [this](const std::string& line) { log.push_back(line); });
    std::vector<int64_t> times;
    int64_t stamp = 0;
    for (size_t i = 0; i < c.stamped.size(); ++i) {
      CMonResult2 r = Record(static_cast<uint32_t>(i + 1), 100, c.stamped[i]);
      times.push_back(r.get_result_time());
      if (c.stamped[i]) stamp = r.get_result_time();
      fresh.AddToCache(&r);
    }
    log.clear();
    Bytes batch;
    const time_t at = static_cast<time_t>(stamp + c.sinceStamp);
    EXPECT_EQ(fresh.GetFromCache(batch, 16384, c.limitMinutes, at), !c.sent.empty());
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
  for (int i = 0; i < 3; ++i) cache.AddToCache(&records[i]);
  Bytes first, again;
  ASSERT_TRUE(cache.GetFromCache(first, 20000, 60, now));
  EXPECT_EQ(Ids(first), (std::vector<uint32_t>{1, 2}));
  // The exchange failed: no confirmation. The next batch starts with the same
  // records, and its confirmation removes just those.
  ASSERT_TRUE(cache.GetFromCache(again, 20000, 60, now));
  EXPECT_EQ(again, first);
  cache.EmptyCacheBuffer();
  EXPECT_EQ(cache.Count(), 1u);
  // A batch built again may take more records than the one before.
  cache.AddToCache(&records[3]);
  cache.AddToCache(&records[4]);
  ASSERT_TRUE(cache.GetFromCache(first, 20000, 60, now));
  EXPECT_EQ(Ids(first), (std::vector<uint32_t>{3, 4}));
  ASSERT_TRUE(cache.GetFromCache(again, 40000, 60, now));
  EXPECT_EQ(Ids(again), (std::vector<uint32_t>{3, 4, 5}));
  EXPECT_EQ(cache.Count(), 3u);

  cache.EmptyCacheBuffer();
  EXPECT_EQ(cache.Count(), 0u);
  // A confirmation with no batch handed out since removes nothing.
  CMonResult2 d = Record(4, 100);
  cache.AddToCache(&d);
  cache.EmptyCacheBuffer();
  EXPECT_EQ(cache.Count(), 1u);
  // Nor does one after a call that found nothing to send.
  Bytes none;
  EXPECT_FALSE(cache.GetFromCache(none, 16384, 60, d.get_result_time() + 3601));
  cache.AddToCache(&d);
  cache.EmptyCacheBuffer();
  EXPECT_EQ(cache.Count(), 1u);
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
      cache.AddToCache(&r);
      added.push_back(BytesOf(r));
    }
    const int takes = static_cast<int>(next() % 4);
    for (int i = 0; i < takes; ++i) {
      Bytes batch;
      if (!cache.GetFromCache(batch, 16384 + next() % 50000, 60, now)) break;
      sent.insert(sent.end(), batch.begin(), batch.end());
      cache.EmptyCacheBuffer();
    }
  }
  Bytes batch;
  while (cache.GetFromCache(batch, 262144, 60, now)) {
    sent.insert(sent.end(), batch.begin(), batch.end());
    cache.EmptyCacheBuffer();
  }
  for (const Bytes& r : added) expected.insert(expected.end(), r.begin(), r.end());
  EXPECT_EQ(sent.size(), expected.size());
  EXPECT_TRUE(sent == expected);
  EXPECT_EQ(cache.Count(), 0u);
}

TEST_F(ResultCacheTest, EmptyCacheHasNothingToSend) {
  Bytes batch{1, 2, 3};
  EXPECT_FALSE(cache.GetFromCache(batch, 16384, 60, now));
  EXPECT_TRUE(batch.empty());
  EXPECT_EQ(log, std::vector<std::string>{"GetFromCache: returning empty content"});
}

TEST_F(ResultCacheTest, AddToCacheLogsTheCountAndThePrintedRecord) {
  CMonResult2 r = Plain(44, 7, "ok");
  cache.AddToCache(&r);
  cache.AddToCache(&r);
  cache.AddToCache(nullptr);
  CMonResult2 empty;  // never created: no block
  cache.AddToCache(&empty);
  EXPECT_EQ(cache.Count(), 2u);
  const std::string printed = "UDC | UI32: '44' (CPU) | UI32: '7' | UI32: '3' | STR: 'ok' ";
  EXPECT_EQ(log, (std::vector<std::string>{"AddToCache: Added 47 bytes, cache size: 1 results", printed,
                                           "AddToCache: Added 47 bytes, cache size: 2 results", printed}));
}

TEST_F(ResultCacheTest, NothingIsLoggedWhileTraceIsOff) {
  SetTrace(0);
  CMonResult2 r = Plain(44, 7, "ok");
  Bytes batch;
  cache.AddToCache(&r);
  EXPECT_TRUE(cache.GetFromCache(batch, 16384, 60, 100));
  cache.EmptyCacheBuffer();
  EXPECT_FALSE(cache.GetFromCache(batch, 16384, 60, 100));
  EXPECT_EQ(cache.Count(), 0u);
  EXPECT_TRUE(log.empty());
  // Trace is read afresh: switching it on takes effect with the next call.
  SetTrace(1);
  cache.AddToCache(&r);
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
    CResultCache fresh(store, [this](const std::string& line) { log.push_back(line); });
    CMonResult2 a = Plain(44, 7, "ok"), b = Plain(47, 8, "m"), full = Plain(44, 9, "0123456789A", 2);
    if (c.twoRecords) {
      fresh.AddToCache(&a);
      fresh.AddToCache(&b);
    } else {
      fresh.AddToCache(&full);
    }
    SetTrace(c.trace);
    log.clear();
    Bytes batch;
    ASSERT_TRUE(fresh.GetFromCache(batch, 16384, 60, 100));
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
  cache.AddToCache(&a);
  cache.AddToCache(&bad);
  cache.AddToCache(&c);
  SetTrace(32);
  Bytes batch;
  ASSERT_TRUE(cache.GetFromCache(batch, 16384, 60, 100));
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
        cache.AddToCache(&r);
      }
      --running;
    });
  }
  std::vector<int> seen(kThreads * kEach, 0);
  auto drain = [&] {
    Bytes batch;
    if (!cache.GetFromCache(batch, 16384, 60, now)) return;
    for (uint32_t id : Ids(batch)) ++seen.at(id);
    cache.EmptyCacheBuffer();
  };
  while (running > 0) drain();
  for (std::thread& t : producers) t.join();
  while (cache.Count() > 0) drain();
  for (size_t id = 0; id < seen.size(); ++id) ASSERT_EQ(seen[id], 1) << id;
}

}  // namespace
