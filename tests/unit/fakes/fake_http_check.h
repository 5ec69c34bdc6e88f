// The HTTP check seam played by a script: each check answers with the set
// result after handing the set status and pieces to the sink; `hold` makes a
// check wait (as a server that holds its answer) until its stop or budget;
// `deafMs` makes it first ignore a stop for that long.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/http_check.h"

class FakeHttpCheck : public IHttpCheck {
 public:
  HttpCheckResult Check(const HttpCheckRequest& request, std::chrono::milliseconds budget,
                        IHttpCheckSink& sink, IHttpCheckStop& stop) override {
    Script script;
    {
      std::lock_guard<std::mutex> lock(m_lock);
      requests.push_back(request);
      budgets.push_back(budget);
      script = this->script;
    }
    if (script.deafMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(script.deafMs));
    if (script.hold) {
      bool cancelled = false;
      stop.SetCancel([this, &cancelled] {
        std::lock_guard<std::mutex> lock(m_lock);
        cancelled = true;
        m_wake.notify_all();
      });
      {
        std::unique_lock<std::mutex> lock(m_lock);
        m_wake.wait_for(lock, budget, [&] { return cancelled; });
      }
      stop.ClearCancel();
      HttpCheckResult r;
      r.outcome = HttpCheckOutcome::TimedOut;
      return r;
    }
    HttpCheckResult r = script.result;
    if (r.statusCode != 0 && !sink.StatusReceived(r.statusCode)) {
      r.contentLength = 0;
      return r;
    }
    if (request.readBody)
      for (const std::string& piece : script.pieces) sink.BodyPiece(piece.data(), piece.size());
    return r;
  }
  std::string ErrorText(uint32_t error) override { return error == 12029 ? "Cannot connect." : ""; }

  struct Script {
    HttpCheckResult result;
    std::vector<std::string> pieces;
    bool hold = false;
    int deafMs = 0;
  };
  void Set(const Script& s) {
    std::lock_guard<std::mutex> lock(m_lock);
    script = s;
  }
  std::vector<HttpCheckRequest> Requests() {
    std::lock_guard<std::mutex> lock(m_lock);
    return requests;
  }

 private:
  std::mutex m_lock;
  std::condition_variable m_wake;
  Script script;
  std::vector<HttpCheckRequest> requests;
  std::vector<std::chrono::milliseconds> budgets;
};
