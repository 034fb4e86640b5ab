// How the POSIX half reads one entry: one stat-family call, relative to an
// open directory, never following the last component. Shared by the walk,
// the breakdowns and the search for link names.
#ifndef TWINFIND_FS_STAT_POSIX_H_
#define TWINFIND_FS_STAT_POSIX_H_

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdint>

#include "fs/filesystem.h"
#include "fs/read_ahead.h"

namespace platform {

// Looking at an automount point never sets it off: it is read as it is
// before mounting, and counted as a mount point, which the walk never
// enters.
#ifdef AT_NO_AUTOMOUNT
constexpr int kNoAutomount = AT_NO_AUTOMOUNT;
#else
constexpr int kNoAutomount = 0;
#endif

// The identity of the file `st` describes.
inline file_identity identity_of(const struct stat& st) {
  return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::int64_t>(st.st_ino), 0};
}

// Reads the entry `name` of the directory `dir_fd` (or a path, with
// AT_FDCWD). `parent_device` is the device of the directory holding it, used
// to recognise a mount point where the kernel does not flag one; 0 when not
// known. Fills `facts`, whose directory bit is that of a listing: set for a
// directory, and for a symbolic link to one. A mount point, and an
// automount point where statx tells one (fstatat cannot), is "reparse". Fails with the errno value of
// the failed call.
result<> read_entry(int dir_fd, const char* name, std::uint64_t parent_device,
                    entry_facts& facts);

// read_entry's outcome as the walk keeps it; an empty `name` reads the
// file open at `dir_fd` itself.
entry_reading read_reading(int dir_fd, const char* name, std::uint64_t parent_device);

}  // namespace platform

#endif  // TWINFIND_FS_STAT_POSIX_H_
