// The development gateway's custom-monitor API, without sockets: credentials
// with state (fresh keys and tokens; a stale token gets code 4, an unknown
// key 3, an unregistered agent ID 5), jobs from a file re-read on every
// request, recorded results and deletions, and errors on demand by action and
// occurrence. The HTTP front end (devgateway.cpp) copies the request in and
// the reply out.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace devgw {

// An error served instead of the normal answer, to the Nth request of an
// action: "getJobs #3: code 5", "apikey #1: http 502", "getJobs #2: hang 70",
// "addAgent #1: malformed", "... nocode", "... empty"; for downloads the
// action is "files" ("files #1: http 404", "files #1: hang 60").
struct ApiFault {
  std::string action;
  uint64_t occurrence = 1;
  enum Kind { Code, Http, Malformed, NoCode, Empty, Hang } kind = Code;
  int value = 0;  // the code, the HTTP status or the hang in seconds
};
bool parse_api_fault(const std::string& text, ApiFault& fault, std::string& error);

struct ApiConfig {
  std::string agentKey;  // accepted agent key; empty accepts any
  std::string email;     // accepted account for agentkey/apikey by account; empty accepts any
  std::string jobsFile;  // one `job` element each; re-read on every getJobs
  std::string filesDir;  // plugin archives served under /files/
  std::vector<ApiFault> faults;
};

struct ApiRequest {
  std::string method;
  std::string target;                         // path and query as received
  std::map<std::string, std::string> params;  // decoded query parameters
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
};

struct ApiReply {
  int status = 200;
  std::string contentType = "text/xml";
  std::string body;
  unsigned hangSeconds = 0;
};

struct ApiExchange {
  uint64_t number = 0;
  std::string action;
  int code = 0;           // the API code answered, 0 for success
  std::string note;       // why (stale token, unknown key, fault ...)
  bool recorded = false;  // addResult and deleteJob: shown in full
  std::string decodedBody;
  std::string timestampCheck;  // token form: "ok" or how far off UTC it was
  ApiRequest request;
  ApiReply reply;
};

// "%XX" and '+' decoded; a bad escape is kept as written.
std::string url_decode(const std::string& text);
// Splits "a=b&c=d" into decoded pairs.
std::map<std::string, std::string> parse_query(const std::string& query);

class CustomApiLogic {
 public:
  explicit CustomApiLogic(
      ApiConfig config, std::function<time_t()> now = [] { return time(nullptr); });
  // Thread-safe; never throws on malformed input.
  ApiExchange handle(const ApiRequest& request);
  // A plugin archive; `name` is the part after /files/.
  ApiExchange download(const std::string& name);

 private:
  bool fault(const std::string& action, ApiExchange& ex);
  void error(ApiExchange& ex, int code, const std::string& text);
  bool checkToken(ApiExchange& ex);
  std::string fresh(size_t length);
  void getJobs(ApiExchange& ex);

  mutable std::mutex m_lock;
  const ApiConfig m_config;
  std::function<time_t()> m_now;
  std::map<std::string, uint64_t> m_counts;      // requests per action
  std::set<std::string> m_agentKeys;             // issued by agentkey
  std::map<std::string, std::string> m_secrets;  // API key -> its current secret key
  std::map<std::string, std::string> m_tokens;   // API key -> its current token
  std::set<std::string> m_staleTokens;
  std::set<uint32_t> m_agents;
  uint32_t m_nextAgent = 1001;
  std::set<uint32_t> m_forgotten;  // run, update and delete jobs that deleteJob named
  uint64_t m_exchanges = 0;
  std::mt19937_64 m_random;
};

std::string api_line(const ApiExchange& ex);
std::string api_json(const ApiExchange& ex);

}  // namespace devgw
