// The reply plan of the development gateway: reply bodies (test definitions and
// commands) and per-exchange directives, read from a text file and handed out
// one group per exchange.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace devgw {

// A hang longer than this is a typo, not a time-out test: the agent gives up
// on an exchange after 50 seconds.
constexpr unsigned kMaxHangSeconds = 600;

// Strict decimal reading for plan directives and request headers: digits only
// (no sign, no blanks), at most `max`.
bool parse_decimal(const std::string& text, uint64_t max, uint64_t& value);

struct PlanGroup {
  std::vector<std::string> lines;      // the reply body, one line each
  bool forAuth = false;                // "!auth": answers an authorisation
  std::optional<int> status;           // "!status N"
  std::optional<std::string> session;  // "!session [V]": empty V sends no header
  unsigned hangSeconds = 0;            // "!hang S"
  unsigned downSeconds = 0;            // "!down S"
  bool reset = false;                  // "!reset"
  int firstLine = 0;                   // where the group starts in the file
  // Lines of "!upd" whose location is a path on devgateway itself, completed
  // by complete_own_locations once the port is known.
  std::vector<size_t> ownLocations;

  // The agent cuts a reply at line feeds alone and keeps a carriage return as
  // part of the line, so the lines are joined by '\n' only, with no trailing
  // one: a body of exactly "111111" must stay exactly that.
  std::string body() const;
};

// Groups in file order, split by what they answer.
struct Plan {
  std::deque<PlanGroup> auth;
  std::deque<PlanGroup> data;
};

// Plan file syntax, line by line (a trailing '\r' is dropped):
//   "# ..."       comment
//   "!auth"       this group answers the next authorisation, not a data request
//   "!status N"   answer with HTTP status N (100..599)
//   "!session V"  send Mon-SessionID V; "!session" alone sends none
//   "!hang S"     wait S seconds (at most kMaxHangSeconds) before answering
//   "!down S"     after this reply, accept no connection for S seconds (at most
//                 kMaxHangSeconds); sessions stay valid
//   "!reset"      announce the whole body, send part of it, reset the connection
//   "!upd V L"    adds the reply line UPD<TAB>V<TAB>L; an L starting with "/"
//                 is a path on devgateway (see complete_own_locations)
//   "---"         ends the group, even an empty one
//   blank         ends the group when it has anything in it
//   anything else is a reply line, sent as written (fields TAB-separated)
// In reply lines and "!session" values "\0" stands for a zero byte (refused in
// a session: a header cannot carry it), "\r" for a carriage return and "\\"
// for a backslash; any other backslash is kept.
// On failure `error` names the line and the reason.
bool parse_plan(const std::string& text, Plan& plan, std::string& error);

// Puts `base` ("http://127.0.0.1:PORT") in front of every "!upd" location
// that is a path on devgateway; once only.
void complete_own_locations(Plan& plan, const std::string& base);

}  // namespace devgw
