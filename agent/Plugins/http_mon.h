// CHttpMon: web servers. Each due test runs on a check thread of the shared
// runner, on its own copy of the test: after a short random pause (so that the
// checks of one tick spread out) it requests one URL through the HTTP check
// seam within the test's time budget, reads the status code and the content
// length, optionally the body with a search in it, and posts one result. The
// monitor carries the agent's proxy, read once per check.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "agent/AgentIdentity.h"
#include "agent/LogFormat.h"
#include "agent/Plugins/CheckRunner.h"
#include "agent/Plugins/MonTestTable.h"
#include "agent/TextFields.h"
#include "corelib/ExceptionRecord.h"
#include "platform/http_check.h"

struct CHttpTest : CMonTest {
  std::string host;
  std::string path;
  std::string search;  // empty: no search
  std::string body;    // decoded bytes
  std::string user, password;
  int32_t timeout = 0;  // seconds
  bool secure = false;
  bool reserved = false;  // stored; changes nothing
  bool isFull = false;
  bool mustContain = false;
  int32_t method = 0;  // 1 POST, 2 HEAD, anything else GET
  uint16_t port = 80;
};

// The rules of a check, free of the monitor's state and of the network.
namespace http_check {

// The request body as the test line carries it: "+" is a blank, "%" and two
// hexadecimal digits the byte they give (NUL included); a "%" without two
// digits after it stays as it is.
std::string DecodeBody(const std::string& field);

// Fills the test from the 16 fields of an add or modify line; false when the
// count is not 16 or the port is out of range.
bool ParseTest(const std::vector<std::string>& fields, CHttpTest& test);

const char* MethodName(int32_t method);

// The time allowed for one check; a negative time-out allows none.
inline std::chrono::milliseconds Budget(int32_t timeoutSeconds) {
  return std::chrono::milliseconds(timeoutSeconds > 0 ? int64_t{timeoutSeconds} * 1000 : 0);
}

// Status codes below 402, and 403, count as an answer of the server.
inline bool Accepted(uint32_t statusCode) { return statusCode < 402 || statusCode == 403; }

// Looks for a byte string in a body that arrives in pieces, keeping only the
// bytes a match across a piece boundary needs.
class BodySearch {
 public:
  explicit BodySearch(std::string needle) : m_needle(std::move(needle)) {}
  void Feed(const char* data, size_t size);
  bool Found() const { return m_found; }
  uint64_t Total() const { return m_total; }

 private:
  std::string m_needle;
  std::string m_carry;  // the last (needle length - 1) bytes seen
  bool m_found = false;
  uint64_t m_total = 0;
};

// A count as the record's 32-bit field holds it.
inline uint32_t Clamp32(uint64_t n) { return n > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(n); }

struct Verdict {
  uint32_t status = 2;  // 0 success, 2 failure
  uint32_t responseMs = 0;
  uint32_t statusCode = 0;
  uint32_t contentLength = 0;
  std::string text;
  std::string logLine;  // without the tag
};

// The result of one check from what the seam answered. `found` and
// `bytesRead` come from the body's search (read only with isFull).
Verdict Judge(const CHttpTest& test, const HttpCheckResult& answer, uint64_t elapsedMs, bool bodyRead,
              uint64_t bytesRead, bool found, const std::string& errorText);

}  // namespace http_check

template <class Owner>
class CHttpMon : public CMonTestTable<Owner, CHttpTest> {
  using Base = CMonTestTable<Owner, CHttpTest>;

 public:
  static constexpr uint32_t kResultType = 49;
  // 100 tests due in one tick all begin at once.
  static constexpr size_t kMaxRunningChecks = 256;

  explicit CHttpMon(IHttpCheck& http) : Base("mon_http: ", "HP"), m_http(http) {
    this->m_unitName = "Plugins/http_mon";
  }
  ~CHttpMon() override { this->Shutdown(); }

  // The agent's proxy ("host:port"); empty means none.
  void SetProxy(const std::string& proxy) {
    std::lock_guard<std::mutex> lock(m_proxyLock);
    m_proxy = proxy;
  }
  std::string GetProxy() const {
    std::lock_guard<std::mutex> lock(m_proxyLock);
    return m_proxy;
  }

  bool Start() override {
    bool started = Base::Start();
    if (started) m_runner.Start();
    return started;
  }
  // The runner's stop comes after the table's, outside the table lock.
  void FinishStop(typename Base::Clock::time_point deadline) override {
    Base::FinishStop(deadline);
    m_runner.Stop();
  }

  size_t RunningChecks() const { return m_runner.RunningCount(); }

 protected:
  bool ParseTest(const std::vector<std::string>& fields, CHttpTest& test) override {
    return http_check::ParseTest(fields, test);
  }
  std::string DescribeTest(const CHttpTest& t) override {
    return Format("addmodify test... testID:%d, lid:%d, host:'%s', path:'%s'", t.testID, t.lid,
                  t.host.c_str(), t.path.c_str());
  }
  bool CheckTest(CHttpTest& test) override {
    // Two checks of one test may overlap when a check outlasts the period.
    return m_runner.StartCheck(test.testID,
                               [this, copy = test](CCheckToken& token) { RunCheck(copy, token); });
  }

  void ShutdownChecks() override { m_runner.Shutdown(); }

  // The spread of the checks of one tick: base plus a random share of spread.
  std::chrono::milliseconds m_pauseBase{5000};
  int m_pauseSpread = 5000;

 private:
  class Sink : public IHttpCheckSink {
   public:
    Sink(CHttpMon& mon, const CHttpTest& test, CCheckToken& token)
        : m_mon(mon), m_test(test), m_token(token), m_search(test.search) {}
    bool StatusReceived(uint32_t code) override {
      m_mon.CheckLog(m_token, Format("received %u response. testID:%d, lid:%d, host:'%s', path:'%s'", code,
                                     m_test.testID, m_test.lid, m_test.host.c_str(), m_test.path.c_str()));
      m_accepted = http_check::Accepted(code);
      return m_accepted;
    }
    void BodyPiece(const char* data, size_t size) override {
      m_search.Feed(data, size);
      m_mon.CheckLog(m_token, Format("%llu bytes read. testID:%d, lid:%d, host:'%s', path:'%s'",
                                     static_cast<unsigned long long>(m_search.Total()), m_test.testID,
                                     m_test.lid, m_test.host.c_str(), m_test.path.c_str()));
    }

   private:
    CHttpMon& m_mon;
    const CHttpTest& m_test;
    CCheckToken& m_token;

   public:
    bool m_accepted = false;
    http_check::BodySearch m_search;
  };

  class StopLink : public IHttpCheckStop {
   public:
    explicit StopLink(CCheckToken& token) : m_token(token) {}
    bool SetCancel(std::function<void()> cancel) override { return m_token.SetCancel(std::move(cancel)); }
    void ClearCancel() override { m_token.ClearCancel(); }

   private:
    CCheckToken& m_token;
  };

  // Lines of a check go out like its result: not once its run has ended.
  void CheckLog(CCheckToken& token, const std::string& text) {
    token.Post([&] { this->Log(text); });
  }

  std::chrono::milliseconds NextPause() {
    std::lock_guard<std::mutex> lock(m_randomLock);
    uint32_t share = static_cast<uint32_t>(m_random() % 32768u);
    return m_pauseBase + std::chrono::milliseconds(share * static_cast<uint32_t>(m_pauseSpread) / 32768u);
  }

  void RunCheck(const CHttpTest& t, CCheckToken& token) {
    const char* full = t.isFull ? "yes" : "no";
    CheckLog(token, Format("checking testID:%d, lid:%d, host:'%s', path:'%s', isFull:'%s'", t.testID, t.lid,
                           t.host.c_str(), t.path.c_str(), full));
    if (!token.Pause(NextPause())) return;
    CheckLog(token, Format("start checking testID:%d, lid:%d, host:'%s', path:'%s', isFull:'%s'", t.testID,
                           t.lid, t.host.c_str(), t.path.c_str(), full));
    HttpCheckRequest request;
    request.host = t.host;
    request.port = t.port;
    request.secure = t.secure;
    request.method = http_check::MethodName(t.method);
    request.path = t.path;
    request.body = t.body;
    request.user = t.user;
    request.password = t.password;
    request.proxy = GetProxy();
    request.userAgent = agent_identity::kUserAgent;
    request.readBody = t.isFull;

    Sink sink(*this, t, token);
    StopLink stop(token);
    auto start = std::chrono::steady_clock::now();
    HttpCheckResult answer = m_http.Check(request, http_check::Budget(t.timeout), sink, stop);
    auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    std::string errorText;
    if (answer.outcome == HttpCheckOutcome::Failed) {
      errorText = m_http.ErrorText(answer.error);
      if (errorText.empty()) errorText = Format("WinINet error %u", answer.error);
    }
    http_check::Verdict v =
        http_check::Judge(t, answer, static_cast<uint64_t>(elapsed.count()), t.isFull && sink.m_accepted,
                          sink.m_search.Total(), sink.m_search.Found(), errorText);

    CMonResult2 result;
    result.create(0, 7, 1, 0, 0, 1);  // the prefix; status, time, code, length; text
    result.init(kResultType, static_cast<uint32_t>(t.testID), static_cast<uint32_t>(t.lid));
    result.add(v.status);
    result.add(v.responseMs);
    result.add(v.statusCode);
    result.add(v.contentLength);
    result.add(v.text.c_str());
    token.Post([&] {
      this->Log(v.logLine);
      this->PostResult(&result);
    });
    CheckLog(token, Format("end checking testID:%d, lid:%d, host:'%s', path:'%s', isFull:'%s'", t.testID,
                           t.lid, t.host.c_str(), t.path.c_str(), full));
  }

  IHttpCheck& m_http;
  mutable std::mutex m_proxyLock;
  std::string m_proxy;
  std::mutex m_randomLock;  // one generator for all checks: checks of one second get different pauses
  std::minstd_rand m_random{
      static_cast<uint32_t>(std::random_device{}()) ^
      static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count())};
  CCheckRunner m_runner{kMaxRunningChecks};  // last: its checks use the members above
};
