// Private folders of the native build: mode 0700, checked on a descriptor opened
// without following a symbolic link.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/private_folder.h"

namespace platform {

PrivateFolder make_private_folder(const std::string& path) {
  std::string bare = path;
  // A trailing "/" makes open() follow a symbolic link even with O_NOFOLLOW.
  while (bare.size() > 1 && bare.back() == '/') bare.pop_back();
  ::mkdir(bare.c_str(), 0700);  // fails when something of that name exists; the checks decide
  int fd = ::open(bare.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    struct stat link;
    bool is_link = ::lstat(bare.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
    return is_link ? PrivateFolder::reparse_point : PrivateFolder::failed;
  }
  PrivateFolder result = PrivateFolder::failed;
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    if (st.st_uid != 0 && st.st_uid != ::geteuid()) {
      result = PrivateFolder::foreign_owner;
    } else if ((st.st_mode & 07777) == 0700 || ::fchmod(fd, 0700) == 0) {
      result = PrivateFolder::ready;
    }
  }
  ::close(fd);
  return result;
}

}  // namespace platform
