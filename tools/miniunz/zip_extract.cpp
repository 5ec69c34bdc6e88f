#include "tools/miniunz/zip_extract.h"

#include <zlib.h>

namespace zip_archive {

namespace {
uint32_t U16(const std::string& d, size_t at) {
  return static_cast<uint32_t>(static_cast<unsigned char>(d[at])) |
         static_cast<uint32_t>(static_cast<unsigned char>(d[at + 1])) << 8;
}
}  // namespace

bool ExtractEntry(const std::string& data, const Entry& e, std::string& out, std::string& error) {
  out.clear();
  const size_t at = e.localOffset;
  if (static_cast<uint64_t>(at) + 30 > data.size() || U16(data, at) != 0x4b50 ||
      U16(data, at + 2) != 0x0403) {
    error = "damaged archive (bad local header of '" + e.name + "')";
    return false;
  }
  const uint64_t start = static_cast<uint64_t>(at) + 30 + U16(data, at + 26) + U16(data, at + 28);
  if (start + e.packedSize > data.size()) {
    error = "damaged archive (truncated data of '" + e.name + "')";
    return false;
  }
  if (e.method == 0) {
    if (e.packedSize != e.size) {
      error = "damaged archive (stored size of '" + e.name + "')";
      return false;
    }
    out = data.substr(static_cast<size_t>(start), e.size);
  } else {
    // One byte of room past the declared size: data that inflates further
    // is caught, and an empty entry still has somewhere to end.
    out.resize(static_cast<size_t>(e.size) + 1);
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK) {
      error = "inflate init failed";
      return false;
    }
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + start));
    z.avail_in = e.packedSize;
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = e.size + 1;
    const int rc = inflate(&z, Z_FINISH);
    const bool whole = rc == Z_STREAM_END && z.total_out == e.size;
    out.resize(e.size);
    inflateEnd(&z);
    if (!whole) {
      error = "damaged archive (data of '" + e.name + "' does not inflate to its size)";
      return false;
    }
  }
  const uint32_t crc = static_cast<uint32_t>(
      crc32(0L, reinterpret_cast<const Bytef*>(out.data()), static_cast<uInt>(out.size())));
  if (crc != e.crc) {
    error = "CRC error in '" + e.name + "'";
    return false;
  }
  return true;
}

}  // namespace zip_archive
