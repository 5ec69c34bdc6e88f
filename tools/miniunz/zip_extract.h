// One entry's data out of an archive read by zip_archive (zlib for deflate),
// held to its declared size and checked against its CRC.
#pragma once

#include "tools/miniunz/zip_archive.h"

namespace zip_archive {

bool ExtractEntry(const std::string& data, const Entry& entry, std::string& out, std::string& error);

}  // namespace zip_archive
