// The custom-monitor API's HTTP side in devgateway: its options and routes
// (the API path, GET and POST; plugin archives under /files/).
#pragma once

#include <httplib.h>

#include <functional>
#include <memory>
#include <string>

#include "tools/devgateway/custom_api.h"

namespace devgw {

struct ApiOptions {
  std::string path = "/api";
  ApiConfig config;
};

// The option texts for --help.
extern const char* const kApiUsage;
// True when `name` is one of the API's options.
bool is_api_option(const std::string& name);
// False with `error` when `value` does not suit `name`.
bool parse_api_option(const std::string& name, const std::string& value, ApiOptions& options,
                      std::string& error);

struct ApiServing {
  // Prints one exchange (a line and a JSON object) under the front end's output lock.
  std::function<void(const std::string& line, const std::string& json)> output;
  // Waits up to that many seconds, less when devgateway stops.
  std::function<void(unsigned seconds)> hang;
  // Tells the front end's request logger that a handler took the request.
  std::function<void()> handled;
};

// Adds the routes; the logic must outlive the server.
void serve_custom_api(httplib::Server& server, const std::string& path, CustomApiLogic& logic,
                      const ApiServing& serving);

}  // namespace devgw
