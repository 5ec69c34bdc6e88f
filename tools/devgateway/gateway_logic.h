// The development gateway's handling of one agent exchange, without sockets:
// classifies the request (authorisation or data), checks credentials, session,
// checksum and declared size, decodes the report body and picks the reply from
// the plan. The HTTP front end only copies headers and body in and the reply out.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tools/devgateway/gateway_plan.h"

namespace devgw {

// What the agent sends as Mon-Pass when it has no password stored.
constexpr const char* kEmptyPasswordDigest = "d41d8cd98f00b204e9800998ecf8427e";
// Bounds on what a request may make us hold: the body as received and the
// size it claims to inflate to.
constexpr uint64_t kMaxBodyBytes = 16ull << 20;
constexpr uint64_t kMaxInflatedBytes = 64ull << 20;

// Lower-case MD5 hex digest, as the account authorisation carries it.
std::string md5_hex(const std::string& text);

struct GatewayConfig {
  std::string key;    // accepted agent key; empty refuses key authorisation
  std::string email;  // accepted account; empty refuses account authorisation
  std::string passwordDigest = kEmptyPasswordDigest;
  std::string name;  // accepted agent name; empty accepts any non-empty name
  // With neither key nor e-mail every authorisation is accepted.
  bool anyCredentials() const { return key.empty() && email.empty(); }
  std::optional<int> authStatus;  // forced status of every authorisation
  std::optional<std::string> replySession;  // fixed Mon-SessionID instead of a new one
};

using Headers = std::vector<std::pair<std::string, std::string>>;

struct GatewayRequest {
  Headers headers;  // names compared case-insensitively
  std::string body;
};

struct GatewayReply {
  int status = 200;
  std::optional<std::string> session;  // the Mon-SessionID response header
  std::string body;
  unsigned hangSeconds = 0;  // the front end waits this long before answering
  unsigned downSeconds = 0;  // then listens to nobody for this long
  bool reset = false;        // sends part of the body, then resets the connection
};

enum class ExchangeKind { Auth, Data, Unknown };

struct DecodedRecord {
  size_t index = 0;
  std::optional<uint32_t> type;    // UI32 0
  std::optional<uint32_t> testID;  // UI32 1
  std::string text;                // as udcw_print_data renders it
};

struct Exchange {
  uint64_t number = 0;  // 1 for the first request handled
  ExchangeKind kind = ExchangeKind::Unknown;
  std::string authMethod;  // "key" or "account" for authorisations
  Headers shownHeaders;  // Mon-*, Content-Type and User-Agent, in request order
  size_t bodyBytes = 0;
  std::vector<DecodedRecord> records;
  std::string error;  // why the request was refused; empty when it was accepted
  bool planned = false;  // a plan group shaped the reply
  GatewayReply reply;
};

class GatewayLogic {
 public:
  GatewayLogic(GatewayConfig config, Plan plan);

  // Thread-safe; never throws on malformed input.
  Exchange handle(const GatewayRequest& request);

  size_t planGroupsLeft() const;
  // devgateway's own address, for the plan's "!upd" paths (complete_own_locations).
  void setBaseUrl(const std::string& base);

 private:
  void handleAuth(const GatewayRequest& request, Exchange& ex);
  void handleData(const GatewayRequest& request, Exchange& ex);
  bool credentialsAccepted(const GatewayRequest& request, Exchange& ex) const;
  std::string newSession();

  mutable std::mutex m_lock;
  const GatewayConfig m_config;
  Plan m_plan;
  std::set<std::string> m_sessions;  // every session identifier handed out
  uint64_t m_exchanges = 0;
  std::mt19937_64 m_random;
};

}  // namespace devgw
