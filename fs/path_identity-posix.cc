// The identity of a PATH on POSIX: its device and inode, the link followed.
#include "fs/path_identity.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "fs/long_paths-posix.h"

namespace platform {

bool path_identity(const native_string& path, file_identity& identity) {
  unique_fd holder;
  const char* name = nullptr;
  const int at = directory_holding(path, holder, name);
  struct stat st;
  if (at == -1 || fstatat(at, name, &st, 0) != 0) return false;
  identity.volume = static_cast<std::uint64_t>(st.st_dev);
  identity.key = static_cast<std::int64_t>(st.st_ino);
  return true;
}

}  // namespace platform
