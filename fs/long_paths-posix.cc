// Paths longer than the system takes, walked a piece at a time.
#include "fs/long_paths-posix.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <atomic>

#include "fs/paths-posix.h"

#ifdef __linux__
#include <linux/openat2.h>
#include <sys/syscall.h>
#endif

namespace platform {
namespace {

#ifdef O_PATH
// Enough to name a directory and reach below it: passing through is all
// that is asked of it, as of the directories of a path.
constexpr int kLookupFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int kLookupFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

#ifdef SYS_openat2
// Set once the kernel has refused openat2 as a whole (older than 5.6, or a
// seccomp profile that forbids it): openat then serves alone.
std::atomic<bool> openat2_refused{false};
#endif

}  // namespace

unique_fd open_below(int parent_fd, const char* name, int flags) {
#ifdef SYS_openat2
  if (!openat2_refused.load(std::memory_order_relaxed)) {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags | O_NOFOLLOW);
    how.resolve = RESOLVE_NO_XDEV | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const long fd = syscall(SYS_openat2, parent_fd, name, &how, sizeof how);
    if (fd >= 0) return unique_fd(static_cast<int>(fd));
    if (errno != ENOSYS && errno != EPERM && errno != E2BIG) return unique_fd();
    openat2_refused.store(true, std::memory_order_relaxed);
  }
#endif
  return unique_fd(openat(parent_fd, name, flags | O_NOFOLLOW));
}

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
