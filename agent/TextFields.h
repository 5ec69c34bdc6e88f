// Cutting gateway replies into lines and fields, and reading their numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Cuts at every `separator`. Pieces between adjacent separators are kept
// (empty); a separator at the very end gives no empty last piece; an empty
// text gives no pieces. The first character always belongs to the first piece.
std::vector<std::string> SplitText(const std::string& text, char separator);

// A decimal integer as the gateway writes it: leading blanks, an optional sign,
// digits up to the first non-digit; nothing readable gives 0. Saturates at the
// int32 range instead of overflowing.
int32_t ReadNumber(const std::string& field);

// Where a gateway URL points. False when `url` is not http(s)://host[:port][path],
// or its host or path is longer than `maxHost` or `maxPath` characters.
struct GatewayAddress {
  std::string host;
  std::string path;
  uint16_t port = 0;
  bool secure = true;
};
bool SplitGatewayUrl(const std::string& url, GatewayAddress& out, size_t maxHost = 1024,
                     size_t maxPath = 4096);
