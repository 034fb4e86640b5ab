// The extent maps of files on POSIX, for counting once the extents that
// several files share (reflinked copies, btrfs snapshots).
//
// Only Linux tells which extents are shared, kept inline or compressed
// (FS_IOC_FIEMAP); elsewhere no volume counts as sharing, and nothing is
// read.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "base/owners-posix.h"
#include "fs/btrfs_volume-posix.h"
#include "fs/extent_maps_ahead-posix.h"
#include "fs/filesystem.h"
#include "fs/long_paths-posix.h"
#include "fs/read_ahead-posix.h"
#include "fs/stat-posix.h"
#include "fs/xfs_volume-posix.h"

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
// The buffer a map is read into, one of each walk and of each record of
// the queue reading ahead, on the heap, as a walk must run on the smallest
// stacks (not a thread-local one, whose destructor's registration ends the
// process where it finds no memory).
constexpr std::size_t kMapBufferSize =
    sizeof(struct fiemap) + kExtentsPerCall * sizeof(struct fiemap_extent);

// The map needs a real open: read-only, never blocking (a FIFO swapped
// in, a lease), never through a link, never a terminal of ours.
constexpr int kMapFlags = O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;

// Whether the file open at `fd`, read as `st`, is the regular file the
// examination read as `facts`: the entry may have been replaced between.
bool is_file_examined(const struct stat& st, const entry_facts& facts) {
  return S_ISREG(st.st_mode) && static_cast<std::uint64_t>(st.st_dev) == facts.identity.volume &&
         static_cast<std::int64_t>(st.st_ino) == facts.identity.key;
}
#endif

// The entry's name: the end of its path.
const char* name_of(const native_string& path, const listed_entry& entry) {
  return path.c_str() + (path.size() - entry.name_length);
}

}  // namespace

volume_extents read_volume_extents(walk_cursor& cursor, const native_string& path) {
  volume_extents volume;
#ifdef __linux__
  const directory_place place = current_place(cursor);
  // A parked level has no descriptor: its directory is opened for the
  // question, where the path allows (a deeper entry counts as on a volume
  // that shares nothing, and costs what -A costs).
  unique_fd opened;
  int fd = static_cast<int>(place.handle);
  if (fd < 0) {
    if (path.size() >= PATH_MAX) return volume;
    const char* name = nullptr;
    opened = open_parent(path, name);
    if (!opened.valid()) return volume;
    fd = opened.get();
  }
  struct statfs info;
  struct stat st;
  if (fstatfs(fd, &info) != 0 || fstat(fd, &st) != 0) return volume;
  volume.shares = shares_extents(info);
  volume.block_size = info.f_bsize > 0 ? static_cast<std::uint64_t>(info.f_bsize) : 0;
  volume.addresses.low = static_cast<std::uint64_t>(st.st_dev);
  if (static_cast<unsigned long>(info.f_type) == kBtrfs) {
    volume.data_in_metadata = true;
    // Every subvolume has a device of its own; the file system id is the
    // same in all of them.
    address_space id;
    if (btrfs_file_system_id(fd, id)) volume.addresses = id;
  }
  std::uint32_t inode_size = 0;
  if (static_cast<unsigned long>(info.f_type) == kXfs && xfs_inode_size(fd, inode_size))
    volume.inode_chunk_bytes = kXfsInodesPerChunk * inode_size;
  // Asked under -E alone: the walk's workers map the files there from now.
  extent_maps_of(cursor).note_volume(static_cast<std::uint64_t>(st.st_dev), volume);
#else
  (void)cursor;
  (void)path;
#endif
  return volume;
}

#ifdef __linux__
namespace {

// Reads the map of the file open at `fd`, keeping the extents its
// allocation does not count plainly, through `buffer` (kMapBufferSize),
// and failing as soon as it keeps more than `most`. A compressed one takes
// one block on disk, the least it can.
result<> map_file(int fd, const volume_extents& volume, char* buffer, std::size_t most,
                  std::vector<mapped_extent>& extents, bool& has_encoded) {
  const std::size_t first = extents.size();
  auto* map = reinterpret_cast<struct fiemap*>(buffer);
  const std::uint64_t block = volume.block_size != 0 ? volume.block_size : 4096;
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
    if (ioctl(fd, FS_IOC_FIEMAP, map) != 0) return failed(static_cast<error_code>(errno));
    if (map->fm_mapped_extents == 0) break;
    bool last = false;
    for (std::uint32_t i = 0; i < map->fm_mapped_extents; ++i) {
      const struct fiemap_extent& e = map->fm_extents[i];
      last = last || (e.fe_flags & FIEMAP_EXTENT_LAST) != 0;
      start = e.fe_logical + e.fe_length;
      if (e.fe_length == 0) continue;
      mapped_extent extent;
      extent.physical = e.fe_physical;
      extent.length = e.fe_length;
      extent.on_disk = e.fe_length;
      if (e.fe_flags & FIEMAP_EXTENT_DATA_INLINE) {
        // In the inode or in the metadata: its place is no block's.
        extent.inline_data = true;
        extent.physical = 0;
        extents.push_back(extent);
        continue;
      }
      // Data without a known place has no range of its own to share, and
      // counts as the file's own.
      constexpr std::uint32_t kNoPlace = FIEMAP_EXTENT_UNKNOWN | FIEMAP_EXTENT_DELALLOC |
                                         FIEMAP_EXTENT_DATA_TAIL | FIEMAP_EXTENT_NOT_ALIGNED;
      if (e.fe_flags & kNoPlace) continue;
      extent.shared = (e.fe_flags & FIEMAP_EXTENT_SHARED) != 0;
      extent.encoded = (e.fe_flags & FIEMAP_EXTENT_ENCODED) != 0;
      if (extent.encoded) {
        has_encoded = true;
        // Every compressed extent takes one block at least.
        extent.on_disk = std::min<std::uint64_t>(block, e.fe_length);
        extent.on_disk_at_least = true;
      }
      if (extent.shared || extent.encoded) extents.push_back(extent);
    }
    if (extents.size() - first > most) return failed(E2BIG);
    if (last || start >= FIEMAP_MAX_OFFSET) break;
  }
  return succeeded();
}

// Appends the map of the regular file open at `fd`, of inode `inode`, on the
// volume `volume` says, through `buffer`, `most` extents at most: the
// walk's and a worker's.
result<> map_open_file(int fd, std::int64_t inode, const volume_extents& volume, char* buffer,
                       std::size_t most, std::vector<mapped_extent>& extents) {
  const std::size_t first = extents.size();
  bool has_encoded = false;
  const result<> mapped = map_file(fd, volume, buffer, most, extents, has_encoded);
  if (!mapped.outcome || !has_encoded || !volume.data_in_metadata) return mapped;
  // Compressed on btrfs: the file extent items give the lengths on disk,
  // to those allowed to read them (root); the others keep one block each.
  // (FIEMAP gives a compressed extent's start on disk as the item does.)
  std::vector<compressed_length> lengths;
  if (!btrfs_compressed_lengths(fd, static_cast<std::uint64_t>(inode), lengths).outcome)
    return mapped;
  for (std::size_t i = first; i < extents.size(); ++i) {
    mapped_extent& extent = extents[i];
    if (!extent.encoded) continue;
    const auto found = std::lower_bound(
        lengths.begin(), lengths.end(), extent.physical,
        [](const compressed_length& c, std::uint64_t at) { return c.start < at; });
    if (found == lengths.end() || found->start != extent.physical) continue;
    extent.on_disk = found->on_disk;
    extent.on_disk_at_least = false;
  }
  return mapped;
}

}  // namespace
#endif

result<> read_extent_map(walk_cursor& cursor, const native_string& path,
                         const listed_entry& entry, const entry_facts& facts,
                         const volume_extents& volume, std::vector<mapped_extent>& extents) {
#ifdef __linux__
  // A worker may have mapped this one already (read_volume_extents told
  // the workers of its volume).
  walk_extent_maps& ahead = extent_maps_of(cursor);
  if (ahead.take(entry, facts, extents)) return succeeded();
  const directory_place place = current_place(cursor);
  unique_fd fd;
  if (place.handle >= 0) {
    fd.reset(openat(static_cast<int>(place.handle), name_of(path, entry), kMapFlags));
  } else {
    const char* name = nullptr;
    const unique_fd parent = open_parent(path, name);
    if (!parent.valid()) return failed(static_cast<error_code>(errno));
    fd.reset(openat(parent.get(), name, kMapFlags));
  }
  if (!fd.valid()) return failed(static_cast<error_code>(errno));
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return failed(static_cast<error_code>(errno));
  if (!is_file_examined(st, facts)) return failed(ENOENT);

  if (!ahead.scratch) ahead.scratch.reset(new char[kMapBufferSize]);
  return map_open_file(fd.get(), static_cast<std::int64_t>(st.st_ino), volume,
                       ahead.scratch.get(), static_cast<std::size_t>(-1), extents);
#else
  (void)cursor;
  (void)path;
  (void)entry;
  (void)facts;
  (void)volume;
  (void)extents;
  return failed(ENOTSUP);
#endif
}

bool read_and_map(int dir_fd, const char* name, const volume_extents& volume,
                  std::uint64_t device, entry_reading& reading, extent_maps& maps) {
#ifdef __linux__
  // Opened first and read through its descriptor: its facts and its map
  // are of one file, with no second look at the name. Never across a mount
  // point or through a link that took the name since; a file that cannot be
  // opened so (unreadable too) is read by name, and mapped by the walk.
  const unique_fd fd = open_below(dir_fd, name, kMapFlags);
  if (!fd.valid()) return false;
  reading = read_reading(fd.get(), "", device);
  if (!maps_ahead(reading, device)) return true;
  if (!maps.scratch) maps.scratch.reset(new char[kMapBufferSize]);
  const std::size_t first = maps.extents.size();
  // A file of many extents is the walk's: its map is read once only.
  if (map_open_file(fd.get(), reading.facts.identity.key, volume, maps.scratch.get(),
                    kMostExtentsOfAFile, maps.extents).outcome)
    keep_map(reading, maps, first);
  else
    maps.extents.resize(first);
  return true;
#else
  (void)dir_fd;
  (void)name;
  (void)volume;
  (void)device;
  (void)reading;
  (void)maps;
  return false;  // no volume's files are mapped here
#endif
}

}  // namespace platform
