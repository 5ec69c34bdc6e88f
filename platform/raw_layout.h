// Values at fixed offsets of a system buffer, which is little-endian on every
// machine the agent runs on; read byte by byte so that nothing depends on the
// buffer's alignment or the host's byte order.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

template <typename T>
T ReadLittleEndian(const uint8_t* p) {
  static_assert(std::is_integral<T>::value, "integers only");
  std::make_unsigned_t<T> v = 0;
  for (int i = static_cast<int>(sizeof(T)) - 1; i >= 0; --i) v = static_cast<decltype(v)>((v << 8) | p[i]);
  T out;
  memcpy(&out, &v, sizeof out);
  return out;
}
