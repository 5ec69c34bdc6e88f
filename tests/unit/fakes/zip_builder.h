// Builds small zip archives in memory for tests: stored or deflated entries,
// with knobs to damage them.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

struct ZipItem {
  std::string name, data;
  bool deflate = false;
  int64_t declaredSize = -1;  // -1: the real size
  bool badCrc = false;
};

inline void ZipPut16(std::string& s, uint32_t v) {
  s += static_cast<char>(v & 0xff);
  s += static_cast<char>((v >> 8) & 0xff);
}
inline void ZipPut32(std::string& s, uint32_t v) {
  ZipPut16(s, v & 0xffff);
  ZipPut16(s, v >> 16);
}

inline std::string MakeZip(const std::vector<ZipItem>& items) {
  std::string out, central;
  for (const ZipItem& it : items) {
    std::string packed = it.data;
    if (it.deflate) {
      z_stream z{};
      deflateInit2(&z, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
      packed.resize(deflateBound(&z, static_cast<uLong>(it.data.size())) + 16);
      z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(it.data.data()));
      z.avail_in = static_cast<uInt>(it.data.size());
      z.next_out = reinterpret_cast<Bytef*>(&packed[0]);
      z.avail_out = static_cast<uInt>(packed.size());
      deflate(&z, Z_FINISH);
      packed.resize(z.total_out);
      deflateEnd(&z);
    }
    uint32_t crc = static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(it.data.data()), static_cast<uInt>(it.data.size())));
    if (it.badCrc) crc ^= 1;
    const uint32_t size =
        it.declaredSize < 0 ? static_cast<uint32_t>(it.data.size()) : static_cast<uint32_t>(it.declaredSize);
    const uint32_t offset = static_cast<uint32_t>(out.size());
    const uint32_t method = it.deflate ? 8 : 0;
    ZipPut32(out, 0x04034b50);
    ZipPut16(out, 20);
    ZipPut16(out, 0);
    ZipPut16(out, method);
    ZipPut32(out, 0);
    ZipPut32(out, crc);
    ZipPut32(out, static_cast<uint32_t>(packed.size()));
    ZipPut32(out, size);
    ZipPut16(out, static_cast<uint32_t>(it.name.size()));
    ZipPut16(out, 0);
    out += it.name + packed;
    ZipPut32(central, 0x02014b50);
    ZipPut16(central, 20);
    ZipPut16(central, 20);
    ZipPut16(central, 0);
    ZipPut16(central, method);
    ZipPut32(central, 0);
    ZipPut32(central, crc);
    ZipPut32(central, static_cast<uint32_t>(packed.size()));
    ZipPut32(central, size);
    ZipPut16(central, static_cast<uint32_t>(it.name.size()));
    ZipPut16(central, 0);
    ZipPut16(central, 0);
    ZipPut16(central, 0);
    ZipPut16(central, 0);
    ZipPut32(central, 0);
    ZipPut32(central, offset);
    central += it.name;
  }
  const uint32_t cdOffset = static_cast<uint32_t>(out.size());
  out += central;
  ZipPut32(out, 0x06054b50);
  ZipPut16(out, 0);
  ZipPut16(out, 0);
  ZipPut16(out, static_cast<uint32_t>(items.size()));
  ZipPut16(out, static_cast<uint32_t>(items.size()));
  ZipPut32(out, static_cast<uint32_t>(central.size()));
  ZipPut32(out, cdOffset);
  ZipPut16(out, 0);
  return out;
}
