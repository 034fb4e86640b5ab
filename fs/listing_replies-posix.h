// The one reader of the system's listing replies on Linux (getdents64),
// shared by the walk and by the threads reading ahead of it, the size of a
// reply both keep to, and the order both sort a listing in.
#ifndef TWINFIND_FS_LISTING_REPLIES_POSIX_H_
#define TWINFIND_FS_LISTING_REPLIES_POSIX_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fs/filesystem.h"

#ifdef __linux__
#include <linux/magic.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
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

// Whether the directory's file system fills every listing reply it can, so
// that one with room left for the longest entry is the last: those known
// to save every directory one call; others are read to the empty reply.
// The walk never crosses into another file system: the answer holds below
// a PATH.
inline bool fills_every_reply(int fd) {
#ifdef __linux__
  struct statfs info;
  if (fstatfs(fd, &info) != 0) return false;
  switch (static_cast<unsigned long>(info.f_type)) {
    case EXT4_SUPER_MAGIC:  // ext2, ext3 and ext4
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case TMPFS_MAGIC:
      return true;
  }
#else
  (void)fd;
#endif
  return false;
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

// The first eight bytes of the name at `offset` of `names` (of `size`
// bytes), as a number that orders as they do: a shorter name's NUL orders
// it before any name it begins. Past the end of the names, NULs.
inline std::uint64_t name_prefix(const char* names, std::size_t offset, std::size_t size) {
  std::uint64_t bytes = 0;
  if (offset + sizeof bytes <= size) {
    std::memcpy(&bytes, names + offset, sizeof bytes);
  } else {
    std::memcpy(&bytes, names + offset, size - offset);  // the last names only
  }
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  return bytes;
#else
  return __builtin_bswap64(bytes);
#endif
}

// Sorts `listing` by the bytes of its names.
inline void sort_by_name(directory_listing& listing) {
  const char* names = listing.names.data();
  const std::size_t size = listing.names.size();
  std::sort(listing.entries.begin(), listing.entries.end(),
            [names, size](const listed_entry& a, const listed_entry& b) {
              // Names that differ in their first eight bytes (most) are told
              // apart there without a call; two names of a directory never
              // agree up to a NUL.
              const std::uint64_t prefix_a = name_prefix(names, a.name_offset, size);
              const std::uint64_t prefix_b = name_prefix(names, b.name_offset, size);
              if (prefix_a != prefix_b) return prefix_a < prefix_b;
              // A name of eight bytes or fewer ends within its prefix:
              // the other begins with it (or is it, where a file system
              // lists a name twice).
              if (a.name_length <= 8 || b.name_length <= 8) return a.name_length < b.name_length;
              return native_string_view(names + a.name_offset + 8, a.name_length - 8u) <
                     native_string_view(names + b.name_offset + 8, b.name_length - 8u);
            });
}

}  // namespace platform

#endif  // TWINFIND_FS_LISTING_REPLIES_POSIX_H_
