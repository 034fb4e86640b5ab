// Reaching what a path names whatever its length, on POSIX.
//
// The system takes a path whole only up to PATH_MAX bytes. Longer ones are
// walked a piece at a time, each piece relative to the directory the last
// one opened, so a -F FILE, its directory and the directory a name search
// starts from may be as long as the tree is deep.
#ifndef TWINFIND_FS_LONG_PATHS_POSIX_H_
#define TWINFIND_FS_LONG_PATHS_POSIX_H_

#include "base/owners-posix.h"
#include "base/text.h"

namespace platform {

// Opens the directory `path` to look things up in it (O_PATH where the
// system has it), whatever its length: a piece shorter than PATH_MAX at a
// time, links followed as the system follows them within a path. Fails with
// errno set, ENAMETOOLONG for a single name longer than any path.
unique_fd open_directory(const native_string& path);

// The directory that holds the last component of `path`, opened as
// open_directory does, and that component: "." for a path ending in '/'.
// `name` points into `path`, or at a literal.
unique_fd open_parent(const native_string& path, const char*& name);

// Where the *at calls find `path`, whatever its length: AT_FDCWD and the
// path itself where the system takes it whole; else its directory, opened
// as open_parent does and held in `holder`, and its last component in
// `name`. -1, errno set, where that directory cannot be reached.
int directory_holding(const native_string& path, unique_fd& holder, const char*& name);

// Opens `name` of `parent_fd` with `flags`: one name, never through a link,
// never across a mount point (so never setting off an automount point),
// even one mounted since its attributes were read, where the kernel can
// tell (openat2). Fails with errno set.
unique_fd open_below(int parent_fd, const char* name, int flags);

}  // namespace platform

#endif  // TWINFIND_FS_LONG_PATHS_POSIX_H_
