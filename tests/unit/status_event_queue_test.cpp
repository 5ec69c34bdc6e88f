#include "agent/service/StatusEventQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <vector>

namespace {

using namespace std::chrono_literals;

// A delivery that can be held at the gate, the way a client's sink blocks in
// its call.
struct Recorder {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<uint32_t> codes;
  bool gateOpen = true;
  bool inDelivery = false;

  void Deliver(const StatusEvent& e) {
    std::unique_lock<std::mutex> l(lock);
    inDelivery = true;
    changed.notify_all();
    changed.wait(l, [this] { return gateOpen; });
    codes.push_back(e.code);
    inDelivery = false;
    changed.notify_all();
  }
  bool WaitFor(size_t n) {
    std::unique_lock<std::mutex> l(lock);
    return changed.wait_for(l, 5s, [&] { return codes.size() >= n; });
  }
  bool WaitInDelivery() {
    std::unique_lock<std::mutex> l(lock);
    return changed.wait_for(l, 5s, [&] { return inDelivery; });
  }
  void Open(bool open) {
    std::lock_guard<std::mutex> l(lock);
    gateOpen = open;
    changed.notify_all();
  }
};

TEST(StatusEventQueue, DeliversInOrderOnOneThread) {
  Recorder r;
  std::atomic<int> threads{0};
  CStatusEventQueue q({[&](const StatusEvent& e) { r.Deliver(e); }, nullptr, [&] { ++threads; }, nullptr});
  for (uint32_t i = 1; i <= 50; ++i) q.Push(i, "t");
  ASSERT_TRUE(r.WaitFor(50));
  std::vector<uint32_t> expected;
  for (uint32_t i = 1; i <= 50; ++i) expected.push_back(i);
  EXPECT_EQ(r.codes, expected);
  EXPECT_EQ(threads.load(), 1);
}

TEST(StatusEventQueue, FullQueueDropsOldestWithoutBlockingThePusher) {
  Recorder r;
  r.Open(false);
  std::atomic<uint64_t> lastDrop{0};
  {
    CStatusEventQueue q(
        {[&](const StatusEvent& e) { r.Deliver(e); }, [&](uint64_t n) { lastDrop = n; }, nullptr, nullptr},
        4);
    q.Push(100, "held");  // taken by the dispatcher, which then blocks
    ASSERT_TRUE(r.WaitInDelivery());
    for (uint32_t i = 1; i <= 6; ++i) q.Push(i, "");  // 4 fit; 1 and 2 go
    EXPECT_EQ(q.Dropped(), 2u);
    EXPECT_EQ(lastDrop.load(), 2u);
    r.Open(true);
    ASSERT_TRUE(r.WaitFor(5));
    EXPECT_EQ(r.codes, (std::vector<uint32_t>{100, 3, 4, 5, 6}));
  }
}

TEST(StatusEventQueue, StopIsBoundedWhileADeliveryHangs) {
  Recorder r;
  r.Open(false);
  auto q = std::make_unique<CStatusEventQueue>(
      CStatusEventQueue::Hooks{[&](const StatusEvent& e) { r.Deliver(e); }, nullptr, nullptr, nullptr});
  q->Push(1, "");
  ASSERT_TRUE(r.WaitInDelivery());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(q->StopFor(200ms));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  q->Push(2, "");  // after the stop: not taken
  r.Open(true);
  EXPECT_TRUE(q->StopFor(5s));
  q.reset();
  EXPECT_EQ(r.codes, (std::vector<uint32_t>{1}));
}

}  // namespace
