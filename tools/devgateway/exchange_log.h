// How the development gateway reports what it saw: one text line per exchange
// and per record for stdout (tests grep them), and one JSON object per line
// for the --json file. Everything shown comes from the agent, so control
// characters are escaped and JSON strings are always valid UTF-8.
#pragma once

#include <string>

#include "tools/devgateway/gateway_logic.h"

namespace devgw {

// "exchange N: KIND, HEADERS, body B bytes, records M, status S[, ...]"
std::string exchange_line(const Exchange& ex);
// "record: " and the printed record on one line.
std::string record_line(const DecodedRecord& record);

std::string exchange_json(const Exchange& ex);
std::string record_json(uint64_t exchange, const DecodedRecord& record);

// Control characters as \r, \n, \t or \xHH; everything else unchanged.
std::string printable(const std::string& text);
// A quoted JSON string; bytes that are not UTF-8 become U+FFFD.
std::string json_string(const std::string& text);

}  // namespace devgw
