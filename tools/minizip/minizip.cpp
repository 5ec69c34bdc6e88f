// minizip: packs files into a zip archive, with the arguments of zlib's
// minizip tool that the agent uses:
//   minizip [-o] [-j] [-0..-9] ARCHIVE FILE...
// -o replaces an existing archive, -j stores every file under its bare name.
// Entries are deflated. The archive is written to a temporary file beside it
// and renamed over it only when every file was stored: the exit code is 0
// then, and otherwise non-zero with no archive written (an older archive of
// the same name stays as it was).
#include <zlib.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

constexpr uint64_t kMaxEntrySize = 0xFFFFFFFFull;  // no zip64: sizes must fit 32 bits
constexpr size_t kMaxEntries = 65535;

struct Entry {
  std::string name;
  uint32_t crc = 0;
  uint32_t compressed = 0, size = 0;
  uint32_t offset = 0;
  uint16_t dosTime = 0, dosDate = 0;
};

void Put16(std::string& out, uint16_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>(v >> 8));
}
void Put32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

std::string BareName(const std::string& path) {
  const size_t cut = path.find_last_of("/\\");
  std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
  const size_t colon = name.find(':');
  if (colon != std::string::npos) name = name.substr(colon + 1);
  return name;
}

// Paths inside the archive use forward slashes and never climb or start at a root.
std::string StoredName(const std::string& path, bool junk) {
  if (junk) return BareName(path);
  std::string name = path;
  for (char& c : name)
    if (c == '\\') c = '/';
  if (name.size() > 1 && name[1] == ':') name = name.substr(2);
  while (!name.empty() && name[0] == '/') name.erase(0, 1);
  std::string clean, part;
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i == name.size() || name[i] == '/') {
      if (!part.empty() && part != "." && part != "..") clean += (clean.empty() ? "" : "/") + part;
      part.clear();
    } else {
      part.push_back(name[i]);
    }
  }
  return clean;
}

void DosTime(time_t when, uint16_t& time, uint16_t& date) {
  struct tm t {};
#ifdef _WIN32
  localtime_s(&t, &when);
#else
  localtime_r(&when, &t);
#endif
  if (t.tm_year < 80) {
    time = 0;
    date = (1 << 5) | 1;
    return;
  }
  time = static_cast<uint16_t>((t.tm_hour << 11) | (t.tm_min << 5) | (t.tm_sec / 2));
  date = static_cast<uint16_t>(((t.tm_year - 80) << 9) | ((t.tm_mon + 1) << 5) | t.tm_mday);
}

bool WriteAll(FILE* f, const void* data, size_t n) { return n == 0 || fwrite(data, 1, n, f) == n; }

// Deflates `path` into `out` at its current end and fills the entry. False
// with a reason on any failure.
bool StoreFile(FILE* out, const std::string& path, int level, Entry& entry, std::string& why) {
  FILE* in = fopen(path.c_str(), "rb");
  if (in == nullptr) {
    why = std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (fstat(fileno(in), &st) != 0 || !S_ISREG(st.st_mode)) {
    fclose(in);
    why = "not a regular file";
    return false;
  }
  DosTime(st.st_mtime, entry.dosTime, entry.dosDate);
  const long start = ftell(out);
  if (start < 0 || static_cast<uint64_t>(start) > kMaxEntrySize) {
    fclose(in);
    why = "archive too large";
    return false;
  }
  entry.offset = static_cast<uint32_t>(start);
  // The local header, its CRC and sizes patched once the data is written.
  std::string header;
  Put32(header, 0x04034b50);
  Put16(header, 20);
  Put16(header, 0);
  Put16(header, 8);
  Put16(header, entry.dosTime);
  Put16(header, entry.dosDate);
  Put32(header, 0);
  Put32(header, 0);
  Put32(header, 0);
  Put16(header, static_cast<uint16_t>(entry.name.size()));
  Put16(header, 0);
  header += entry.name;
  if (!WriteAll(out, header.data(), header.size())) {
    fclose(in);
    why = "write failed";
    return false;
  }
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    fclose(in);
    why = "deflate init failed";
    return false;
  }
  std::vector<unsigned char> inBuf(1 << 16), outBuf(1 << 16);
  uLong crc = crc32(0, nullptr, 0);
  uint64_t total = 0, packed = 0;
  bool ok = true;
  int flush = Z_NO_FLUSH;
  do {
    const size_t n = fread(inBuf.data(), 1, inBuf.size(), in);
    if (ferror(in)) {
      why = "read failed";
      ok = false;
      break;
    }
    total += n;
    if (total > kMaxEntrySize) {
      why = "file too large";
      ok = false;
      break;
    }
    crc = crc32(crc, inBuf.data(), static_cast<uInt>(n));
    flush = feof(in) ? Z_FINISH : Z_NO_FLUSH;
    z.next_in = inBuf.data();
    z.avail_in = static_cast<uInt>(n);
    do {
      z.next_out = outBuf.data();
      z.avail_out = static_cast<uInt>(outBuf.size());
      if (deflate(&z, flush) == Z_STREAM_ERROR) {
        ok = false;
        why = "deflate failed";
        break;
      }
      const size_t have = outBuf.size() - z.avail_out;
      packed += have;
      if (!WriteAll(out, outBuf.data(), have)) {
        ok = false;
        why = "write failed";
        break;
      }
    } while (ok && z.avail_out == 0);
  } while (ok && flush != Z_FINISH);
  deflateEnd(&z);
  fclose(in);
  if (!ok) return false;
  if (packed > kMaxEntrySize) {
    why = "archive too large";
    return false;
  }
  entry.crc = static_cast<uint32_t>(crc);
  entry.size = static_cast<uint32_t>(total);
  entry.compressed = static_cast<uint32_t>(packed);
  std::string patch;
  Put32(patch, entry.crc);
  Put32(patch, entry.compressed);
  Put32(patch, entry.size);
  const long end = ftell(out);
  if (end < 0 || fseek(out, start + 14, SEEK_SET) != 0 || !WriteAll(out, patch.data(), patch.size()) ||
      fseek(out, end, SEEK_SET) != 0) {
    why = "write failed";
    return false;
  }
  return true;
}

bool WriteDirectory(FILE* out, const std::vector<Entry>& entries) {
  const long start = ftell(out);
  if (start < 0 || static_cast<uint64_t>(start) > kMaxEntrySize) return false;
  std::string dir;
  for (const Entry& e : entries) {
    Put32(dir, 0x02014b50);
    Put16(dir, 20);
    Put16(dir, 20);
    Put16(dir, 0);
    Put16(dir, 8);
    Put16(dir, e.dosTime);
    Put16(dir, e.dosDate);
    Put32(dir, e.crc);
    Put32(dir, e.compressed);
    Put32(dir, e.size);
    Put16(dir, static_cast<uint16_t>(e.name.size()));
    Put16(dir, 0);
    Put16(dir, 0);
    Put16(dir, 0);
    Put16(dir, 0);
    Put32(dir, 0);
    Put32(dir, e.offset);
    dir += e.name;
  }
  std::string end;
  Put32(end, 0x06054b50);
  Put16(end, 0);
  Put16(end, 0);
  Put16(end, static_cast<uint16_t>(entries.size()));
  Put16(end, static_cast<uint16_t>(entries.size()));
  Put32(end, static_cast<uint32_t>(dir.size()));
  Put32(end, static_cast<uint32_t>(start));
  Put16(end, 0);
  return WriteAll(out, dir.data(), dir.size()) && WriteAll(out, end.data(), end.size());
}

bool Exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

bool ReplaceFile(const std::string& from, const std::string& to) {
#ifdef _WIN32
  return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
  return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

int Usage() {
  fprintf(stderr, "usage: minizip [-o] [-j] [-0..-9] ARCHIVE FILE...\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool overwrite = false, junk = false;
  int level = Z_DEFAULT_COMPRESSION;
  int i = 1;
  for (; i < argc && argv[i][0] == '-' && argv[i][1] != '\0'; ++i) {
    for (const char* p = argv[i] + 1; *p; ++p) {
      if (*p == 'o')
        overwrite = true;
      else if (*p == 'j')
        junk = true;
      else if (*p >= '0' && *p <= '9')
        level = *p - '0';
      else
        return Usage();
    }
  }
  if (argc - i < 2) return Usage();
  const std::string archive = argv[i++];
  if (Exists(archive) && !overwrite) {
    fprintf(stderr, "minizip: %s exists (use -o to replace it)\n", archive.c_str());
    return 1;
  }
  if (static_cast<size_t>(argc - i) > kMaxEntries) {
    fprintf(stderr, "minizip: too many files\n");
    return 1;
  }
  const std::string temporary = archive + ".tmp";
  FILE* out = fopen(temporary.c_str(), "wb+");
  if (out == nullptr) {
    fprintf(stderr, "minizip: cannot write %s: %s\n", temporary.c_str(), std::strerror(errno));
    return 1;
  }
  std::vector<Entry> entries;
  bool ok = true;
  for (; i < argc && ok; ++i) {
    Entry entry;
    entry.name = StoredName(argv[i], junk);
    std::string why;
    if (entry.name.empty() || entry.name.size() > 0xFFFF) {
      why = "no usable name";
      ok = false;
    } else if (!StoreFile(out, argv[i], level, entry, why)) {
      ok = false;
    }
    if (!ok)
      fprintf(stderr, "minizip: %s: %s\n", argv[i], why.c_str());
    else
      entries.push_back(entry);
  }
  if (ok && !WriteDirectory(out, entries)) {
    fprintf(stderr, "minizip: writing the archive failed\n");
    ok = false;
  }
  if (fflush(out) != 0) ok = false;
  if (fclose(out) != 0) ok = false;
  if (ok && !ReplaceFile(temporary, archive)) {
    fprintf(stderr, "minizip: cannot replace %s\n", archive.c_str());
    ok = false;
  }
  if (!ok) {
    std::remove(temporary.c_str());
    return 1;
  }
  return 0;
}
