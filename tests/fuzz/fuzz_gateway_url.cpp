// The Settings value Host as the agent splits it into scheme, host, port and path.
#include <cstddef>
#include <cstdint>
#include <string>

#include "agent/TextFields.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 8192) return 0;
  GatewayAddress address;
  const std::string url(reinterpret_cast<const char*>(data), size);
  if (SplitGatewayUrl(url, address)) {
    // What a split reports must come from the text it was given.
    if (address.host.size() > url.size() || address.path.size() > url.size()) __builtin_trap();
  }
  return 0;
}
