#include "tools/devgateway/custom_api.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/xml_document.h"
#include "tools/devgateway/exchange_log.h"
#include "tools/devgateway/gateway_plan.h"

namespace devgw {
namespace {

constexpr size_t kMaxJobsFile = 16u << 20;
constexpr long kTimestampSlackSeconds = 300;

std::string xml_escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '<')
      out += "&lt;";
    else if (c == '>')
      out += "&gt;";
    else if (c == '&')
      out += "&amp;";
    else if (c == '"')
      out += "&quot;";
    else
      out += c;
  }
  return out;
}

std::string param(const ApiRequest& r, const char* name) {
  auto it = r.params.find(name);
  return it == r.params.end() ? std::string() : it->second;
}

bool has_param(const ApiRequest& r, const char* name) { return r.params.count(name) != 0; }

// Seconds since 1970 of "YYYY-MM-DD hh:mm:ss" read as UTC.
std::optional<int64_t> parse_timestamp(const std::string& t) {
  unsigned y, mo, d, h, mi, s;
  char tail;
  if (t.size() != 19 || sscanf(t.c_str(), "%4u-%2u-%2u %2u:%2u:%2u%c", &y, &mo, &d, &h, &mi, &s, &tail) != 6)
    return std::nullopt;
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) return std::nullopt;
  int64_t yy = static_cast<int64_t>(y) - (mo <= 2);
  const int64_t era = (yy >= 0 ? yy : yy - 399) / 400;
  const int64_t yoe = yy - era * 400;
  const int64_t doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t days = era * 146097 + doe - 719468;
  return days * 86400 + h * 3600 + mi * 60 + s;
}

bool valid_file_name(const std::string& name) {
  if (name.empty() || name.size() > 200 || name[0] == '.') return false;
  for (unsigned char c : name)
    if (!isalnum(c) && c != '.' && c != '_' && c != '-') return false;
  return true;
}

}  // namespace

bool parse_api_fault(const std::string& text, ApiFault& fault, std::string& error) {
  // ACTION #N: KIND [VALUE]
  const size_t hash = text.find(" #"), colon = text.find(": ");
  if (hash == std::string::npos || colon == std::string::npos || colon < hash) {
    error = "expected 'ACTION #N: KIND [VALUE]'";
    return false;
  }
  fault = ApiFault();
  fault.action = text.substr(0, hash);
  uint64_t n = 0;
  if (!parse_decimal(text.substr(hash + 2, colon - hash - 2), 1000000, n) || n == 0) {
    error = "bad occurrence";
    return false;
  }
  fault.occurrence = n;
  std::string kind = text.substr(colon + 2), value;
  const size_t blank = kind.find(' ');
  if (blank != std::string::npos) {
    value = kind.substr(blank + 1);
    kind.resize(blank);
  }
  auto number = [&](uint64_t max) {
    uint64_t v = 0;
    if (!parse_decimal(value, max, v)) return false;
    fault.value = static_cast<int>(v);
    return true;
  };
  if (kind == "code") {
    fault.kind = ApiFault::Code;
    if (!number(1000000)) return error = "code needs a number", false;
  } else if (kind == "http") {
    fault.kind = ApiFault::Http;
    if (!number(599) || fault.value < 100) return error = "http needs 100..599", false;
  } else if (kind == "hang") {
    fault.kind = ApiFault::Hang;
    if (!number(kMaxHangSeconds)) return error = "hang needs seconds", false;
  } else if (kind == "malformed" && value.empty()) {
    fault.kind = ApiFault::Malformed;
  } else if (kind == "nocode" && value.empty()) {
    fault.kind = ApiFault::NoCode;
  } else if (kind == "empty" && value.empty()) {
    fault.kind = ApiFault::Empty;
  } else {
    error = "unknown fault '" + kind + "'";
    return false;
  }
  return true;
}

std::string url_decode(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
      i += 2;
    } else if (text[i] == '+') {
      out += ' ';
    } else {
      out += text[i];
    }
  }
  return out;
}

std::map<std::string, std::string> parse_query(const std::string& query) {
  std::map<std::string, std::string> out;
  size_t at = 0;
  while (at <= query.size()) {
    size_t amp = query.find('&', at);
    std::string piece = query.substr(at, amp == std::string::npos ? std::string::npos : amp - at);
    if (!piece.empty()) {
      size_t eq = piece.find('=');
      out[url_decode(piece.substr(0, eq))] = eq == std::string::npos ? "" : url_decode(piece.substr(eq + 1));
    }
    if (amp == std::string::npos) break;
    at = amp + 1;
  }
  return out;
}

CustomApiLogic::CustomApiLogic(ApiConfig config, std::function<time_t()> now)
    : m_config(std::move(config)), m_now(std::move(now)), m_random(std::random_device{}()) {}

std::string CustomApiLogic::fresh(size_t length) {
  static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::string out;
  for (size_t i = 0; i < length; ++i) out += kChars[m_random() % (sizeof kChars - 1)];
  return out;
}

void CustomApiLogic::error(ApiExchange& ex, int code, const std::string& text) {
  ex.code = code;
  ex.note = text;
  ex.reply.body = "<error code=\"" + std::to_string(code) + "\">" + xml_escape(text) + "</error>";
}

bool CustomApiLogic::fault(const std::string& action, ApiExchange& ex) {
  const uint64_t count = ++m_counts[action];
  for (const ApiFault& f : m_config.faults) {
    if (f.action != action || f.occurrence != count) continue;
    ex.note = "fault #" + std::to_string(count);
    switch (f.kind) {
      case ApiFault::Code: error(ex, f.value, "fault " + std::to_string(f.value)); break;
      case ApiFault::Http:
        ex.reply.status = f.value;
        if (action == "files") {
          ex.reply.contentType = "text/html";
          ex.reply.body = "<html><body><h1>" + std::to_string(f.value) + "</h1></body></html>";
        } else {
          ex.reply.body = "<error code=\"3\">server error</error>";
        }
        break;
      case ApiFault::Malformed: ex.reply.body = "<result><unclosed>"; break;
      case ApiFault::NoCode: ex.reply.body = "<error>no code given</error>"; break;
      case ApiFault::Empty: ex.reply.body.clear(); break;
      case ApiFault::Hang: ex.reply.hangSeconds = static_cast<unsigned>(f.value); return false;
    }
    return true;
  }
  return false;
}

// The token form: a known API key, its current token, the timestamp near our clock.
bool CustomApiLogic::checkToken(ApiExchange& ex) {
  const ApiRequest& r = ex.request;
  const std::string key = param(r, "apikey"), token = param(r, "authToken");
  auto stamp = parse_timestamp(param(r, "timestamp"));
  if (!stamp) {
    ex.timestampCheck = "unreadable";
  } else {
    const long off = static_cast<long>(*stamp - static_cast<int64_t>(m_now()));
    ex.timestampCheck = off >= -kTimestampSlackSeconds && off <= kTimestampSlackSeconds
                            ? "ok"
                            : "off by " + std::to_string(off) + " s";
  }
  if (!m_secrets.count(key)) return error(ex, 3, "Invalid api key"), false;
  if (param(r, "validation") != "token") return error(ex, 4, "Invalid validation"), false;
  auto it = m_tokens.find(key);
  if (it == m_tokens.end() || it->second != token) {
    error(ex, 4, m_staleTokens.count(token) ? "Auth token expired" : "Invalid auth token");
    return false;
  }
  return true;
}

ApiExchange CustomApiLogic::handle(const ApiRequest& request) {
  std::lock_guard<std::mutex> hold(m_lock);
  ApiExchange ex;
  ex.number = ++m_exchanges;
  ex.request = request;
  const ApiRequest& r = ex.request;
  ex.action = param(r, "action");
  if (fault(ex.action, ex)) return ex;
  const std::string& a = ex.action;
  if (a == "agentkey") {
    if (!m_config.email.empty() && param(r, "userName") != m_config.email)
      return error(ex, 3, "Unknown account"), ex;
    const std::string key = m_config.agentKey.empty() ? fresh(24) : m_config.agentKey;
    m_agentKeys.insert(key);
    ex.reply.body = "<result><agentKey>" + key + "</agentKey></result>";
  } else if (a == "apikey") {
    if (has_param(r, "agentKey")) {
      const std::string key = param(r, "agentKey");
      if (!m_config.agentKey.empty() && key != m_config.agentKey && !m_agentKeys.count(key))
        return error(ex, 3, "Invalid agent key"), ex;
    } else if (!m_config.email.empty() && param(r, "userName") != m_config.email) {
      return error(ex, 3, "Unknown account"), ex;
    }
    const std::string key = fresh(32), secret = fresh(32);
    m_secrets[key] = secret;
    ex.reply.body = "<result><apikey>" + key + "</apikey><secretkey>" + secret + "</secretkey></result>";
  } else if (a == "secretkey") {
    auto it = m_secrets.find(param(r, "apikey"));
    if (it == m_secrets.end()) return error(ex, 3, "Invalid api key"), ex;
    it->second = fresh(32);
    ex.reply.body = "<result><secretkey>" + it->second + "</secretkey></result>";
  } else if (a == "authToken") {
    auto it = m_secrets.find(param(r, "apikey"));
    if (it == m_secrets.end()) return error(ex, 3, "Invalid api key"), ex;
    if (it->second != param(r, "secretkey")) return error(ex, 1, "Invalid secret key"), ex;
    auto old = m_tokens.find(it->first);
    if (old != m_tokens.end()) m_staleTokens.insert(old->second);
    const std::string token = fresh(40);
    m_tokens[it->first] = token;
    ex.reply.body = "<authToken>" + token + "</authToken>";
  } else if (a == "addAgent") {
    if (!checkToken(ex)) return ex;
    const uint32_t id = m_nextAgent++;
    m_agents.insert(id);
    ex.reply.body = "<result><data>" + std::to_string(id) + "</data></result>";
  } else if (a == "getJobs") {
    if (!m_secrets.count(param(r, "apikey"))) return error(ex, 3, "Invalid api key"), ex;
    uint64_t id = 0;
    if (!parse_decimal(param(r, "agentId"), UINT32_MAX, id) || !m_agents.count(static_cast<uint32_t>(id)))
      return error(ex, 5, "Agent is not registered"), ex;
    getJobs(ex);
  } else if (a == "addResult" || a == "deleteJob") {
    ex.recorded = true;
    ex.decodedBody = url_decode(r.body);
    if (!checkToken(ex)) return ex;
    if (a == "deleteJob") {
      std::stringstream ids(param(r, "jobIds"));
      std::string piece;
      while (std::getline(ids, piece, ',')) {
        uint64_t n = 0;
        if (parse_decimal(piece, UINT32_MAX, n)) m_forgotten.insert(static_cast<uint32_t>(n));
      }
    }
    ex.reply.body = "<result><status>ok</status></result>";
  } else {
    error(ex, 2, "Unknown action");
  }
  return ex;
}

void CustomApiLogic::getJobs(ApiExchange& ex) {
  uint64_t last = 0;
  parse_decimal(param(ex.request, "lastJobId"), UINT32_MAX, last);
  std::string text;
  if (!m_config.jobsFile.empty()) {
    std::ifstream in(m_config.jobsFile, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    text = all.str().substr(0, kMaxJobsFile);
  }
  auto doc = platform::create_native_xml_document();
  platform::XmlLoadError loadError;
  std::string body = "<jobs>";
  if (!text.empty() && !doc->Load("<all>" + text + "</all>", loadError)) {
    ex.note = "jobs file unreadable: " + loadError.reason;
  } else if (!text.empty()) {
    size_t served = 0;
    for (auto& job : doc->DocumentElement()->Children("job")) {
      auto idNode = job->Child("id");
      uint64_t id = 0;
      // A job whose ID is no 32-bit number (a test of the agent's reading)
      // is served on every request.
      if (!idNode || !parse_decimal(idNode->Text(), UINT32_MAX, id)) {
        body += job->Xml();
        ++served;
        continue;
      }
      auto typeNode = job->Child("type");
      std::string type = typeNode ? typeNode->Text() : "";
      for (auto& c : type) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
      const bool keptForever = type != "run" && type != "update_plugin" && type != "delete_monitor";
      // A fresh agent (last job 0) gets its monitors again; one-off jobs
      // end once the agent has reported them deleted.
      if (m_forgotten.count(static_cast<uint32_t>(id)) && !(keptForever && last == 0)) continue;
      if (id <= last && !(keptForever && last == 0)) continue;
      body += job->Xml();
      ++served;
    }
    ex.note = std::to_string(served) + " job(s)";
  }
  ex.reply.body = body + "</jobs>";
}

ApiExchange CustomApiLogic::download(const std::string& name) {
  std::lock_guard<std::mutex> hold(m_lock);
  ApiExchange ex;
  ex.number = ++m_exchanges;
  ex.action = "files";
  ex.request.method = "GET";
  ex.request.target = "/files/" + name;
  if (fault("files", ex)) return ex;
  ex.reply.contentType = "application/zip";
  std::string data;
  bool found = false;
  if (valid_file_name(name) && !m_config.filesDir.empty()) {
    std::ifstream in(m_config.filesDir + "/" + name, std::ios::binary);
    if (in) {
      std::ostringstream all;
      all << in.rdbuf();
      data = all.str();
      found = true;
    }
  }
  if (!found) {
    ex.reply.status = 404;
    ex.reply.contentType = "text/html";
    ex.reply.body = "<html><body><h1>404 Not Found</h1></body></html>";
    ex.note = "no such file";
    return ex;
  }
  ex.reply.body = std::move(data);
  return ex;
}

std::string api_line(const ApiExchange& ex) {
  std::string line = "api " + std::to_string(ex.number) + ": " + printable(ex.action) + ", " +
                     printable(ex.request.method) + ", status " + std::to_string(ex.reply.status) +
                     ", code " + std::to_string(ex.code);
  if (!ex.note.empty()) line += ", " + printable(ex.note);
  if (!ex.timestampCheck.empty()) line += ", timestamp " + ex.timestampCheck;
  if (ex.reply.hangSeconds) line += ", hang " + std::to_string(ex.reply.hangSeconds) + " s";
  if (ex.recorded) {
    line += "\n  target: " + printable(ex.request.target);
    line += "\n  params:";
    for (const auto& p : ex.request.params)
      line += " " + printable(p.first) + "='" + printable(p.second) + "'";
    line += "\n  body: raw '" + printable(ex.request.body) + "' decoded '" + printable(ex.decodedBody) + "'";
    line += "\n  headers:";
    for (const auto& h : ex.request.headers)
      if (h.first.compare(0, 4, "Mon-") == 0)
        line += " " + printable(h.first) + ": '" + printable(h.second) + "'";
  }
  return line;
}

std::string api_json(const ApiExchange& ex) {
  std::string j = "{\"api\":" + std::to_string(ex.number) + ",\"action\":" + json_string(ex.action) +
                  ",\"method\":" + json_string(ex.request.method) +
                  ",\"target\":" + json_string(ex.request.target) +
                  ",\"status\":" + std::to_string(ex.reply.status) + ",\"code\":" + std::to_string(ex.code);
  j += ",\"params\":{";
  bool first = true;
  for (const auto& p : ex.request.params) {
    j += (first ? "" : ",") + json_string(p.first) + ":" + json_string(p.second);
    first = false;
  }
  j += "},\"headers\":{";
  first = true;
  for (const auto& h : ex.request.headers)
    if (h.first.compare(0, 4, "Mon-") == 0) {
      j += (first ? "" : ",") + json_string(h.first) + ":" + json_string(h.second);
      first = false;
    }
  j += "},\"body\":" + json_string(ex.request.body);
  if (ex.recorded) j += ",\"decodedBody\":" + json_string(ex.decodedBody);
  if (!ex.timestampCheck.empty()) j += ",\"timestamp\":" + json_string(ex.timestampCheck);
  if (!ex.note.empty()) j += ",\"note\":" + json_string(ex.note);
  return j + "}";
}

}  // namespace devgw
