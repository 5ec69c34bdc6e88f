// zlib loaded at run time from the agent's own folder. The agent runs as
// LocalSystem, so the library is loaded by full path only: a bare name would
// let the loader pick up a planted copy from the search path.
#pragma once

#include <windows.h>

#include <string>

#include "platform/compression.h"

class ZlibLibrary : public ICompression {
 public:
  // Loads "zlibwapi.dll" from the folder of the running executable.
  ZlibLibrary();
  // Loads it from `folder` (UTF-8, with or without a trailing backslash).
  explicit ZlibLibrary(const std::string& folder);
  ~ZlibLibrary() override;
  ZlibLibrary(const ZlibLibrary&) = delete;
  ZlibLibrary& operator=(const ZlibLibrary&) = delete;

  bool Available() const override { return module_ != nullptr; }
  bool Compress(uint8_t* dest, size_t* destLen, const uint8_t* src, size_t srcLen, int level) override;
  uint32_t Adler32(uint32_t adler, const uint8_t* data, size_t size) override;

  static std::string ExecutableFolder();  // UTF-8, with a trailing backslash

 private:
  // zlib's exported signatures; uLong and uInt are 32 bits on Windows.
  using Adler32Fn = unsigned long (*)(unsigned long adler, const unsigned char* buf, unsigned int len);
  using Compress2Fn = int (*)(unsigned char* dest, unsigned long* destLen, const unsigned char* source,
                              unsigned long sourceLen, int level);
  using UncompressFn = int (*)(unsigned char* dest, unsigned long* destLen, const unsigned char* source,
                               unsigned long sourceLen);

  HMODULE module_ = nullptr;
  Adler32Fn adler32_ = nullptr;
  Compress2Fn compress2_ = nullptr;
  UncompressFn uncompress_ = nullptr;  // resolved so a crippled library is refused; not used
};

// Called first thing at program start: later loads by name search only the
// system folder and the program's folder, never the current folder.
// Returns false when the system lacks the call that restricts the search.
bool RestrictDllSearchPath();
