// The few file operations the logs need. Paths are UTF-8.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// Opens the file for writing (shared for reading and writing; created when
// missing), writes `size` bytes at its end and closes it. Returns the number of
// bytes written, or -1 when the file could not be opened.
long long append_to_file(const std::string& path, const char* data, size_t size);

// Copies with overwriting; false when `from` is missing or the copy failed.
bool copy_file_replacing(const std::string& from, const std::string& to);

// Creates one folder; true when it exists afterwards.
bool make_folder(const std::string& path);

// The folder with `name` appended, with exactly one separator between them.
std::string join_path(const std::string& folder, const std::string& name);

}  // namespace platform
