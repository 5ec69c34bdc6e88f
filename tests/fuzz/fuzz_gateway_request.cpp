// Agent requests as the development gateway receives them: arbitrary header
// values and bodies, with switches that get past the session and checksum
// checks (and optionally compress the body) so the decoding is reached too.
#include <fuzzer/FuzzedDataProvider.h>
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "tools/devgateway/exchange_log.h"
#include "tools/devgateway/gateway_logic.h"
#include "tools/devgateway/gateway_plan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  devgw::Plan plan;
  std::string planError;
  devgw::parse_plan(in.ConsumeRandomLengthString(256), plan, planError);

  devgw::GatewayConfig config;
  if (in.ConsumeBool()) config.key = "AK";
  if (in.ConsumeBool()) config.email = "ops@example.test";
  devgw::GatewayLogic logic(config, std::move(plan));
  devgw::Exchange auth = logic.handle({{{"Mon-AKey", "AK"}, {"Mon-EMail", "ops@example.test"},
                                        {"Mon-Pass", devgw::kEmptyPasswordDigest}, {"Mon-AName", "a"}},
                                       ""});
  const std::string session = auth.reply.session.value_or("");

  const uint8_t mode = in.ConsumeIntegral<uint8_t>();
  devgw::Headers headers;
  for (int n = in.ConsumeIntegralInRange(0, 4); n > 0; --n) {
    static const char* const names[] = {"Mon-SessionID", "Mon-AKey", "Mon-EMail", "Mon-Pass",
                                        "Mon-AName",     "mon-compression", "MON-CHECKSUM", "X-Other"};
    headers.emplace_back(names[in.ConsumeIntegralInRange(0, 7)], in.ConsumeRandomLengthString(64));
  }
  std::string compression = in.ConsumeRandomLengthString(24);
  std::string checksum = in.ConsumeRandomLengthString(24);
  std::string body = in.ConsumeRemainingBytesAsString();

  if (mode & 1) headers.emplace_back("Mon-SessionID", session);
  if (mode & 2) {
    uLongf n = compressBound(body.size());
    std::string packed(n, '\0');
    if (compress2(reinterpret_cast<Bytef*>(&packed[0]), &n, reinterpret_cast<const Bytef*>(body.data()),
                  body.size(), Z_DEFAULT_COMPRESSION) == Z_OK) {
      packed.resize(n);
      // Declared size right or a little off.
      compression = std::to_string(body.size() + (mode >> 5) % 3 - 1);
      body = packed;
    }
  }
  if (mode & 4) {
    checksum = std::to_string(adler32(adler32(0, nullptr, 0), reinterpret_cast<const Bytef*>(body.data()),
                                      static_cast<uInt>(body.size())));
  }
  if (mode & 8) {
    headers.emplace_back("Mon-Compression", compression);
    headers.emplace_back("Mon-CheckSum", checksum);
  }

  devgw::Exchange ex = logic.handle({headers, body});
  // A refusal never comes with records or as a success.
  if (!ex.error.empty() && (ex.reply.status < 400 || !ex.records.empty())) __builtin_trap();

  std::string out = devgw::exchange_line(ex) + devgw::exchange_json(ex);
  for (const auto& r : ex.records) out += devgw::record_line(r) + devgw::record_json(ex.number, r);
  if (out.find('\n') != std::string::npos) __builtin_trap();  // one line each
  return 0;
}
