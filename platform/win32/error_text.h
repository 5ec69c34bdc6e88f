// The system's text for an error code, as the agent logs and reports it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/win32/wide.h"

namespace win32 {

// `module`'s message table is searched before the system's own when it is not
// null (WinHTTP keeps its texts in winhttp.dll). The trailing line break is
// dropped; empty when neither table has the code.
inline std::string ErrorText(uint32_t code, HMODULE module = nullptr) {
  DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  if (module != nullptr) flags |= FORMAT_MESSAGE_FROM_HMODULE;
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(flags, module, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string result;
  if (n != 0 && text != nullptr) result = Narrow(text, static_cast<int>(n));
  if (text != nullptr) LocalFree(text);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == ' '))
    result.pop_back();
  return result;
}

}  // namespace win32
