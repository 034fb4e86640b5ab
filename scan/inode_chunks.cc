// The inode chunks of a run, settled once the walks are over, when it is
// known which chunks the run met whole.
#include "scan/inode_chunks.h"

#include <limits>

namespace scan {

namespace {

platform::file_identity chunk_identity(std::uint64_t volume, std::uint64_t number) {
  return platform::file_identity{volume, static_cast<std::int64_t>(number)};
}

}  // namespace

std::uint32_t inode_chunks::chunk_of(std::uint64_t volume, std::uint64_t inode,
                                     std::uint64_t bytes) {
  const std::uint64_t number = inode / inodes_per_chunk;
  if (last_ != none && last_volume_ == volume && last_number_ == number) return last_;
  const identity_table::inserted place = numbers_.insert(
      chunk_identity(volume, number), static_cast<std::uint32_t>(chunks_.size()));
  if (place.added) {
    chunks_.emplace_back();
    chunks_.back().bytes = bytes;
  }
  last_volume_ = volume;
  last_number_ = number;
  last_ = *place.value;
  return last_;
}

std::uint32_t inode_chunks::find(std::uint64_t volume, std::uint64_t inode) const {
  const std::uint32_t* place = numbers_.find(chunk_identity(volume, inode / inodes_per_chunk));
  return place ? *place : none;
}

void inode_chunks::met(std::uint32_t chunk, std::uint64_t inode, std::uint32_t walk) {
  inode_chunks::chunk& c = chunks_[chunk];
  if (c.first_walk == 0) c.first_walk = walk;
  c.met |= bit(inode);
}

void inode_chunks::met_by_walk(std::uint32_t chunk, std::uint64_t inode, std::uint32_t walk,
                               bool freed) {
  if (walk == 0) return;
  inode_chunks::chunk& c = chunks_[chunk];
  if (c.walk != walk) {
    c.walk = walk;
    c.walk_met = 0;
    c.walk_freed = 0;
    meetings_.push_back(walk_meeting{chunk, walk, false});
  }
  c.walk_met |= bit(inode);
  if (!freed || c.walk_freed == all) return;
  c.walk_freed |= bit(inode);
  // Its PATH frees the chunk: once per walk.
  if (c.walk_freed == all) meetings_.push_back(walk_meeting{chunk, walk, true});
}

void inode_chunks::freed_by_run(std::uint32_t chunk, std::uint64_t inode, std::uint32_t walk) {
  inode_chunks::chunk& c = chunks_[chunk];
  if (c.freed == all) return;
  c.freed |= bit(inode);
  if (c.freed == all) c.freed_at = walk;
}

shared_extent_totals inode_chunks::settle(std::uint32_t walks) const {
  shared_extent_totals totals = shared_extent_totals::of_walks(walks);
  for (const chunk& c : chunks_) {
    if (c.met != all) continue;
    add_size(totals.unique, c.bytes);
    if (c.first_walk != 0 && c.first_walk <= walks)
      add_size(totals.walk_added[c.first_walk - 1], c.bytes);
    if (c.freed != all) continue;
    add_size(totals.freed, c.bytes);
    if (c.freed_at != 0 && c.freed_at <= walks)
      add_size(totals.walk_first_freed[c.freed_at - 1], c.bytes);
  }
  for (const walk_meeting& m : meetings_) {
    if (m.walk > walks || chunks_[m.holder].met != all) continue;
    add_size(m.freed ? totals.walk_freed[m.walk - 1] : totals.walk_unique[m.walk - 1],
             chunks_[m.holder].bytes);
  }
  return totals;
}

}  // namespace scan
