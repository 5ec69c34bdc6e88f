// UTF-8 <-> UTF-16 conversion for the Windows boundary (registry data, paths).
// Portable, so the registry value rules are tested natively as well.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// False (and `out` untouched) when `text` is not well-formed UTF-8: truncated or
// overlong sequences, encoded surrogates, code points above U+10FFFF.
bool utf8_to_utf16(const std::string& text, std::u16string& out);

// Unpaired surrogates become U+FFFD, as the Windows conversion does.
std::string utf16_to_utf8(const char16_t* text, size_t length);

}  // namespace platform
