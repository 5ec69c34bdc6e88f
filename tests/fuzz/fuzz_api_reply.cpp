// Replies of the custom-monitor API: every reading of a reply body, and the
// error code of any body.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "agent/custom/CorvaneAPIRequest.h"
#include "tests/unit/fakes/fake_http.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  FakeHttpTransport transport([&](const platform::HttpExchangeSpec&) {
    FakeHttpTransport::Reply r;
    r.body = body;
    return r;
  });
  CCorvaneAPIRequest::Setup s;
  s.transport = &transport;
  s.apiUrl = "http://127.0.0.1:1/api";
  s.log = [](const std::string&) {};
  s.makeXml = [](int32_t&) { return platform::create_native_xml_document(); };
  CCorvaneAPIRequest api(s);
  std::vector<std::string> jobs;
  api.RequestJobs(1, 0, jobs);
  std::string token, text;
  uint32_t id = 0;
  api.RequestAuthToken("k", "s", token);
  api.RequestAddAgent("a", id);
  const int32_t code = api.GetErrorCode(text);
  if (code == 0) __builtin_trap();  // a reply's error code is never success
  return 0;
}
