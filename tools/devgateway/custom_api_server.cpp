#include "tools/devgateway/custom_api_server.h"

#include <fstream>
#include <sstream>

namespace devgw {

const char* const kApiUsage =
    "Custom-monitor API (on its own path, GET and POST):\n"
    "  --api-path P          its path (default /api)\n"
    "  --api-key K           accept agent key K for apikey (default: any)\n"
    "  --api-email E         accept account E for agentkey and apikey (default: any)\n"
    "  --jobs FILE           getJobs serves the `job` elements of FILE, re-read on\n"
    "                        every request, those above lastJobId (add and edit jobs\n"
    "                        again for lastJobId=0)\n"
    "  --files DIR           plugin archives served under /files/NAME\n"
    "  --api-fault SPEC      an error on demand, e.g. \"getJobs #3: code 5\"; kinds:\n"
    "                        code N, http N, malformed, nocode, empty, hang S; the\n"
    "                        action \"files\" is a download (http 404 answers HTML)\n"
    "  --api-faults FILE     one SPEC a line\n";

bool is_api_option(const std::string& name) {
  return name == "--api-path" || name == "--api-key" || name == "--api-email" || name == "--jobs" ||
         name == "--files" || name == "--api-fault" || name == "--api-faults";
}

bool parse_api_option(const std::string& name, const std::string& value, ApiOptions& o, std::string& error) {
  if (name == "--api-path") {
    if (value.empty() || value[0] != '/' || value.compare(0, 7, "/files/") == 0)
      return error = "--api-path must start with '/' and not be under /files/", false;
    o.path = value;
  } else if (name == "--api-key") {
    o.config.agentKey = value;
  } else if (name == "--api-email") {
    o.config.email = value;
  } else if (name == "--jobs") {
    o.config.jobsFile = value;
  } else if (name == "--files") {
    o.config.filesDir = value;
  } else if (name == "--api-fault") {
    ApiFault fault;
    if (!parse_api_fault(value, fault, error)) return error = "--api-fault '" + value + "': " + error, false;
    o.config.faults.push_back(fault);
  } else if (name == "--api-faults") {
    std::ifstream in(value);
    if (!in) return error = "cannot read " + value, false;
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
      ++number;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty() || line[0] == '#') continue;
      ApiFault fault;
      if (!parse_api_fault(line, fault, error))
        return error = value + ":" + std::to_string(number) + ": " + error, false;
      o.config.faults.push_back(fault);
    }
  }
  return true;
}

namespace {

// httplib routes by regular expression; the path is literal.
std::string literal(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (!isalnum(static_cast<unsigned char>(c)) && c != '/' && c != '_' && c != '-') out += '\\';
    out += c;
  }
  return out;
}

}  // namespace

void serve_custom_api(httplib::Server& server, const std::string& path, CustomApiLogic& logic,
                      const ApiServing& serving) {
  auto api = [&logic, serving](const httplib::Request& req, httplib::Response& res) {
    serving.handled();
    ApiRequest request;
    request.method = req.method;
    request.target = req.target;
    size_t q = req.target.find('?');
    if (q != std::string::npos) request.params = parse_query(req.target.substr(q + 1));
    for (const auto& h : req.headers) request.headers.emplace_back(h.first, h.second);
    request.body = req.body;
    ApiExchange ex = logic.handle(request);
    serving.output(api_line(ex), api_json(ex));
    if (ex.reply.hangSeconds) serving.hang(ex.reply.hangSeconds);
    res.status = ex.reply.status;
    res.set_content(ex.reply.body, ex.reply.contentType);
  };
  server.Get(literal(path), api);
  server.Post(literal(path), api);
  server.Get(R"(/files/([^/]+))", [&logic, serving](const httplib::Request& req, httplib::Response& res) {
    serving.handled();
    ApiExchange ex = logic.download(req.matches[1]);
    serving.output(api_line(ex), api_json(ex));
    if (ex.reply.hangSeconds) serving.hang(ex.reply.hangSeconds);
    res.status = ex.reply.status;
    res.set_content(ex.reply.body, ex.reply.contentType);
  });
}

}  // namespace devgw
