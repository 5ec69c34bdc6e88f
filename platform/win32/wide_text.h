// UTF-8 to the wide strings of the Windows API, inside platform/win32 only.
#pragma once

#include <string>

#include "platform/utf16.h"

namespace platform {

// False for text that is not valid UTF-8.
inline bool to_wide(const std::string& text, std::wstring& out) {
  std::u16string wide;
  if (!utf8_to_utf16(text, wide)) return false;
  out.assign(wide.begin(), wide.end());
  return true;
}

inline std::string from_wide(const wchar_t* text, size_t length) {
  static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide characters are UTF-16 units");
  return utf16_to_utf8(reinterpret_cast<const char16_t*>(text), length);
}

}  // namespace platform
