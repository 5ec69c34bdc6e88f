// udcdump: prints the records of a gateway report body, one per line.
//   udcdump [--uncompressed-size N] FILE|-
// With N > 0 the body is a zlib stream that inflates to exactly N bytes.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/report/report_decoder.h"

namespace {

// Report bodies are small; a bound keeps a wrong argument from eating memory.
constexpr uint64_t kMaxInput = 1ull << 30;

int usage() {
  fprintf(stderr, "usage: udcdump [--uncompressed-size N] FILE|-\n");
  return 2;
}

bool read_all(FILE* f, std::vector<uint8_t>& out) {
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) {
    if (out.size() + n > kMaxInput) return false;
    out.insert(out.end(), buf, buf + n);
  }
  return !ferror(f);
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t uncompressed = 0;
  const char* path = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--uncompressed-size") == 0 && i + 1 < argc) {
      char* end = nullptr;
      errno = 0;
      unsigned long long v = strtoull(argv[++i], &end, 10);
      if (errno || !end || *end || argv[i][0] == '-' || v > kMaxInput) return usage();
      uncompressed = v;
    } else if (!path) {
      path = argv[i];
    } else {
      return usage();
    }
  }
  if (!path) return usage();

  FILE* f = strcmp(path, "-") == 0 ? stdin : fopen(path, "rb");
  if (!f) {
    fprintf(stderr, "udcdump: cannot open %s: %s\n", path, strerror(errno));
    return 2;
  }
  std::vector<uint8_t> body;
  bool read_ok = read_all(f, body);
  if (f != stdin) fclose(f);
  if (!read_ok) {
    fprintf(stderr, "udcdump: cannot read %s (or larger than %" PRIu64 " bytes)\n", path, kMaxInput);
    return 2;
  }

  std::vector<std::string> lines;
  report::Error error;
  if (!report::decode_body(body.data(), body.size(), uncompressed, lines, error)) {
    printf("udcdump: byte %" PRIu64 ": %s\n", error.offset, error.reason.c_str());
    return 1;
  }
  for (const std::string& line : lines) printf("%s\n", line.c_str());
  return 0;
}
