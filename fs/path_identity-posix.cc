// The identity of a PATH on POSIX: its device and inode, the link followed.
#include "fs/path_identity.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "fs/long_paths-posix.h"
#include "fs/stat-posix.h"

namespace platform {

bool path_identity(const native_string& path, file_identity& identity) {
  unique_fd holder;
  const char* name = nullptr;
  const int at = directory_holding(path, holder, name);
  struct stat st;
  if (at == -1 || fstatat(at, name, &st, 0) != 0) return false;
  identity = identity_of(st);
  return true;
}

}  // namespace platform
