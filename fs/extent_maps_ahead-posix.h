// The POSIX half of the extent maps read ahead of the walk
// (extent_maps_ahead.h): what a worker maps, and what the walk keeps.
#ifndef TWINFIND_FS_EXTENT_MAPS_AHEAD_POSIX_H_
#define TWINFIND_FS_EXTENT_MAPS_AHEAD_POSIX_H_

#include <cstddef>
#include <cstdint>

#include "fs/extent_maps_ahead.h"
#include "fs/read_ahead.h"

namespace platform {

// On a worker, where `place` is on a volume whose files are mapped: reads
// the entries `order[0..count)` of `listing` into `readings`, as the walk
// would, and maps those files that maps_ahead says into `maps`, marking
// each reading with its map where it was read whole.
void read_and_map(const directory_place& place, const directory_listing& listing,
                  const std::uint32_t* order, std::size_t count, entry_reading* readings,
                  extent_maps& maps);

// What the walk of `cursor` keeps of the maps.
walk_extent_maps& extent_maps_of(walk_cursor& cursor);

}  // namespace platform

#endif  // TWINFIND_FS_EXTENT_MAPS_AHEAD_POSIX_H_
