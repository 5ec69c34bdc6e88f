// The zip reader on arbitrary bytes: the directory, the name rules and each
// entry's data (entries declaring more than 1 MiB are skipped here to keep
// the fuzzer's memory small; the bound itself is the reader's).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/miniunz/zip_archive.h"
#include "tools/miniunz/zip_extract.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string archive(reinterpret_cast<const char*>(data), size);
  std::vector<zip_archive::Entry> entries;
  std::string error;
  if (!zip_archive::ReadDirectory(archive, entries, error)) return 0;
  std::string problem;
  zip_archive::CheckNames(archive, problem);
  for (const auto& e : entries) {
    if (e.size > (1u << 20)) continue;
    std::string out;
    zip_archive::ExtractEntry(archive, e, out, error);
  }
  return 0;
}
