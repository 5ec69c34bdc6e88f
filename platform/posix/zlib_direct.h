// zlib linked directly, for the native build where the library is always there.
#pragma once

#include "platform/compression.h"

class ZlibDirect : public ICompression {
 public:
  bool Available() const override { return true; }
  bool Compress(uint8_t* dest, size_t* destLen, const uint8_t* src, size_t srcLen, int level) override;
  uint32_t Adler32(uint32_t adler, const uint8_t* data, size_t size) override;
};
