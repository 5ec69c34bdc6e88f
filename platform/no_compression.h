// The agent without its compression library: what it sees when zlibwapi.dll
// is missing or incomplete. Used by tests of that path.
#pragma once

#include "platform/compression.h"

class NoCompression : public ICompression {
 public:
  bool Available() const override { return false; }
  bool Compress(uint8_t*, size_t*, const uint8_t*, size_t, int) override { return false; }
  uint32_t Adler32(uint32_t, const uint8_t*, size_t) override { return 0; }
};
