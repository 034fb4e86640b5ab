// The one reader of the system's listing replies on Linux (getdents64),
// shared by the walk and by the threads reading ahead of it, and the size
// of a reply both keep to.
#ifndef TWINFIND_FS_LISTING_REPLIES_POSIX_H_
#define TWINFIND_FS_LISTING_REPLIES_POSIX_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fs/filesystem.h"

#ifdef __linux__
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace platform {

// The buffer for one reply: a few hundred entries of common names.
constexpr std::size_t kReplySize = 32768;

// Whether a listing reply of `got` bytes, of `capacity`, is the last of its
// directory, on a file system that fills every reply it can
// (`fills_replies`): one with room left for the longest entry.
inline bool is_last_reply(bool fills_replies, long got, std::size_t capacity) {
  // The longest record: 19 bytes of header, a 255-byte name and its NUL,
  // rounded up to 8.
  return fills_replies && static_cast<std::size_t>(got) + 280 <= capacity;
}

enum class replies_read { whole, stopped, failed };

#ifdef __linux__
// Reads the open directory `fd` from where it stands, into `buffer` of
// kReplySize bytes, calling `each(inode, type, name)` for every entry but
// "." and ".." (type: the listing's DT_ value; name: NUL-ended, in
// `buffer`). A false from `each` stops the reading once the reply at hand
// is done: `stopped`. `failed` leaves errno as the system set it.
template <typename visitor>
replies_read read_replies(int fd, bool fills_replies, char* buffer, visitor&& each) {
  for (;;) {
    const long got = syscall(SYS_getdents64, fd, buffer, kReplySize);
    if (got < 0) return replies_read::failed;
    if (got == 0) return replies_read::whole;
    const bool last_reply = is_last_reply(fills_replies, got, kReplySize);
    bool more = true;
    for (long at = 0; at < got;) {
      // linux_dirent64: ino (8), off (8), reclen (2), type (1), name.
      std::uint64_t inode;
      unsigned short record_length;
      std::memcpy(&inode, buffer + at, sizeof inode);
      std::memcpy(&record_length, buffer + at + 16, sizeof record_length);
      const unsigned char type = static_cast<unsigned char>(buffer[at + 18]);
      const char* name = buffer + at + 19;
      at += record_length;
      if (is_dot_or_dot_dot(name)) continue;
      if (!each(inode, type, name)) more = false;
    }
    if (!more) return replies_read::stopped;
    if (last_reply) return replies_read::whole;
  }
}
#endif

}  // namespace platform

#endif  // TWINFIND_FS_LISTING_REPLIES_POSIX_H_
