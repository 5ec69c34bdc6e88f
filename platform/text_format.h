// printf-style formatting into a std::string, for log lines and status texts.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

inline std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

inline std::string Format(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  va_list again;
  va_copy(again, ap);
  int n = vsnprintf(nullptr, 0, format, ap);
  va_end(ap);
  std::string text;
  if (n > 0) {
    text.resize(static_cast<size_t>(n));
    vsnprintf(&text[0], text.size() + 1, format, again);
  }
  va_end(again);
  return text;
}
