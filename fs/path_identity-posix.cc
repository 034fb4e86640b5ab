// The identity of a PATH on POSIX: its device and inode, the link followed.
#include "fs/path_identity.h"

#include <sys/stat.h>

namespace platform {

bool path_identity(const native_string& path, file_identity& identity) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  identity.volume = static_cast<std::uint64_t>(st.st_dev);
  identity.key = static_cast<std::int64_t>(st.st_ino);
  return true;
}

}  // namespace platform
