// The extent maps of files on POSIX, for counting once the extents that
// several files share (reflinked copies, btrfs snapshots).
//
// Only Linux tells which extents are shared (FS_IOC_FIEMAP); elsewhere no
// volume counts as sharing, and nothing is read.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "base/owners-posix.h"
#include "fs/filesystem.h"
#include "fs/long_paths-posix.h"
#include "fs/read_ahead-posix.h"

#ifdef __linux__
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/vfs.h>
#endif

namespace platform {

namespace {

#ifdef __linux__
// The file systems that share extents between files. Not every header has
// every number, so they are spelled out.
constexpr unsigned long kBtrfs = 0x9123683E;
constexpr unsigned long kXfs = 0x58465342;
constexpr unsigned long kBcachefs = 0xCA451A4E;
constexpr unsigned long kOcfs2 = 0x7461636F;

bool shares_extents(const struct statfs& info) {
  switch (static_cast<unsigned long>(info.f_type)) {
    case kBtrfs:
    case kXfs:
    case kBcachefs:
    case kOcfs2:
      return true;
    default:
      return false;
  }
}

// Extents read per call: one page of records.
constexpr std::size_t kExtentsPerCall = (4096 - sizeof(struct fiemap)) / sizeof(struct fiemap_extent);
#endif

// The entry's name: the end of its path.
const char* name_of(const native_string& path, const listed_entry& entry) {
  return path.c_str() + (path.size() - entry.name_length);
}

}  // namespace

bool volume_shares_extents(walk_cursor& cursor, const native_string& path) {
#ifdef __linux__
  const directory_place place = current_place(cursor);
  struct statfs info;
  // A parked level has no descriptor: the path serves then, where it is
  // short enough (a deeper entry counts as on a volume that shares
  // nothing, and costs what -A costs).
  if (place.handle >= 0) {
    if (fstatfs(static_cast<int>(place.handle), &info) != 0) return false;
  } else if (path.size() >= PATH_MAX || statfs(path.c_str(), &info) != 0) {
    return false;
  }
  return shares_extents(info);
#else
  (void)cursor;
  (void)path;
  return false;
#endif
}

result<> read_shared_extents(walk_cursor& cursor, const native_string& path,
                             const listed_entry& entry, const entry_facts& facts,
                             std::vector<shared_extent>& extents) {
#ifdef __linux__
  // The map needs a real open: read-only, never blocking (a FIFO swapped
  // in, a lease), never through a link, never a terminal of ours.
  constexpr int kFlags = O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;
  const directory_place place = current_place(cursor);
  unique_fd fd;
  if (place.handle >= 0) {
    fd.reset(openat(static_cast<int>(place.handle), name_of(path, entry), kFlags));
  } else {
    const char* name = nullptr;
    const unique_fd parent = open_parent(path, name);
    if (!parent.valid()) return failed(static_cast<error_code>(errno));
    fd.reset(openat(parent.get(), name, kFlags));
  }
  if (!fd.valid()) return failed(static_cast<error_code>(errno));
  // The file opened must be the one examined: the entry may have been
  // replaced in between.
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return failed(static_cast<error_code>(errno));
  if (!S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_dev) != facts.identity.volume ||
      static_cast<std::int64_t>(st.st_ino) != facts.identity.key)
    return failed(ENOENT);

  // On the heap, as a walk must run on the smallest stacks; not a
  // thread-local one, whose destructor's registration ends the process
  // where it finds no memory.
  constexpr std::size_t kBufferSize =
      sizeof(struct fiemap) + kExtentsPerCall * sizeof(struct fiemap_extent);
  const std::unique_ptr<char[]> buffer(new char[kBufferSize]);
  auto* map = reinterpret_cast<struct fiemap*>(buffer.get());
  std::uint64_t start = 0;
  for (;;) {
    std::memset(map, 0, sizeof(struct fiemap));
    map->fm_start = start;
    map->fm_length = FIEMAP_MAX_OFFSET - start;
    // No FIEMAP_FLAG_SYNC: a scan must not force anyone's data out. Data
    // not yet written has no place on disk, and is no copy's yet either: it
    // counts as the file's own, as the allocation the examination read.
    map->fm_flags = 0;
    map->fm_extent_count = static_cast<std::uint32_t>(kExtentsPerCall);
    if (ioctl(fd.get(), FS_IOC_FIEMAP, map) != 0) return failed(static_cast<error_code>(errno));
    if (map->fm_mapped_extents == 0) break;
    bool last = false;
    for (std::uint32_t i = 0; i < map->fm_mapped_extents; ++i) {
      const struct fiemap_extent& e = map->fm_extents[i];
      last = last || (e.fe_flags & FIEMAP_EXTENT_LAST) != 0;
      start = e.fe_logical + e.fe_length;
      // Data kept inside the metadata, or without a known place, has no
      // range of its own to share.
      constexpr std::uint32_t kNoPlace = FIEMAP_EXTENT_UNKNOWN | FIEMAP_EXTENT_DELALLOC |
                                         FIEMAP_EXTENT_DATA_INLINE | FIEMAP_EXTENT_DATA_TAIL |
                                         FIEMAP_EXTENT_NOT_ALIGNED;
      if (!(e.fe_flags & FIEMAP_EXTENT_SHARED) || (e.fe_flags & kNoPlace) || e.fe_length == 0)
        continue;
      shared_extent extent;
      extent.physical = e.fe_physical;
      extent.length = e.fe_length;
      extent.encoded = (e.fe_flags & FIEMAP_EXTENT_ENCODED) != 0;
      extents.push_back(extent);
    }
    if (last || start >= FIEMAP_MAX_OFFSET) break;
  }
  return succeeded();
#else
  (void)cursor;
  (void)path;
  (void)entry;
  (void)facts;
  (void)extents;
  return failed(ENOTSUP);
#endif
}

}  // namespace platform
