// Wide text (UTF-16 on Windows, UTF-32 elsewhere) to UTF-8, header-only so
// that corelib and the agent share it without an export.
#pragma once

#include <cstdint>
#include <string>

// UTF-16 (Windows) or UTF-32 (elsewhere) to UTF-8; false on a broken surrogate
// or a value outside Unicode.
inline bool WideToUtf8(const wchar_t* text, std::string& out) {
  for (const wchar_t* p = text; *p; ++p) {
    uint32_t c = static_cast<uint32_t>(*p);
    if (sizeof(wchar_t) == 2) {
      c &= 0xFFFF;
      if (c >= 0xD800 && c <= 0xDBFF) {
        uint32_t low = static_cast<uint32_t>(p[1]) & 0xFFFF;
        if (low < 0xDC00 || low > 0xDFFF) return false;
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++p;
      } else if (c >= 0xDC00 && c <= 0xDFFF) {
        return false;
      }
    } else if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      return false;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return true;
}

