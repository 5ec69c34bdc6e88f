// File operations and the log folder of the native build.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/files.h"
#include "platform/log_folder.h"
#include "platform/private_folder.h"

namespace platform {

long long append_to_file(const std::string& path, const char* data, size_t size) {
  // Not through a symbolic link, nor into a file with a second name: either
  // would carry the writes to a file elsewhere.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return -1;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink > 1) {
    ::close(fd);
    return -1;
  }
  long long total = 0;
  while (static_cast<size_t>(total) < size) {
    ssize_t n = ::write(fd, data + total, size - total);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    total += n;
  }
  ::close(fd);
  return total;
}

bool copy_file_replacing(const std::string& from, const std::string& to) {
  std::error_code error;
  return std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, error);
}

bool make_folder(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) == 0) return true;
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string log_folder_path() {
  const char* given = std::getenv("HALVREN_LOG_DIR");
  if (given && *given) {
    std::string folder = join_path(given, "");
    make_folder(folder);
    return folder;
  }
  const char* temp = std::getenv("TMPDIR");
  std::string folder = temp && *temp ? temp : "/tmp";
  for (const char* name : {"halvren", "logs"}) {
    folder = join_path(folder, name);
    if (make_private_folder(folder) != PrivateFolder::ready) return std::string();
  }
  return folder + "/";
}

}  // namespace platform
