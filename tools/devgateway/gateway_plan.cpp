#include "tools/devgateway/gateway_plan.h"

namespace devgw {

bool parse_decimal(const std::string& text, uint64_t max, uint64_t& value) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    unsigned digit = static_cast<unsigned>(c - '0');
    if (v > (max - digit) / 10) return false;
    v = v * 10 + digit;
  }
  value = v;
  return true;
}

std::string PlanGroup::body() const {
  std::string out;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i) out += '\n';
    out += lines[i];
  }
  return out;
}

namespace {

// "\0" is a zero byte and "\r" a carriage return, which a plan file cannot
// carry as such (a carriage return at a line's end is dropped, a zero byte is
// lost to most tools); "\\" is one backslash. Any other backslash is sent as
// written, so paths in test lines need no doubling.
std::string unescape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char next = i + 1 < text.size() ? text[i + 1] : '\0';
    if (text[i] == '\\' && (next == '0' || next == 'r' || next == '\\')) {
      out += next == '0' ? '\0' : next == 'r' ? '\r' : '\\';
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

bool empty_group(const PlanGroup& g) {
  return g.lines.empty() && !g.forAuth && !g.status && !g.session && g.hangSeconds == 0 &&
         g.downSeconds == 0 && !g.reset;
}

// Applies one "!..." line to `group`; false with `reason` for an unknown or
// malformed directive.
bool apply_directive(const std::string& line, PlanGroup& group, std::string& reason) {
  size_t blank = line.find(' ');
  std::string name = line.substr(0, blank);
  std::string arg = blank == std::string::npos ? std::string() : line.substr(blank + 1);
  uint64_t n = 0;
  if (name == "!auth" && arg.empty()) {
    group.forAuth = true;
  } else if (name == "!status") {
    if (!parse_decimal(arg, 599, n) || n < 100) {
      reason = "!status needs a number from 100 to 599";
      return false;
    }
    group.status = static_cast<int>(n);
  } else if (name == "!session") {
    // Longer than the agent reads (127 characters) is allowed, to show that it
    // ignores such a value; the bound only keeps the header sane.
    std::string value = unescape(arg);
    if (value.size() > 1024) {
      reason = "!session value longer than 1024 characters";
      return false;
    }
    // The HTTP library writes a header as C text and would cut the value
    // short of what the output reports as sent.
    if (value.find('\0') != std::string::npos) {
      reason = "!session value with a zero byte: a header cannot carry one";
      return false;
    }
    group.session = value;
  } else if (name == "!hang") {
    if (!parse_decimal(arg, kMaxHangSeconds, n)) {
      reason = "!hang needs a number of seconds up to " + std::to_string(kMaxHangSeconds);
      return false;
    }
    group.hangSeconds = static_cast<unsigned>(n);
  } else if (name == "!down") {
    if (!parse_decimal(arg, kMaxHangSeconds, n) || n == 0) {
      reason = "!down needs a number of seconds from 1 to " + std::to_string(kMaxHangSeconds);
      return false;
    }
    group.downSeconds = static_cast<unsigned>(n);
  } else if (name == "!upd") {
    // The version is one word; the location is the rest, as written.
    const size_t gap = arg.find(' ');
    const std::string version = arg.substr(0, gap);
    const std::string location = gap == std::string::npos ? std::string() : arg.substr(gap + 1);
    if (version.empty() || location.empty() || location.find_first_of(" \t") != std::string::npos) {
      reason = "!upd needs a version and a location";
      return false;
    }
    if (location[0] == '/') group.ownLocations.push_back(group.lines.size());
    group.lines.push_back("UPD\t" + version + "\t" + location);
  } else if (name == "!reset" && arg.empty()) {
    group.reset = true;
  } else {
    reason = "unknown directive '" + line + "'";
    return false;
  }
  return true;
}

}  // namespace

bool parse_plan(const std::string& text, Plan& plan, std::string& error) {
  plan = Plan{};
  PlanGroup group;
  int lineNumber = 0;
  auto close_group = [&]() {
    (group.forAuth ? plan.auth : plan.data).push_back(group);
    group = PlanGroup{};
  };
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.pop_back();

    if (line.empty()) {
      if (!empty_group(group)) close_group();
      continue;
    }
    if (line[0] == '#') continue;
    if (empty_group(group)) group.firstLine = lineNumber;
    if (line == "---") {
      close_group();
    } else if (line[0] == '!') {
      std::string reason;
      if (!apply_directive(line, group, reason)) {
        error = "plan line " + std::to_string(lineNumber) + ": " + reason;
        return false;
      }
    } else {
      group.lines.push_back(unescape(line));
    }
  }
  if (!empty_group(group)) close_group();
  return true;
}

void complete_own_locations(Plan& plan, const std::string& base) {
  for (auto* groups : {&plan.auth, &plan.data}) {
    for (PlanGroup& group : *groups) {
      for (size_t index : group.ownLocations) {
        std::string& line = group.lines[index];
        const size_t at = line.find('\t', 4);  // after "UPD\tVERSION"
        line.insert(at + 1, base);
      }
      group.ownLocations.clear();
    }
  }
}

}  // namespace devgw
