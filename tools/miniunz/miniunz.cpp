// miniunz: unpacks a zip archive into a folder, overwriting.
//   miniunz -xo ARCHIVE -d FOLDER
// Every entry name is checked before anything is written: an archive with
// one unsafe name writes nothing. Exit 0 on success, 1 otherwise.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "tools/miniunz/zip_archive.h"
#include "tools/miniunz/zip_extract.h"

namespace fs = std::filesystem;
using namespace zip_archive;

namespace {

int Fail(const std::string& message) {
  fprintf(stderr, "miniunz: %s\n", message.c_str());
  return 1;
}

bool ReadAll(const fs::path& path, std::string& data, std::string& error) {
  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  if (ec) {
    error = "cannot open the archive: " + ec.message();
    return false;
  }
  if (size > kMaxArchiveBytes) {
    error = "archive larger than 256 MiB";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  data.resize(static_cast<size_t>(size));
  if (!in || !in.read(data.empty() ? nullptr : &data[0], static_cast<std::streamsize>(data.size()))) {
    error = "cannot read the archive";
    return false;
  }
  return true;
}

fs::path Target(const fs::path& folder, const std::string& name) {
  std::string rel = name;
  for (char& c : rel)
    if (c == '\\') c = '/';
  return folder / fs::u8path(rel);
}

// No part of `path` below `folder` may be a link: nothing is written through one.
bool NoLinkBelow(const fs::path& folder, const fs::path& path) {
  fs::path at = folder;
  for (const auto& part : path.lexically_relative(folder)) {
    at /= part;
    std::error_code ec;
    if (fs::is_symlink(fs::symlink_status(at, ec))) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string archive, folder;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-xo" && i + 1 < argc)
      archive = argv[++i];
    else if (a == "-d" && i + 1 < argc)
      folder = argv[++i];
    else if (a == "-x" || a == "-o")
      continue;
    else if (archive.empty() && a[0] != '-')
      archive = a;
    else
      return Fail("usage: miniunz -xo ARCHIVE -d FOLDER");
  }
  if (archive.empty()) return Fail("usage: miniunz -xo ARCHIVE -d FOLDER");
  if (folder.empty()) folder = ".";
  std::string data, error;
  if (!ReadAll(fs::u8path(archive), data, error)) return Fail(error);
  std::vector<Entry> entries;
  if (!ReadDirectory(data, entries, error)) return Fail(error);
  for (const Entry& e : entries)
    if (!SafeName(e.name)) return Fail("unsafe entry name '" + e.name + "': nothing extracted");

  const fs::path root = fs::u8path(folder);
  std::error_code ec;
  fs::create_directories(root, ec);
  if (ec) return Fail("cannot create folder '" + folder + "': " + ec.message());
  // Every entry is unpacked and checked in memory first, so a damaged one
  // writes nothing; the bounds keep the whole within 1 GiB.
  std::vector<std::string> contents(entries.size());
  for (size_t i = 0; i < entries.size(); ++i)
    if (!entries[i].IsFolder() && !ExtractEntry(data, entries[i], contents[i], error)) return Fail(error);
  for (size_t i = 0; i < entries.size(); ++i) {
    const Entry& e = entries[i];
    const fs::path target = Target(root, e.name);
    const fs::path parent = e.IsFolder() ? target : target.parent_path();
    if (!NoLinkBelow(root, parent)) return Fail("link in the path of '" + e.name + "'");
    fs::create_directories(parent, ec);
    if (ec) return Fail("cannot create folder for '" + e.name + "': " + ec.message());
    if (e.IsFolder()) continue;
    if (!NoLinkBelow(root, target)) return Fail("link in the path of '" + e.name + "'");
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    out.write(contents[i].data(), static_cast<std::streamsize>(contents[i].size()));
    out.close();
    if (!out) return Fail("cannot write '" + e.name + "'");
    printf(" extracting: %s\n", e.name.c_str());
    std::string().swap(contents[i]);
  }
  return 0;
}
