// Paths longer than the system takes, walked a piece at a time.
#include "fs/long_paths-posix.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>

#include "fs/paths-posix.h"

namespace platform {
namespace {

#ifdef O_PATH
// Enough to name a directory and reach below it: passing through is all
// that is asked of it, as of the directories of a path.
constexpr int kLookupFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int kLookupFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

}  // namespace

unique_fd open_directory(const native_string& path) {
  if (path.size() < PATH_MAX) return unique_fd(open(path.c_str(), kLookupFlags));
  unique_fd fd(open(path[0] == '/' ? "/" : ".", kLookupFlags));
  native_string piece;
  std::size_t at = 0;
  while (fd.valid()) {
    while (at < path.size() && path[at] == '/') ++at;
    if (at == path.size()) break;
    std::size_t end = path.size();
    if (end - at >= PATH_MAX) {
      end = path.rfind('/', at + PATH_MAX - 1);
      if (end == native_string::npos || end <= at) {
        errno = ENAMETOOLONG;  // one name longer than any path
        return unique_fd();
      }
    }
    piece.assign(path, at, end - at);
    fd = unique_fd(openat(fd.get(), piece.c_str(), kLookupFlags));
    at = end;
  }
  return fd;
}

unique_fd open_parent(const native_string& path, const char*& name) {
  const std::size_t slash = path.rfind('/');
  name = slash == native_string::npos ? path.c_str() : path.c_str() + slash + 1;
  if (*name == '\0') name = ".";
  return open_directory(directory_part(path));
}

int directory_holding(const native_string& path, unique_fd& holder, const char*& name) {
  if (path.size() < PATH_MAX) {
    name = path.c_str();
    return AT_FDCWD;
  }
  holder = open_parent(path, name);
  return holder.valid() ? holder.get() : -1;
}

}  // namespace platform
