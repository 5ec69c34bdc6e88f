#include "agent/TextFields.h"

#include <cctype>
#include <cstdlib>
#include <limits>

std::vector<std::string> SplitText(const std::string& text, char separator) {
  std::vector<std::string> pieces;
  size_t start = 0;
  for (size_t i = 1; i < text.size(); ++i) {
    if (text[i] == separator) {
      pieces.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  if (start < text.size()) pieces.push_back(text.substr(start));
  return pieces;
}

int32_t ReadNumber(const std::string& field) {
  size_t i = 0;
  while (i < field.size() && isspace(static_cast<unsigned char>(field[i]))) ++i;
  bool negative = false;
  if (i < field.size() && (field[i] == '+' || field[i] == '-')) negative = field[i++] == '-';
  int64_t value = 0;
  for (; i < field.size() && isdigit(static_cast<unsigned char>(field[i])); ++i) {
    value = value * 10 + (field[i] - '0');
    if (value > std::numeric_limits<int32_t>::max()) {
      value = std::numeric_limits<int32_t>::max() + int64_t{negative};
      break;
    }
  }
  return static_cast<int32_t>(negative ? -value : value);
}

namespace {

bool starts_with_nocase(const std::string& text, const char* prefix) {
  size_t i = 0;
  for (; prefix[i]; ++i) {
    if (i >= text.size() || tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

}  // namespace

bool SplitGatewayUrl(const std::string& url, GatewayAddress& out, size_t maxHost, size_t maxPath) {
  GatewayAddress a;
  size_t at;
  if (starts_with_nocase(url, "https://")) {
    a.secure = true;
    a.port = 443;
    at = 8;
  } else if (starts_with_nocase(url, "http://")) {
    a.secure = false;
    a.port = 80;
    at = 7;
  } else {
    return false;
  }
  size_t slash = url.find_first_of("/?", at);
  std::string authority = url.substr(at, slash == std::string::npos ? std::string::npos : slash - at);
  a.path = slash == std::string::npos ? "/" : url.substr(slash);
  if (a.path[0] == '?') a.path = "/" + a.path;
  // A port follows the last colon, unless that colon is inside an [IPv6] literal.
  size_t colon = authority.rfind(':');
  size_t bracket = authority.rfind(']');
  if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
    std::string port = authority.substr(colon + 1);
    authority.resize(colon);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
    unsigned long n = strtoul(port.c_str(), nullptr, 10);
    if (n == 0 || n > 65535) return false;
    a.port = static_cast<uint16_t>(n);
  }
  if (authority.empty() || authority.size() > maxHost || a.path.size() > maxPath) return false;
  a.host = authority;
  out = a;
  return true;
}
