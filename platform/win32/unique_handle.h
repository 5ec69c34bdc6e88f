// A kernel handle that closes itself. Both "no handle" values of the API
// (null and INVALID_HANDLE_VALUE) count as empty.
#pragma once

#include <windows.h>

namespace win32 {

class unique_handle {
 public:
  explicit unique_handle(HANDLE h = nullptr) : m_h(h) {}
  ~unique_handle() {
    if (*this) CloseHandle(m_h);
  }
  unique_handle(const unique_handle&) = delete;
  unique_handle& operator=(const unique_handle&) = delete;

  explicit operator bool() const { return m_h != nullptr && m_h != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return m_h; }

 private:
  HANDLE m_h;
};

}  // namespace win32
