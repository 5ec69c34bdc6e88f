// CCheckRunner: stops with one deadline, never posts across a restart, limits
// its slots, runs cancel actions with no lock of its own held, and leaves no
// check touching freed memory (the destruction cases are meant for ASan).
// Then the runner behind a monitor: CTestMon's per-check mode.
#include "agent/Plugins/CheckRunner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/unit/fakes/recording_owner.h"
#include "tests/unit/fakes/test_monitor.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

template <typename Pred>
bool Eventually(Pred pred, std::chrono::milliseconds limit = 3s) {
  auto end = Clock::now() + limit;
  while (Clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return pred();
}

std::chrono::milliseconds Since(Clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
}

// Runs `fn` and returns how long it took. A call that does not return within
// `limit` is a deadlock: the program ends there instead of hanging the run.
template <typename Fn>
std::chrono::milliseconds Bounded(const char* what, Fn fn, std::chrono::milliseconds limit = 5s) {
  auto t0 = Clock::now();
  std::packaged_task<void()> task(fn);
  auto done = task.get_future();
  std::thread thread(std::move(task));
  if (done.wait_for(limit) != std::future_status::ready) {
    fprintf(stderr, "%s did not return within %lld ms\n", what, static_cast<long long>(limit.count()));
    fflush(stderr);
    std::_Exit(1);
  }
  thread.join();
  return Since(t0);
}

// A blocking call that only its cancel action (or its own bound) ends.
class Gate {
 public:
  void Open() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_open = true;
    m_cv.notify_all();
  }
  bool Wait(std::chrono::milliseconds limit = 5s) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_cv.wait_for(lock, limit, [this] { return m_open; });
  }

 private:
  std::mutex m_lock;
  std::condition_variable m_cv;
  bool m_open = false;
};

// What the checks of a test hand over.
struct Sink {
  std::mutex lock;
  std::vector<int> posted;
  std::atomic<int> dropped{0};
  std::vector<int> Posted() {
    std::lock_guard<std::mutex> l(lock);
    return posted;
  }
};

// A check that takes `length`, by a pause a stop cuts short or by a sleep that
// ignores it, then posts its testID.
auto PostingCheck(std::shared_ptr<Sink> sink, int testID, bool honoursStop,
                  std::chrono::milliseconds length) {
  return [sink, testID, honoursStop, length](CCheckToken& token) {
    if (honoursStop) {
      token.Pause(length);
    } else {
      std::this_thread::sleep_for(length);
    }
    bool went = token.Post([&] {
      std::lock_guard<std::mutex> l(sink->lock);
      sink->posted.push_back(testID);
    });
    if (!went) ++sink->dropped;
  };
}

TEST(CheckRunner, StopDeadlineStartAndRunGeneration) {
  const auto deadline = 200ms;
  struct Case {
    const char* name;
    bool honoursStop;
    bool releasable;
    std::chrono::milliseconds length;  // of check 1, begun before the stop
    bool runningAfterStop;             // left over past the deadline
    bool runningAfterStart;            // Start did not wait for it
    std::vector<int> posted;           // check 2 is begun after the restart
  } cases[] = {
      {"a stop cuts the pause short", true, false, 5000ms, false, false, {2}},
      {"past the deadline: posts nothing, joined by Start", false, false, 1000ms, true, false, {2}},
      {"releasable past the deadline: ends after the restart, posts nothing",
       false,
       true,
       1000ms,
       true,
       true,
       {2}},
      {"ended before the stop", true, false, 0ms, false, false, {1, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto sink = std::make_shared<Sink>();
    CCheckRunner runner(8, deadline);
    ASSERT_TRUE(runner.StartCheck(1, PostingCheck(sink, 1, c.honoursStop, c.length), c.releasable));
    if (c.length == 0ms) {
      ASSERT_TRUE(Eventually([&] { return !runner.IsRunning(1); }));
    } else {
      std::this_thread::sleep_for(30ms);  // into its wait
    }

    auto stopTook = Bounded("Stop", [&] { runner.Stop(); });
    EXPECT_LT(stopTook, deadline + 500ms);
    EXPECT_EQ(runner.IsRunning(1), c.runningAfterStop);
    if (c.runningAfterStop) {
      EXPECT_GE(stopTook, deadline - 10ms);
    }
    EXPECT_FALSE(runner.StartCheck(3, PostingCheck(sink, 3, true, 0ms))) << "begun while stopped";

    EXPECT_TRUE(runner.Start());
    EXPECT_EQ(runner.IsRunning(1), c.runningAfterStart);
    ASSERT_TRUE(runner.StartCheck(2, PostingCheck(sink, 2, true, 0ms)));
    EXPECT_TRUE(Eventually([&] { return runner.RunningCount() == 0; }));
    EXPECT_EQ(sink->Posted(), c.posted);
    EXPECT_EQ(sink->dropped.load(), c.length == 0ms ? 0 : 1);
  }
}

TEST(CheckRunner, SlotLimitAndIsRunning) {
  CCheckRunner runner(2);
  Gate gate;
  auto blocked = [&gate](CCheckToken&) { gate.Wait(); };
  ASSERT_TRUE(runner.StartCheck(1, blocked));
  ASSERT_TRUE(runner.StartCheck(1, blocked));  // the runner allows two of one test; monitors decide
  EXPECT_FALSE(runner.StartCheck(2, blocked)) << "no slot was free";
  EXPECT_TRUE(runner.IsRunning(1));
  EXPECT_FALSE(runner.IsRunning(2));
  EXPECT_EQ(runner.RunningCount(), 2u);

  gate.Open();
  ASSERT_TRUE(Eventually([&] { return runner.RunningCount() == 0; }));
  EXPECT_FALSE(runner.IsRunning(1));
  std::atomic<bool> ran{false};
  EXPECT_TRUE(runner.StartCheck(2, [&ran](CCheckToken&) { ran = true; })) << "ended checks free their slots";
  EXPECT_TRUE(Eventually([&] { return ran.load(); }));
}

TEST(CheckRunner, CancelActionsRunOnStopWithNoRunnerLockHeld) {
  CCheckRunner runner(8, 3000ms);
  Gate socket;  // a call blocked until its handle is closed
  std::atomic<int> cancels{0}, clearedCancels{0}, lateCancels{0};
  std::atomic<bool> sawItRunning{false}, lateSetAccepted{true};

  ASSERT_TRUE(runner.StartCheck(1, [&](CCheckToken& token) {
    token.SetCancel([&] {
      sawItRunning = runner.IsRunning(1);  // would deadlock under a runner lock
      ++cancels;
      socket.Open();
    });
    socket.Wait(10s);
    token.ClearCancel();
  }));
  ASSERT_TRUE(runner.StartCheck(2, [&](CCheckToken& token) {
    token.SetCancel([&] { ++clearedCancels; });
    token.ClearCancel();  // its call returned: nothing left to cancel
    token.Pause(10s);
  }));
  ASSERT_TRUE(runner.StartCheck(3, [&](CCheckToken& token) {
    token.Pause(10s);
    // Registered after the stop: it runs at once.
    lateSetAccepted = token.SetCancel([&] { ++lateCancels; });
  }));
  std::this_thread::sleep_for(50ms);

  auto took = Bounded("Stop", [&] { runner.Stop(); });
  EXPECT_LT(took, 2000ms) << "the cancel action ended the blocked call";
  EXPECT_EQ(runner.RunningCount(), 0u);
  EXPECT_EQ(cancels.load(), 1);
  EXPECT_TRUE(sawItRunning.load());
  EXPECT_EQ(clearedCancels.load(), 0);
  EXPECT_EQ(lateCancels.load(), 1);
  EXPECT_FALSE(lateSetAccepted.load());
}

TEST(CheckRunner, DestructionWaitsForALateCheck) {
  auto owned = std::make_unique<std::vector<int>>();  // what the check touches, freed right after the runner
  auto runner = std::make_unique<CCheckRunner>(8, 50ms);
  std::vector<int>* target = owned.get();
  ASSERT_TRUE(runner->StartCheck(1, [target](CCheckToken& token) {
    std::this_thread::sleep_for(400ms);  // ignores the stop
    target->push_back(token.Post([] {}) ? 1 : 0);
  }));
  std::this_thread::sleep_for(20ms);
  auto took = Bounded("~CCheckRunner", [&] { runner.reset(); });
  EXPECT_GE(took, 300ms);
  ASSERT_EQ(owned->size(), 1u) << "the check ended before the runner was gone";
  EXPECT_EQ((*owned)[0], 0) << "its post was dropped";
  owned.reset();
}

TEST(CheckRunner, DestructionWaitsForAReleasableCheckToo) {
  struct Seen {
    std::atomic<bool> ended{false}, pausedFully{true}, posted{true}, current{true}, stopSeen{false};
  };
  auto seen = std::make_shared<Seen>();
  auto runner = std::make_unique<CCheckRunner>(8, 50ms);
  ASSERT_TRUE(runner->StartCheck(
      1,
      [seen](CCheckToken& token) {
        std::this_thread::sleep_for(300ms);  // a call nothing can cut short
        seen->pausedFully = token.Pause(1s);
        seen->stopSeen = token.StopRequested();
        seen->current = token.Current();
        seen->posted = token.Post([] {});
        token.SetCancel([] {});
        seen->ended = true;
      },
      true));
  std::this_thread::sleep_for(20ms);
  auto took = Bounded("~CCheckRunner", [&] { runner.reset(); });
  EXPECT_GE(took, 250ms) << "destruction did not wait for the releasable check";
  EXPECT_TRUE(seen->ended.load());
  EXPECT_FALSE(seen->pausedFully.load());
  EXPECT_TRUE(seen->stopSeen.load());
  EXPECT_FALSE(seen->current.load());
  EXPECT_FALSE(seen->posted.load());
}

TEST(CheckRunner, PerCheckModeOfAMonitor) {
  RecordingOwner owner;
  CTestMon<RecordingOwner> mon;
  mon.SetOwner(&owner);
  std::atomic<int64_t> now{1700000000};
  mon.SetClock([&] { return now.load(); });  // the clock stands still: a refused test stays due
  mon.RunChecksOnRunner(2, 300ms);
  mon.checkMillis = 600;
  for (const char* line : {"TTA\t1\t11\t1", "TTA\t2\t12\t2", "TTA\t3\t13\t3"})
    ASSERT_TRUE(mon.ProcessTest(line));

  ASSERT_TRUE(Eventually([&] { return owner.Records().size() == 3; }, 5s));
  auto records = owner.Decoded();
  EXPECT_EQ(records[2].ui32.at(1), 3u) << "test 3 waited for a free slot";
  EXPECT_EQ(records[2].ui32.at(2), 13u);
  EXPECT_EQ(records[2].d64.at(0), 3.0);
  EXPECT_EQ(mon.checks.load(), 3) << "one check per test, none begun twice";

  // Due again while two long checks run: those two are skipped, not begun twice.
  mon.checkMillis = 5000;
  now += 300;
  ASSERT_TRUE(Eventually([&] { return mon.Runner()->RunningCount() == 2; }));
  now += 300;
  EXPECT_TRUE(
      Eventually([&] { return owner.Logged("mon_test: previous check of testID:2 still running."); }));
  EXPECT_EQ(mon.checks.load(), 5);

  // Stopped meanwhile: the stop cuts their pauses short and they post nothing.
  owner.Clear();
  auto took = Bounded("Stop", [&] { mon.Stop(); });
  EXPECT_LT(took, 1000ms);
  EXPECT_EQ(mon.Runner()->RunningCount(), 0u);
  EXPECT_EQ(mon.TestCount(), 0u);
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(owner.Records().empty());
}

}  // namespace
