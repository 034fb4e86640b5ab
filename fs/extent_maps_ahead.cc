// The extent maps a worker reads ahead of the walk, and how the walk takes
// them: the same for every half.
#include "fs/extent_maps_ahead.h"

#include <cassert>

#include "fs/read_ahead.h"

namespace platform {

const volume_extents* maps_files_in(const directory_place& place) {
  return place.walk_maps ? place.walk_maps->extents_on(place.volume) : nullptr;
}

bool maps_ahead(const entry_reading& reading, std::uint64_t volume) {
  const entry_facts& facts = reading.facts;
  // A file of several links the walk maps at its first name only, which
  // it alone knows; a file without blocks it never maps.
  return reading.examined.outcome == examination::examined && !facts.is_directory &&
         facts.kind == entry_kind::normal && facts.links == 1 && facts.allocated > 0 &&
         facts.identity.volume == volume;
}

extent_maps* maps_for(opened_directory& opened, const directory_place& place) {
  if (!maps_files_in(place)) return nullptr;
  if (!opened.maps) opened.maps.reset(new extent_maps);
  return opened.maps.get();
}

bool keep_map(entry_reading& reading, extent_maps& maps, std::size_t first) {
  if (maps.extents.size() - first > kMostExtentsOfAFile) {
    maps.extents.resize(first);
    return false;
  }
  reading.map.maps = &maps;
  reading.map.first = static_cast<std::uint32_t>(first);
  reading.map.count = static_cast<std::uint32_t>(maps.extents.size() - first);
  reading.map.fill = maps.fills.load(std::memory_order_relaxed);
  return true;
}

const volume_extents* walk_extent_maps::extents_on(std::uint64_t device) const {
  const std::size_t count = volume_count.load(std::memory_order_acquire);
  for (std::size_t i = 0; i < count; ++i)
    if (volumes[i].device == device) return &volumes[i].extents;
  return nullptr;
}

void walk_extent_maps::note_volume(std::uint64_t device, const volume_extents& extents) {
  const std::size_t count = volume_count.load(std::memory_order_relaxed);
  if (count == kMostVolumes || extents_on(device) || !extents.shares) return;
  volumes[count].device = device;
  volumes[count].extents = extents;
  volume_count.store(count + 1, std::memory_order_release);
}

void walk_extent_maps::note_examined(const listed_entry& entry, const entry_reading& reading) {
  examined = nullptr;
  const mapped_ahead& map = reading.map;
  if (!map.maps) return;
  // The request that read it is done, and its buffer is not read into
  // again before the walk takes a later reading: still this fill.
  assert(map.maps->fills.load(std::memory_order_relaxed) == map.fill &&
         "a map read ahead was read over before the walk took it");
  const mapped_extent* first = map.maps->extents.data() + map.first;
  extents.assign(first, first + map.count);
  examined = &entry;
  examined_identity = reading.facts.identity;
}

bool walk_extent_maps::take(const listed_entry& entry, const entry_facts& facts,
                            std::vector<mapped_extent>& into) {
  if (examined != &entry || !(examined_identity == facts.identity)) return false;
  examined = nullptr;
  into.insert(into.end(), extents.begin(), extents.end());
  return true;
}

}  // namespace platform
