// Job texts from the custom-monitor API: the XML reader and the job parser.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "agent/custom/CustomMonitor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string summary;
  std::vector<std::string> lines;
  CustomJob job = ParseCustomJob(
      text, 0, [](int32_t&) { return platform::create_native_xml_document(); }, summary, lines);
  // What the manager relies on: the fallbacks of the numbers.
  if (job.interval == 0 || job.maxParallelJobs == 0 || job.jobId == 0xFFFFFFFFu) __builtin_trap();
  return 0;
}
