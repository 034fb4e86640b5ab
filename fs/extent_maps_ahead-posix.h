// The POSIX half of the extent maps read ahead of the walk
// (extent_maps_ahead.h): what a worker maps, and what the walk keeps.
#ifndef TWINFIND_FS_EXTENT_MAPS_AHEAD_POSIX_H_
#define TWINFIND_FS_EXTENT_MAPS_AHEAD_POSIX_H_

#include <cstddef>
#include <cstdint>

#include "fs/extent_maps_ahead.h"
#include "fs/read_ahead.h"

namespace platform {

// On a worker, for the entry `name` of `dir_fd` that its listing calls a
// regular file, on the volume `device` whose extents the walk keeps as
// `volume`: reads it into `reading` as the walk would, and maps it into
// `maps` where maps_ahead says, marking the reading with its map where it
// was read whole. False where it could not be opened (nothing read): the
// caller reads it by name. Nothing but a listed file is ever opened before
// its kind is known (a device, a FIFO), and the file systems that share
// extents all tell a listing's types.
bool read_and_map(int dir_fd, const char* name, const volume_extents& volume,
                  std::uint64_t device, entry_reading& reading, extent_maps& maps);

// What the walk of `cursor` keeps of the maps.
walk_extent_maps& extent_maps_of(walk_cursor& cursor);

}  // namespace platform

#endif  // TWINFIND_FS_EXTENT_MAPS_AHEAD_POSIX_H_
