// A result record taken apart for assertions, after udc_validate has passed it.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "corelib/udc.h"

struct UdcView {
  std::vector<int32_t> i32;
  std::vector<uint32_t> ui32;
  std::vector<int64_t> i64;
  std::vector<uint64_t> ui64;
  std::vector<double> d64;
  std::vector<std::string> str;
  std::vector<UdcView> subs;
  std::string error;  // why the bytes are no valid record; empty when they are
};

namespace udc_view_detail {

template <typename T>
void Take(const uint8_t*& p, uint32_t count, std::vector<T>& out) {
  out.resize(count);
  for (uint32_t i = 0; i < count; ++i, p += sizeof(T)) memcpy(&out[i], p, sizeof(T));
}

inline UdcView Read(const uint8_t* data) {
  _U_D_C_ h;
  memcpy(&h, data, sizeof h);
  UdcView v;
  const uint8_t* p = data + sizeof h;
  Take(p, h.i32Count, v.i32);
  Take(p, h.ui32Count, v.ui32);
  Take(p, h.i64Count, v.i64);
  Take(p, h.ui64Count, v.ui64);
  Take(p, h.d64Count, v.d64);
  for (uint32_t i = 0; i < h.strCount; ++i) {
    v.str.emplace_back(reinterpret_cast<const char*>(p));
    p += v.str.back().size() + 1;
  }
  for (uint32_t i = 0; i < h.subCount; ++i) {
    uint32_t size;
    memcpy(&size, p, sizeof size);
    v.subs.push_back(Read(p));
    p += size;
  }
  return v;
}

}  // namespace udc_view_detail

inline UdcView ViewRecord(const std::vector<uint8_t>& bytes) {
  uint64_t size = 0, offset = 0;
  const char* reason = nullptr;
  if (!udc_validate(bytes.data(), bytes.size(), &size, &offset, &reason) || size != bytes.size()) {
    UdcView bad;
    bad.error = reason ? reason : "trailing bytes";
    return bad;
  }
  return udc_view_detail::Read(bytes.data());
}
