// The export reader on arbitrary bytes: every header, table and name offset
// comes from the file, so none may lead outside it.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "updater/PeExports.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so that a read one byte past the end is caught.
  const std::vector<uint8_t> image(data, data + size);
  updater::find_pe_export(image.data(), image.size(), "DllRegisterServer");
  return 0;
}
