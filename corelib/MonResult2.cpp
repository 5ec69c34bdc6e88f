#include "corelib/MonResult2.h"

#include "corelib/utf8.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>


CMonResult2::CMonResult2() = default;

CMonResult2::~CMonResult2() { udcw_free(&m_builder); }

CMonResult2::CMonResult2(CMonResult2&& other) noexcept { *this = other; }

CMonResult2& CMonResult2::operator=(CMonResult2& other) noexcept {
  if (this == &other) return *this;
  udcw_free(&m_builder);
  m_resultTime = other.m_resultTime;
  m_i32Count = other.m_i32Count;
  m_ui32Count = other.m_ui32Count;
  m_i64Count = other.m_i64Count;
  m_ui64Count = other.m_ui64Count;
  m_d64Count = other.m_d64Count;
  m_strCount = other.m_strCount;
  m_builder = std::exchange(other.m_builder, nullptr);
  return *this;
}

CMonResult2& CMonResult2::operator=(CMonResult2&& other) noexcept { return *this = other; }

bool CMonResult2::create(uint32_t i32Count, uint32_t ui32Count, uint32_t i64Count, uint32_t ui64Count,
                         uint32_t d64Count, uint32_t strCount) {
  udcw_free(&m_builder);
  m_i32Count = i32Count;
  m_ui32Count = ui32Count;
  m_i64Count = i64Count;
  m_ui64Count = ui64Count;
  m_d64Count = d64Count;
  m_strCount = strCount;
  return udcw_new(&m_builder, i32Count, ui32Count, i64Count, ui64Count, d64Count, strCount);
}

bool CMonResult2::init(uint32_t type, uint32_t testID, uint32_t lid) {
  m_resultTime = static_cast<int64_t>(time(nullptr));
  bool ok = add(m_resultTime);
  ok = add(type) && ok;
  ok = add(testID) && ok;
  ok = add(lid) && ok;
  return ok;
}

bool CMonResult2::add(int32_t value) { return udcw_add(m_builder, UDC_I32, value); }
bool CMonResult2::add(uint32_t value) { return udcw_add(m_builder, UDC_UI32, value); }
bool CMonResult2::add(int64_t value) { return udcw_add(m_builder, UDC_I64, value); }
bool CMonResult2::add(uint64_t value) { return udcw_add(m_builder, UDC_UI64, value); }
bool CMonResult2::add(double value) { return udcw_add(m_builder, UDC_D64, value); }

bool CMonResult2::add(const char* text) {
  return udcw_add(m_builder, UDC_STR, text && *text ? text : "N/A");
}

bool CMonResult2::add(const wchar_t* text) {
  std::string utf8;
  if (text && !WideToUtf8(text, utf8)) return false;
  return add(utf8.c_str());
}

bool CMonResult2::add(const void* udc) { return udcw_add(m_builder, UDC_SUB, static_cast<const _U_D_C_*>(udc)); }

bool CMonResult2::add(const CMonResult2& nested) { return nested.m_builder && add(nested.get_pointer()); }

bool CMonResult2::get(unsigned char** data, uint32_t* size) const {
  if (!data || !size || !m_builder) return false;
  *data = reinterpret_cast<unsigned char*>(udc_copy(m_builder->udc));
  *size = *data ? m_builder->udc->size : 0;
  return *data != nullptr;
}

const void* CMonResult2::get_pointer() const { return m_builder ? m_builder->udc : nullptr; }

uint32_t CMonResult2::get_size() const { return m_builder ? m_builder->udc->size : 0; }

int64_t CMonResult2::get_result_time() const { return m_resultTime; }
