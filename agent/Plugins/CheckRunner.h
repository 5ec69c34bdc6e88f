// CCheckRunner: the threads of the monitors that run each due check on a
// thread of its own (ping, SNMP, HTTP, event log). The monitor's pass hands
// over a callable that owns its copy of the test; the runner owns the thread
// and joins it, limits how many run at once, and stops them all together.
//
//   runner.StartCheck(test.testID, [this, copy = test](CCheckToken& token) {
//     ...measure, with waits bounded and cut short by token.Pause or the
//     cancel action registered with token.SetCancel...
//     token.Post([&] { PostResult(&result); });
//   });
//
// Stop signals every check, runs their cancel actions and waits with one
// deadline; a check past it is never killed or detached: the next Start joins
// it (a releasable one, whose call nothing can cut short, is joined later) and
// Shutdown and the destructor wait for every check. Everything a check hands
// to the monitor (results, and for a releasable check also log lines) goes
// through CCheckToken::Post, which drops it once the check's run generation
// ended with a Stop, so a check begun before a Stop never posts after the
// following Start.
//
// No runner lock is held while a check runs, posts, or while a cancel action
// runs: a cancel action or a post may call IsRunning, and a post cannot
// deadlock with Stop. Start, Shutdown and the destructor wait for checks
// without limit, so a check never calls them; a cancel action only signals
// (closes, cancels) and returns, as Stop runs them one after the other
// within its deadline.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "corelib/ExceptionRecord.h"

namespace check_runner_detail {

// What the runner shares with its threads.
struct Board {
  std::mutex lock;
  std::condition_variable changed;  // a check ended, or a post finished
  uint64_t generation = 1;
  bool open = true;  // false from a Stop to the next Start
  int posting = 0;   // posts of the current generation in progress
};

}  // namespace check_runner_detail

// The check's side of one run: its stop flag, its pause, its cancel action and
// its way to post. Only the check's own thread uses it, apart from the stop.
class CCheckToken {
 public:
  CCheckToken(const CCheckToken&) = delete;
  CCheckToken& operator=(const CCheckToken&) = delete;

  int32_t TestID() const { return m_testID; }

  bool StopRequested() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_stop;
  }

  // A bounded pause; false when a stop cut it short (or had come before).
  bool Pause(std::chrono::milliseconds pause) {
    std::unique_lock<std::mutex> lock(m_lock);
    return !m_wake.wait_for(lock, pause, [this] { return m_stop; });
  }

  // The action a stop runs to end what this check blocks in (close its socket
  // or handle, cancel its request). It runs on the stopping thread, with no
  // runner lock held; it must not call SetCancel or ClearCancel itself. When
  // the stop has already come, it runs here at once and the answer is false.
  bool SetCancel(std::function<void()> cancel) {
    std::unique_lock<std::mutex> lock(m_lock);
    m_wake.wait(lock, [this] { return !m_cancelling; });
    if (!m_stop) {
      m_cancel = std::move(cancel);
      return true;
    }
    lock.unlock();
    RunCancel(cancel);
    return false;
  }

  // After this returns the action is neither running nor will it run, so the
  // check may free what it touches. The runner clears it when the check returns.
  void ClearCancel() {
    std::unique_lock<std::mutex> lock(m_lock);
    m_wake.wait(lock, [this] { return !m_cancelling; });
    m_cancel = nullptr;
  }

  // Runs `post` (hand a result or a line to the monitor) unless this check's
  // run generation has ended; false when it was dropped. A Start or the
  // runner's destructor waits for a post in progress, so `post` must not wait
  // for the monitor's Stop or Start.
  template <class Fn>
  bool Post(Fn&& post) {
    {
      std::lock_guard<std::mutex> lock(m_board->lock);
      if (!m_board->open || m_board->generation != m_generation) return false;
      ++m_board->posting;
    }
    struct Done {
      check_runner_detail::Board& board;
      ~Done() {
        std::lock_guard<std::mutex> lock(board.lock);
        --board.posting;
        board.changed.notify_all();
      }
    } done{*m_board};
    post();
    return true;
  }

  // Whether a post would still go through now.
  bool Current() const {
    std::lock_guard<std::mutex> lock(m_board->lock);
    return m_board->open && m_board->generation == m_generation;
  }

 private:
  friend class CCheckRunner;
  CCheckToken(int32_t testID, bool releasable, uint64_t generation,
              std::shared_ptr<check_runner_detail::Board> board)
      : m_testID(testID), m_releasable(releasable), m_generation(generation), m_board(std::move(board)) {}

  // From the stopping thread: sets the flag, ends a pause, runs the cancel action.
  void RequestStop() {
    std::function<void()> cancel;
    {
      std::lock_guard<std::mutex> lock(m_lock);
      if (m_stop) return;
      m_stop = true;
      m_wake.notify_all();
      if (!m_cancel) return;
      cancel = std::move(m_cancel);
      m_cancel = nullptr;
      m_cancelling = true;
    }
    RunCancel(cancel);
    std::lock_guard<std::mutex> lock(m_lock);
    m_cancelling = false;
    m_wake.notify_all();
  }

  static void RunCancel(const std::function<void()>& cancel) {
    try {
      if (cancel) cancel();
    } catch (...) {
      LOG_EXCEPTION_RECORD("Plugins/CheckRunner");
    }
  }

  const int32_t m_testID;
  const bool m_releasable;
  const uint64_t m_generation;
  const std::shared_ptr<check_runner_detail::Board> m_board;

  mutable std::mutex m_lock;
  std::condition_variable m_wake;
  bool m_stop = false;
  bool m_cancelling = false;  // a stop is running the action
  std::function<void()> m_cancel;

  bool m_ended = false;  // under the board's lock
};

class CCheckRunner {
 public:
  explicit CCheckRunner(size_t maxChecks = 64,
                        std::chrono::milliseconds stopDeadline = std::chrono::milliseconds(1000))
      : m_maxChecks(maxChecks),
        m_stopDeadline(stopDeadline),
        m_board(std::make_shared<check_runner_detail::Board>()) {}

  ~CCheckRunner() { Shutdown(); }
  CCheckRunner(const CCheckRunner&) = delete;
  CCheckRunner& operator=(const CCheckRunner&) = delete;

  // Begins `check(CCheckToken&)` on a thread of its own. False when it did not
  // begin: no slot is free, the runner is stopped, or no thread could be made;
  // the monitor then leaves the test due. A releasable check is one a restart
  // need not wait for: it holds no lock a restart needs.
  template <class Check>
  bool StartCheck(int32_t testID, Check&& check, bool releasable = false) {
    using Fn = std::decay_t<Check>;
    auto fn = std::make_unique<Fn>(std::forward<Check>(check));
    std::list<Entry> ended;
    bool begun = false;
    {
      std::lock_guard<std::mutex> lock(m_board->lock);
      TakeEndedLocked(ended);
      if (m_board->open && m_checks.size() < m_maxChecks) {
        std::shared_ptr<CCheckToken> token(new CCheckToken(testID, releasable, m_board->generation, m_board));
        try {
          // The board's lock is held until the entry is listed; the thread
          // takes it only when its check has returned.
          std::thread thread(&CCheckRunner::RunCheck<Fn>, token, m_board, std::move(fn));
          m_checks.push_back(Entry{std::move(thread), std::move(token)});
          begun = true;
        } catch (...) {
          LOG_EXCEPTION_RECORD("Plugins/CheckRunner");
        }
      }
    }
    JoinAll(ended);
    return begun;
  }

  // Whether a check of this test runs, also one left over from before a stop.
  bool IsRunning(int32_t testID) const {
    std::lock_guard<std::mutex> lock(m_board->lock);
    for (const Entry& e : m_checks)
      if (e.token->m_testID == testID && !e.token->m_ended) return true;
    return false;
  }

  // Checks whose threads have not ended, including late ones.
  size_t RunningCount() const {
    std::lock_guard<std::mutex> lock(m_board->lock);
    size_t n = 0;
    for (const Entry& e : m_checks)
      if (!e.token->m_ended) ++n;
    return n;
  }

  // Ends the run generation (no post goes through any more, no check begins),
  // signals every check and runs their cancel actions, then waits for them
  // with one deadline. Call it with no monitor lock held that a check needs.
  void Stop() {
    auto deadline = std::chrono::steady_clock::now() + m_stopDeadline;
    std::vector<std::shared_ptr<CCheckToken>> running;
    {
      std::lock_guard<std::mutex> lock(m_board->lock);
      m_board->open = false;
      ++m_stops;
      m_board->changed.notify_all();  // a Start waiting for late checks gives up
      for (const Entry& e : m_checks)
        if (!e.token->m_ended) running.push_back(e.token);
    }
    for (auto& token : running) token->RequestStop();
    std::list<Entry> ended;
    {
      std::unique_lock<std::mutex> lock(m_board->lock);
      m_board->changed.wait_until(lock, deadline, [&running] {
        for (auto& token : running)
          if (!token->m_ended) return false;
        return true;
      });
      TakeEndedLocked(ended);
    }
    JoinAll(ended);
  }

  // Opens a new run generation after a Stop. First joins the checks left over
  // from before it (they bound their waits) and waits for a post in progress;
  // releasable ones still running are left to end on their own time, their
  // posts dropped. False when a Stop came while it waited. Running already:
  // nothing changes.
  bool Start() {
    std::list<Entry> ended;
    bool started;
    {
      std::unique_lock<std::mutex> lock(m_board->lock);
      if (m_board->open) {
        started = true;
      } else {
        uint64_t stops = m_stops;
        m_board->changed.wait(lock, [this, stops] {
          return m_board->open || stops != m_stops || (m_board->posting == 0 && !AnyRunningLocked(false));
        });
        if (m_board->open) {
          started = true;  // another Start came first
        } else {
          started = stops == m_stops;
          if (started) {
            ++m_board->generation;
            m_board->open = true;
            m_board->changed.notify_all();
          }
        }
      }
      TakeEndedLocked(ended);
    }
    JoinAll(ended);
    return started;
  }

  // Stops, then waits without limit for every check, releasable ones too, and
  // for a post in progress: for the owner's teardown, before anything a check
  // may touch goes. A later Start may open the runner again.
  void Shutdown() {
    Stop();
    std::list<Entry> ended;
    {
      std::unique_lock<std::mutex> lock(m_board->lock);
      m_board->changed.wait(lock, [this] { return m_board->posting == 0 && !AnyRunningLocked(true); });
      TakeEndedLocked(ended);
    }
    JoinAll(ended);
  }

 private:
  struct Entry {
    std::thread thread;
    std::shared_ptr<CCheckToken> token;
  };

  template <class Fn>
  static void RunCheck(std::shared_ptr<CCheckToken> token, std::shared_ptr<check_runner_detail::Board> board,
                       std::unique_ptr<Fn> check) {
    try {
      (*check)(*token);
    } catch (...) {
      LOG_EXCEPTION_RECORD("Plugins/CheckRunner");
    }
    token->ClearCancel();
    // The check's captures go before it counts as ended: a joined check
    // touches nothing of its monitor once the runner sees it end.
    check.reset();
    std::lock_guard<std::mutex> lock(board->lock);
    token->m_ended = true;
    board->changed.notify_all();
  }

  // Under the board's lock: whether a check runs (a releasable one only counts
  // for Shutdown).
  bool AnyRunningLocked(bool releasableToo) const {
    for (const Entry& e : m_checks)
      if (!e.token->m_ended && (releasableToo || !e.token->m_releasable)) return true;
    return false;
  }

  void TakeEndedLocked(std::list<Entry>& ended) {
    for (auto it = m_checks.begin(); it != m_checks.end();) {
      auto next = std::next(it);
      if (it->token->m_ended) ended.splice(ended.end(), m_checks, it);
      it = next;
    }
  }

  // Outside the board's lock: an ended check's thread has only its return left.
  static void JoinAll(std::list<Entry>& ended) {
    for (Entry& e : ended)
      if (e.thread.joinable()) e.thread.join();
  }

  const size_t m_maxChecks;
  const std::chrono::milliseconds m_stopDeadline;
  const std::shared_ptr<check_runner_detail::Board> m_board;
  std::list<Entry> m_checks;  // under the board's lock
  uint64_t m_stops = 0;       // under the board's lock
};
