// HTTP monitor test lines as the gateway sends them: the field split and
// parse, the body decoding, and the search over a body cut into pieces
// (checked against a search of the whole body).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "agent/Plugins/http_mon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string line = in.ConsumeRandomLengthString(4096);
  CHttpTest test;
  if (http_check::ParseTest(SplitText(line, '\t'), test)) {
    if (test.port == 0) abort();
    if (test.body.size() > line.size()) abort();  // decoding never grows the body
  }
  const std::string needle = in.ConsumeRandomLengthString(64);
  const std::string body = in.ConsumeRandomLengthString(8192);
  http_check::BodySearch search(needle);
  for (size_t at = 0; at < body.size();) {
    size_t piece = 1 + in.ConsumeIntegralInRange<size_t>(0, 600);
    if (piece > body.size() - at) piece = body.size() - at;
    search.Feed(body.data() + at, piece);
    at += piece;
  }
  if (!needle.empty() && search.Found() != (body.find(needle) != std::string::npos)) abort();
  if (search.Total() != body.size()) abort();
  return 0;
}
