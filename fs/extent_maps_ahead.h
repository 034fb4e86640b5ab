// Extent maps read ahead of the walk (-E): a worker that reads the facts of
// a slice of the listing the walk visits, or of a directory it opened ahead
// of the walk, also maps the regular files among them that the walk will
// map, so that on two cores the maps are read beside the walk.
//
// A worker maps only what the walk would map and never opens what the walk
// would not: a file of one link whose reading says it is a regular file
// with blocks, in a directory on a volume the walk told it of as it learnt
// that the volume shares extents (so the walk runs -E), and maps it as the
// walk would, from what the walk learnt of the volume. It checks that the
// file it opened is the one read, as the walk does. A file whose map
// failed it leaves to the walk, which maps every file no worker mapped as
// it would alone and reports what it meets: what the walk counts is the
// same either way.
//
// The maps of one request lie in one buffer of its record, reused by the
// record's next request; the walk copies an entry's map out as it takes
// its reading, when the reading itself is still the request's (read_ahead.h
// says how long), and uses it when it maps that entry.
#ifndef TWINFIND_FS_EXTENT_MAPS_AHEAD_H_
#define TWINFIND_FS_EXTENT_MAPS_AHEAD_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "fs/filesystem.h"

namespace platform {

struct directory_place;
struct entry_reading;
struct opened_directory;

// What the maps of one request keep, at most: a file of more extents than
// kMostExtentsOfAFile is left to the walk (a large file, whose own reading
// costs little beside its size; a worker stops reading its map there), and
// a buffer grown past kMostExtentsKept lets its memory go before the next
// request. Unmeasured as a speed: they bound what the queue's records hold
// (2,048 extents of 32 bytes, 64 KiB a record) where most files of a tree
// have one or two extents.
constexpr std::size_t kMostExtentsOfAFile = 64;
constexpr std::size_t kMostExtentsKept = 2048;

// The maps one request read: the kept extents (mapped_extent) of each file
// it mapped, one file after another.
struct extent_maps {
  std::vector<mapped_extent> extents;
  // What a half reads a map into, of the half's own size; made at the
  // record's first map.
  std::unique_ptr<char[]> scratch;
  // One more each time the buffer starts afresh: a map handed out is
  // checked (in builds with assertions) to be of the buffer's present
  // fill when the walk copies it.
  std::atomic<std::uint32_t> fills{0};

  void start_afresh() {
    if (extents.capacity() > kMostExtentsKept) std::vector<mapped_extent>().swap(extents);
    extents.clear();
    fills.fetch_add(1, std::memory_order_relaxed);
  }
};

// Where the map of one entry lies in the maps of the request that read it;
// `maps` null: no worker mapped it.
struct mapped_ahead {
  const extent_maps* maps = nullptr;
  std::uint32_t first = 0;
  std::uint32_t count = 0;  // 0 too where the map keeps no extent
  std::uint32_t fill = 0;
};

// What the walk keeps of the extents of `place`'s volume where a worker
// maps files there (null: it maps none), and which: the entry read as
// `reading` there.
const volume_extents* maps_files_in(const directory_place& place);
bool maps_ahead(const entry_reading& reading, std::uint64_t volume);

// The buffer for the maps of the directory `opened` as a worker reads it
// in `place`: null where files are not mapped there.
extent_maps* maps_for(opened_directory& opened, const directory_place& place);

// Marks the map of the file read as `reading` as the `first` extents of
// `maps` onward, those it added since; false (and the extents let go)
// where they are more than kMostExtentsOfAFile.
bool keep_map(entry_reading& reading, extent_maps& maps, std::size_t first);

// What a walk keeps of the maps read ahead: the volumes where its workers
// map files, each told by the walk as it learns that the volume shares
// extents (the walk runs -E); the map a worker read of the entry the walk
// examined last, copied out with its reading; and the walk's own scratch
// for the maps it reads itself. Workers read the volumes as they take a
// request (every place they read in points here), so that the directories
// opened ahead before the walk knew map too from then on; the rest is the
// walk's thread's alone.
struct walk_extent_maps {
  // Volumes whose files are mapped ahead, at most (a walk stays on one
  // volume but for btrfs subvolumes): beyond, the walk maps alone there.
  // Unmeasured: the bench's image of snapshots has six.
  static constexpr std::size_t kMostVolumes = 16;
  struct volume {
    std::uint64_t device = 0;
    volume_extents extents;
  };
  // Written before `volume_count` counts them, never after.
  volume volumes[kMostVolumes];
  std::atomic<std::size_t> volume_count{0};
  const listed_entry* examined = nullptr;  // whose map `extents` holds
  file_identity examined_identity;
  std::vector<mapped_extent> extents;
  std::unique_ptr<char[]> scratch;

  // What the walk said of the volume `device`, where files map ahead
  // there; else null.
  const volume_extents* extents_on(std::uint64_t device) const;
  // The walk's thread: files on `device`, whose volume shares extents as
  // `extents` says, are mapped ahead from now on.
  void note_volume(std::uint64_t device, const volume_extents& extents);
  // The walk examined `entry`, as `reading` says.
  void note_examined(const listed_entry& entry, const entry_reading& reading);
  // The walk maps `entry`, examined as `facts`: appends the map a worker
  // read of that very file, where one did (true).
  bool take(const listed_entry& entry, const entry_facts& facts,
            std::vector<mapped_extent>& into);
};

}  // namespace platform

#endif  // TWINFIND_FS_EXTENT_MAPS_AHEAD_H_
