#include "platform/win32/zlib_library.h"

#include <climits>

#include "platform/win32/proc_address.h"
#include "platform/win32/wide.h"

std::string ZlibLibrary::ExecutableFolder() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
    if (n == 0) return std::string();
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);  // truncated: long-path install folder
  }
  const size_t slash = path.find_last_of(L"\\/");
  return win32::Narrow(slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1));
}

ZlibLibrary::ZlibLibrary() : ZlibLibrary(ExecutableFolder()) {}

ZlibLibrary::ZlibLibrary(const std::string& folder) {
  if (folder.empty()) return;  // no folder known: never fall back to a search by name
  std::wstring path = win32::Widen(folder);
  if (path.back() != L'\\' && path.back() != L'/') path += L'\\';
  path += L"zlibwapi.dll";

  module_ = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module_ == nullptr) return;
  adler32_ = win32::ResolveFunction<Adler32Fn>(module_, "adler32");
  compress2_ = win32::ResolveFunction<Compress2Fn>(module_, "compress2");
  uncompress_ = win32::ResolveFunction<UncompressFn>(module_, "uncompress");
  if (adler32_ == nullptr || compress2_ == nullptr || uncompress_ == nullptr) {
    FreeLibrary(module_);
    module_ = nullptr;
    adler32_ = nullptr;
    compress2_ = nullptr;
    uncompress_ = nullptr;
  }
}

ZlibLibrary::~ZlibLibrary() {
  if (module_ != nullptr) FreeLibrary(module_);
}

bool ZlibLibrary::Compress(uint8_t* dest, size_t* destLen, const uint8_t* src, size_t srcLen, int level) {
  if (compress2_ == nullptr || destLen == nullptr) return false;
  // zlib's lengths are 32-bit here; larger buffers are refused, not truncated.
  if (srcLen > ULONG_MAX) return false;
  unsigned long out = *destLen > ULONG_MAX ? ULONG_MAX : static_cast<unsigned long>(*destLen);
  if (compress2_(dest, &out, src, static_cast<unsigned long>(srcLen), level) != 0) return false;
  *destLen = out;
  return true;
}

uint32_t ZlibLibrary::Adler32(uint32_t adler, const uint8_t* data, size_t size) {
  if (adler32_ == nullptr) return 0;
  if (data == nullptr) return static_cast<uint32_t>(adler32_(adler, nullptr, 0));
  unsigned long sum = adler;
  while (size > 0) {
    const unsigned int piece = size > UINT_MAX ? UINT_MAX : static_cast<unsigned int>(size);
    sum = adler32_(sum, data, piece);
    data += piece;
    size -= piece;
  }
  return static_cast<uint32_t>(sum);
}

bool RestrictDllSearchPath() {
  // Drops the current folder from the search for every later load by name.
  SetDllDirectoryW(L"");
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  auto setDefault = kernel32 == nullptr ? nullptr
                                        : win32::ResolveFunction<SetDefaultDllDirectoriesFn>(
                                              kernel32, "SetDefaultDllDirectories");
  if (setDefault == nullptr) return false;  // before the KB2533623 update of Windows 7
  return setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_APPLICATION_DIR) != FALSE;
}
