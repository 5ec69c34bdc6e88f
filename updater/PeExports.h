// Reading a DLL's export names from its file, without loading it: loading a
// DLL runs its entry point, and the Updater runs as LocalSystem on files that
// came over the network. Portable, so it is tested and fuzzed natively.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace updater {

enum class PeExport {
  Found,     // the name is in the export name table
  Absent,    // a well-formed 64-bit image without that name (or without exports)
  Unusable,  // not a 64-bit x64 image, or a header, table or name out of bounds
};

// Looks `name` up in the export name table of the PE image in `image` (the
// file's bytes). Only images a 64-bit process could load count (PE32+, x64);
// every offset, count and string is checked against `size`.
PeExport find_pe_export(const uint8_t* image, size_t size, const std::string& name);

}  // namespace updater
