// zlib as the agent uses it for report bodies. On Windows the library is
// loaded at run time from the agent's own folder and may be missing; then the
// agent sends its reports uncompressed and without checksums.
#pragma once

#include <cstddef>
#include <cstdint>

class ICompression {
 public:
  virtual ~ICompression() = default;
  virtual bool Available() const = 0;
  // compress2 at `level`; false on failure. *destLen is the capacity in, the size out.
  virtual bool Compress(uint8_t* dest, size_t* destLen, const uint8_t* src, size_t srcLen, int level) = 0;
  virtual uint32_t Adler32(uint32_t adler, const uint8_t* data, size_t size) = 0;
};
