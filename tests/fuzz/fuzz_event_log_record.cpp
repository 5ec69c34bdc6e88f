// Event log records as a read returns them, from this machine or another one:
// the parser and the texts made from what it gives.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/event_log_record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  EventLogRecord rec;
  if (!event_log_record::Parse(data, size, rec)) return 0;
  std::string text = event_log_record::SidText(rec.sid);
  text += event_log_record::DataText(rec.data, 127);
  for (const std::string& s : rec.strings) text += event_log_record::CutCharacters(s, 127);
  return static_cast<int>(text.size() & 0);
}
