#include "tools/devgateway/gateway_logic.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <cstdio>

#include "tools/report/report_decoder.h"

namespace devgw {

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equal_nocase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

const std::string* find_header(const Headers& headers, const char* name) {
  for (const auto& h : headers)
    if (equal_nocase(h.first, name)) return &h.second;
  return nullptr;
}

// The two values the agent treats as failures, never as a session.
bool special_session(const std::string& value) { return value == "666666" || value == "111111"; }

// Reads a numeric header; false with `error` set when missing, not decimal or
// above `max`.
bool numeric_header(const Headers& headers, const char* name, uint64_t max, uint64_t& value,
                    std::string& error) {
  const std::string* text = find_header(headers, name);
  if (!text) {
    error = std::string("no ") + name + " header";
    return false;
  }
  if (!parse_decimal(*text, UINT64_MAX, value)) {
    error = std::string(name) + " is not a decimal number: '" + *text + "'";
    return false;
  }
  if (value > max) {
    error = std::string(name) + " " + *text + " is above the limit of " + std::to_string(max);
    return false;
  }
  return true;
}

}  // namespace

std::string md5_hex(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr)) return {};
  std::string hex;
  char two[3];
  for (unsigned int i = 0; i < length; ++i) {
    snprintf(two, sizeof two, "%02x", digest[i]);
    hex += two;
  }
  return hex;
}

GatewayLogic::GatewayLogic(GatewayConfig config, Plan plan)
    : m_config(std::move(config)), m_plan(std::move(plan)), m_random(std::random_device{}()) {}

size_t GatewayLogic::planGroupsLeft() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_plan.auth.size() + m_plan.data.size();
}

std::string GatewayLogic::newSession() {
  // Random, so that an agent still holding a session from an earlier run of
  // the gateway is refused as it would be by a real one.
  char id[40];
  snprintf(id, sizeof id, "devgw-%016llx", static_cast<unsigned long long>(m_random()));
  return id;
}

Exchange GatewayLogic::handle(const GatewayRequest& request) {
  std::lock_guard<std::mutex> hold(m_lock);
  Exchange ex;
  ex.number = ++m_exchanges;
  ex.bodyBytes = request.body.size();
  for (const auto& h : request.headers) {
    bool mon = h.first.size() >= 4 && equal_nocase(h.first.substr(0, 4), "mon-");
    if (mon || equal_nocase(h.first, "Content-Type") || equal_nocase(h.first, "User-Agent"))
      ex.shownHeaders.push_back(h);
  }

  if (find_header(request.headers, "Mon-SessionID")) {
    ex.kind = ExchangeKind::Data;
    handleData(request, ex);
  } else if (find_header(request.headers, "Mon-AKey") || find_header(request.headers, "Mon-EMail")) {
    ex.kind = ExchangeKind::Auth;
    handleAuth(request, ex);
  } else {
    ex.error = "no Mon-SessionID, Mon-AKey or Mon-EMail header";
    ex.reply.status = 400;
  }
  if (!ex.error.empty() && ex.reply.body.empty()) ex.reply.body = ex.error;
  return ex;
}

bool GatewayLogic::credentialsAccepted(const GatewayRequest& request, Exchange& ex) const {
  const Headers& h = request.headers;
  const std::string* name = find_header(h, "Mon-AName");
  if (!name || name->empty()) {
    ex.error = "no Mon-AName";
    return false;
  }
  if (!m_config.name.empty() && *name != m_config.name) {
    ex.error = "agent name '" + *name + "' not accepted";
    return false;
  }
  if (m_config.anyCredentials()) return true;

  if (ex.authMethod == "key") {
    if (m_config.key.empty()) {
      ex.error = "key authorisation not enabled";
    } else if (*find_header(h, "Mon-AKey") != m_config.key) {
      ex.error = "wrong agent key";
    }
    return ex.error.empty();
  }
  const std::string* pass = find_header(h, "Mon-Pass");
  if (m_config.email.empty()) {
    ex.error = "account authorisation not enabled";
  } else if (!equal_nocase(*find_header(h, "Mon-EMail"), m_config.email)) {
    ex.error = "unknown account '" + *find_header(h, "Mon-EMail") + "'";
  } else if (!pass) {
    ex.error = "no Mon-Pass";
  } else if (!equal_nocase(*pass, m_config.passwordDigest)) {
    ex.error = "wrong password digest";
  }
  return ex.error.empty();
}

void GatewayLogic::handleAuth(const GatewayRequest& request, Exchange& ex) {
  // The agent sends its key when it has one, so a key wins over an account.
  ex.authMethod = find_header(request.headers, "Mon-AKey") ? "key" : "account";
  if (!request.body.empty()) {
    ex.error = "an authorisation request carries no body";
    ex.reply.status = 400;
    return;
  }
  if (!credentialsAccepted(request, ex)) {
    ex.reply.status = m_config.authStatus.value_or(401);
    return;
  }

  PlanGroup group;
  if (!m_plan.auth.empty()) {
    group = std::move(m_plan.auth.front());
    m_plan.auth.pop_front();
    ex.planned = true;
  }
  GatewayReply& reply = ex.reply;
  reply.status = group.status ? *group.status : m_config.authStatus.value_or(200);
  if (group.session) {
    if (!group.session->empty()) reply.session = *group.session;
  } else if (reply.status == 200) {
    reply.session = m_config.replySession ? *m_config.replySession : newSession();
  }
  if (reply.session && !reply.session->empty() && !special_session(*reply.session))
    m_sessions.insert(*reply.session);
  reply.body = group.body();
  reply.hangSeconds = group.hangSeconds;
  reply.downSeconds = group.downSeconds;
  reply.reset = group.reset;
}

void GatewayLogic::handleData(const GatewayRequest& request, Exchange& ex) {
  const Headers& h = request.headers;
  const std::string& session = *find_header(h, "Mon-SessionID");
  if (!m_sessions.count(session)) {
    ex.error = "unknown session '" + session + "'";
    ex.reply.status = 401;
    return;
  }
  ex.reply.status = 400;
  uint64_t inflated = 0, checksum = 0;
  if (!numeric_header(h, "Mon-Compression", kMaxInflatedBytes, inflated, ex.error)) return;
  if (!numeric_header(h, "Mon-CheckSum", UINT32_MAX, checksum, ex.error)) return;
  if (request.body.size() > kMaxBodyBytes) {
    ex.error = "body of " + std::to_string(request.body.size()) + " bytes is above the limit of " +
               std::to_string(kMaxBodyBytes);
    return;
  }
  const auto* body = reinterpret_cast<const uint8_t*>(request.body.data());
  size_t size = request.body.size();
  if (checksum != 0) {
    uLong actual = adler32(adler32(0, nullptr, 0), body, static_cast<uInt>(size));
    if (actual != checksum) {
      ex.error = "Mon-CheckSum " + std::to_string(checksum) + " does not match the body's Adler-32 " +
                 std::to_string(actual);
      return;
    }
  }

  report::Error error;
  std::vector<uint8_t> raw;
  if (inflated > 0) {
    if (!report::inflate_exact(body, size, inflated, raw, error)) {
      ex.error = "zlib body, byte " + std::to_string(error.offset) + ": " + error.reason;
      return;
    }
    body = raw.data();
    size = raw.size();
  }
  std::vector<report::Span> spans;
  if (!report::split_records(body, size, spans, error)) {
    ex.error = "records, byte " + std::to_string(error.offset) + ": " + error.reason;
    return;
  }
  for (const report::Span& span : spans) {
    DecodedRecord record;
    record.index = ex.records.size();
    const uint8_t* p = body + span.offset;
    uint32_t value = 0;
    if (report::record_ui32(p, 0, value)) record.type = value;
    if (report::record_ui32(p, 1, value)) record.testID = value;
    record.text = report::print_record(p);
    ex.records.push_back(std::move(record));
  }

  ex.reply.status = 200;
  if (m_plan.data.empty()) return;
  PlanGroup group = std::move(m_plan.data.front());
  m_plan.data.pop_front();
  ex.planned = true;
  if (group.status) ex.reply.status = *group.status;
  if (group.session && !group.session->empty()) {
    // The agent takes any other value as its new session.
    ex.reply.session = *group.session;
    if (!special_session(*group.session)) m_sessions.insert(*group.session);
  }
  ex.reply.body = group.body();
  ex.reply.hangSeconds = group.hangSeconds;
  ex.reply.downSeconds = group.downSeconds;
  ex.reply.reset = group.reset;
}

void GatewayLogic::setBaseUrl(const std::string& base) {
  std::lock_guard<std::mutex> hold(m_lock);
  complete_own_locations(m_plan, base);
}

}  // namespace devgw
