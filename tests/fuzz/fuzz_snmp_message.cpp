// The SNMP message decoder over arbitrary datagrams; what it accepts must
// encode again and decode to the same message.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "corelib/snmp_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  snmp::Message m;
  std::string why;
  if (snmp::DecodeMessage(data, size, m, &why) != snmp::DecodeResult::kOk) return 0;
  for (const snmp::VarBind& vb : m.bindings) {
    (void)snmp::ValueText(vb.value);
    std::string text;
    (void)snmp::RetStatus(vb.value, snmp::OidToText(vb.name), snmp::Limits{true, -5, 5}, text);
  }
  if (m.pduType == snmp::kTrapV1) return 0;
  std::vector<uint8_t> again;
  if (!snmp::EncodeMessage(m, again)) return 0;  // a name that cannot be written back
  snmp::Message back;
  if (snmp::DecodeMessage(again.data(), again.size(), back) != snmp::DecodeResult::kOk) abort();
  if (back.bindings.size() != m.bindings.size() || back.requestId != m.requestId ||
      back.community != m.community)
    abort();
  return 0;
}
