// A stand-in for the worker as the monitors see it: it keeps every record
// that reaches its cache (each checked as the gateway would) and every line
// of its status channel. DecodedRecord reads a record back.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "corelib/MonResult2.h"
#include "corelib/udc.h"

struct DecodedRecord {
  std::vector<int32_t> i32;
  std::vector<uint32_t> ui32;
  std::vector<int64_t> i64;
  std::vector<uint64_t> ui64;
  std::vector<double> d64;
  std::vector<std::string> str;
  std::vector<DecodedRecord> sub;

  // The record at `data`, which must have passed udc_validate.
  static DecodedRecord Read(const unsigned char* data) {
    _U_D_C_ h;
    memcpy(&h, data, sizeof h);
    DecodedRecord r;
    const unsigned char* p = data + sizeof h;
    auto take = [&p](auto& values, uint32_t count) {
      values.resize(count);
      for (auto& v : values) {
        memcpy(&v, p, sizeof v);
        p += sizeof v;
      }
    };
    take(r.i32, h.i32Count);
    take(r.ui32, h.ui32Count);
    take(r.i64, h.i64Count);
    take(r.ui64, h.ui64Count);
    take(r.d64, h.d64Count);
    for (uint32_t i = 0; i < h.strCount; ++i) {
      r.str.emplace_back(reinterpret_cast<const char*>(p));
      p += r.str.back().size() + 1;
    }
    for (uint32_t i = 0; i < h.subCount; ++i) {
      uint32_t size;
      memcpy(&size, p, sizeof size);
      r.sub.push_back(Read(p));
      p += size;
    }
    return r;
  }

  uint32_t type() const { return ui32.at(0); }
};

class RecordingOwner {
 public:
  void AddToCache(const CMonResult2* r) {
    const auto* data = static_cast<const unsigned char*>(r->get_pointer());
    uint64_t size = 0, offset = 0;
    const char* reason = nullptr;
    // A record the gateway would refuse fails the test that made it.
    ASSERT_TRUE(udc_validate(data, r->get_size(), &size, &offset, &reason))
        << (reason ? reason : "") << " at byte " << offset;
    ASSERT_EQ(size, r->get_size());
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records.push_back(DecodedRecord::Read(data));
  }
  void NotifyStatus(uint32_t code, const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (code == 10) m_lines.push_back(text);
  }

  std::vector<DecodedRecord> Records() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records;
  }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
  }
  bool Logged(const std::string& line) {
    for (const std::string& l : Lines())
      if (l == line) return true;
    return false;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records.clear();
    m_lines.clear();
  }

 private:
  std::mutex m_mutex;
  std::vector<DecodedRecord> m_records;
  std::vector<std::string> m_lines;
};
