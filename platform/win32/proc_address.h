// A function of a loaded module by name, cast to its real type.
#pragma once

#include <windows.h>

namespace win32 {

template <typename Fn>
Fn ResolveFunction(HMODULE module, const char* name) {
  if (module == nullptr) return nullptr;
  // GetProcAddress returns a generic function pointer; the cast through
  // void* keeps -Wcast-function-type quiet about the deliberate conversion.
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace win32
