// UTF-8 <-> UTF-16 at the Windows API boundary. Text is UTF-8 everywhere
// inside the agent; these two are the only crossings this layer needs.
#pragma once

#include <windows.h>

#include <string>

namespace win32 {

inline std::wstring Widen(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], n);
  return wide;
}

// `length` in characters; -1 for a zero-terminated string.
inline std::string Narrow(const wchar_t* wide, int length = -1) {
  if (wide == nullptr || length == 0) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide, length, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string utf8(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, length, &utf8[0], n, nullptr, nullptr);
  if (length < 0) utf8.pop_back();  // the converted terminator
  return utf8;
}

inline std::string Narrow(const std::wstring& wide) {
  return Narrow(wide.data(), static_cast<int>(wide.size()));
}

}  // namespace win32
