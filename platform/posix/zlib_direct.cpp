#include "platform/posix/zlib_direct.h"

#include <zlib.h>

#include <limits>

bool ZlibDirect::Compress(uint8_t* dest, size_t* destLen, const uint8_t* src, size_t srcLen, int level) {
  if (destLen == nullptr) return false;
  // Lengths beyond zlib's uLong are refused rather than truncated.
  if (srcLen > std::numeric_limits<uLong>::max()) return false;
  uLongf out = *destLen > std::numeric_limits<uLongf>::max() ? std::numeric_limits<uLongf>::max()
                                                             : static_cast<uLongf>(*destLen);
  if (compress2(dest, &out, src, static_cast<uLong>(srcLen), level) != Z_OK) return false;
  *destLen = out;
  return true;
}

uint32_t ZlibDirect::Adler32(uint32_t adler, const uint8_t* data, size_t size) {
  if (data == nullptr) return static_cast<uint32_t>(adler32(adler, nullptr, 0));
  uLong sum = adler;
  while (size > 0) {
    const uInt piece =
        size > std::numeric_limits<uInt>::max() ? std::numeric_limits<uInt>::max() : static_cast<uInt>(size);
    sum = adler32(sum, data, piece);
    data += piece;
    size -= piece;
  }
  return static_cast<uint32_t>(sum);
}
