// CMonResult2: the result record as the monitors build it. `init` writes the
// standard prefix every result starts with: I64 0 the result time (seconds
// since 1970 UTC), UI32 0-2 the record type, the test identifier and the lid.
#pragma once

#include <cstdint>

#include "corelib/corelib_api.h"
#include "corelib/udc.h"

class CORELIB_API CMonResult2 {
 public:
  CMonResult2();
  ~CMonResult2();
  CMonResult2(const CMonResult2&) = delete;
  CMonResult2(CMonResult2&& other) noexcept;
  // Hands the record over: `other` is left without one, so exactly one of the
  // two ever frees the block.
  CMonResult2& operator=(CMonResult2& other) noexcept;
  CMonResult2& operator=(CMonResult2&& other) noexcept;

  // Declared counts in the order I32, UI32, I64, UI64, D64, STR.
  bool create(uint32_t i32Count, uint32_t ui32Count, uint32_t i64Count, uint32_t ui64Count,
              uint32_t d64Count, uint32_t strCount);
  // Needs at least 1 I64 and 3 UI32 declared.
  bool init(uint32_t type, uint32_t testID, uint32_t lid);

  bool add(int32_t value);
  bool add(uint32_t value);
  bool add(int64_t value);
  bool add(uint64_t value);
  bool add(double value);
  bool add(const char* text);     // null or empty stores "N/A"
  bool add(const wchar_t* text);  // converted to UTF-8; false when not valid UTF-16/32
  bool add(const void* udc);      // appends a copy of a complete record
  bool add(const CMonResult2& nested);

  // A malloc'ed copy of the whole block (free with free()).
  bool get(unsigned char** data, uint32_t* size) const;
  const void* get_pointer() const;
  uint32_t get_size() const;
  int64_t get_result_time() const;

 private:
  int64_t m_resultTime = 0;
  uint32_t m_i32Count = 0;
  uint32_t m_ui32Count = 0;
  uint32_t m_i64Count = 0;
  uint32_t m_ui64Count = 0;
  uint32_t m_d64Count = 0;
  uint32_t m_strCount = 0;
  _U_D_C_W_* m_builder = nullptr;
};
