// Owners of what the POSIX halves open: a descriptor or a directory stream
// is closed when its owner goes, on every way out of a function, and
// closing never changes errno, so a failure's code survives the cleanup.
// And how many more descriptors a process may open.
#ifndef TWINFIND_BASE_OWNERS_POSIX_H_
#define TWINFIND_BASE_OWNERS_POSIX_H_

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <vector>

namespace platform {

class unique_fd {
 public:
  unique_fd() = default;
  explicit unique_fd(int fd) : fd_(fd) {}
  ~unique_fd() { reset(); }
  unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
  unique_fd& operator=(unique_fd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Hands the descriptor over; the owner then holds none.
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) {
      const int saved = errno;
      close(fd_);
      errno = saved;
    }
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// A directory stream, read with readdir; it owns its descriptor.
class unique_dir {
 public:
  // Takes over `fd`, which the stream then owns; null when that fails, and
  // `fd` is closed.
  explicit unique_dir(unique_fd fd) : dir_(fd.valid() ? fdopendir(fd.get()) : nullptr) {
    if (dir_) fd.release();
  }
  ~unique_dir() {
    if (!dir_) return;
    const int saved = errno;
    closedir(dir_);
    errno = saved;
  }
  unique_dir(const unique_dir&) = delete;
  unique_dir& operator=(const unique_dir&) = delete;

  DIR* get() const { return dir_; }
  explicit operator bool() const { return dir_ != nullptr; }

 private:
  DIR* dir_;
};

// How many more descriptors the process can open, up to `most`: counted by
// duplicating `fd` until the system refuses, as the limit alone says
// nothing of the descriptors the process inherited.
inline std::size_t free_descriptors(int fd, std::size_t most) {
  std::vector<int> copies;
  copies.reserve(most);
  while (copies.size() < most) {
    const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) break;
    copies.push_back(copy);
  }
  for (const int copy : copies) close(copy);
  return copies.size();
}

}  // namespace platform

#endif  // TWINFIND_BASE_OWNERS_POSIX_H_
