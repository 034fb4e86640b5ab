// The inode chunks of xfs under -E: xfs allocates its inodes 64 at a
// time, in chunks that take 64 times the inode size, and frees a chunk
// when the last of its inodes goes. No file's allocation shows them.
//
// A chunk is an inode's number divided by 64, on its volume. It counts only
// where the run met all 64 of its inodes: once in the run's unique total
// and in that of every walk that met one of them, and as freed by a PATH
// (by every PATH, for the run) when deleting it frees all 64. A chunk of
// which the run met fewer counts nowhere: its other inodes lie outside the
// PATHs, or are free, or were never allocated (sparse chunks, allocated in
// part), and deleting frees at least what is counted.
//
// An inode is one bit of its chunk's masks: met twice, under two names or
// by two walks, it counts once. Memory grows with the chunks (about 90
// bytes each, its place in the table included, for 64 inodes met) and 12
// bytes per chunk and walk.
#ifndef TWINFIND_SCAN_INODE_CHUNKS_H_
#define TWINFIND_SCAN_INODE_CHUNKS_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "scan/identity_table.h"
#include "scan/shared_extents.h"

namespace scan {

class inode_chunks {
 public:
  static constexpr std::uint32_t none = 0xFFFFFFFFu;
  static constexpr std::uint64_t inodes_per_chunk = 64;

  // The chunk holding inode `inode` of the volume `volume`, a whole chunk
  // taking `bytes`: its number in the calls below. The first inode met of
  // a chunk adds it.
  std::uint32_t chunk_of(std::uint64_t volume, std::uint64_t inode, std::uint64_t bytes);
  // The chunk of `inode`, or none where no inode of it was met.
  std::uint32_t find(std::uint64_t volume, std::uint64_t inode) const;

  // The run met `inode` of `chunk`, in the walk `walk` (from 1; 0: in no
  // walk of the space by path).
  void met(std::uint32_t chunk, std::uint64_t inode, std::uint32_t walk);
  // The walk `walk` met it, and deleting its PATH frees it (`freed`:
  // every name of it lies below the PATH) or not. Walks come one after
  // another; a later call for the same inode may say freed at last.
  void met_by_walk(std::uint32_t chunk, std::uint64_t inode, std::uint32_t walk, bool freed);
  // Deleting every PATH frees it: the walk `walk` met the last of its
  // names, so deleting that walk's PATH with every earlier one does.
  void freed_by_run(std::uint32_t chunk, std::uint64_t inode, std::uint32_t walk);

  // The run met all 64 inodes of `chunk`: it counts.
  bool whole(std::uint32_t chunk) const { return chunks_[chunk].met == all; }
  std::uint64_t bytes(std::uint32_t chunk) const { return chunks_[chunk].bytes; }
  std::size_t size() const { return chunks_.size(); }
  bool empty() const { return chunks_.empty(); }

  // The figures of `walks` walks, as those of shared ranges are given.
  shared_extent_totals settle(std::uint32_t walks) const;

  // The bit of `inode` in its chunk's masks.
  static std::uint64_t bit(std::uint64_t inode) {
    return std::uint64_t{1} << (inode % inodes_per_chunk);
  }
  static constexpr std::uint64_t all = ~std::uint64_t{0};

 private:
  struct chunk {
    std::uint64_t bytes = 0;
    std::uint64_t met = 0;          // by the run
    std::uint64_t freed = 0;        // by every PATH
    std::uint64_t walk_met = 0;     // by the walk `walk`
    std::uint64_t walk_freed = 0;   // by that walk's PATH
    std::uint32_t walk = 0;
    std::uint32_t first_walk = 0;   // the first walk to meet one of them
    std::uint32_t freed_at = 0;     // the walk whose PATH, with those before, frees all
  };
  std::vector<chunk> chunks_;
  std::vector<walk_meeting> meetings_;  // `holder` the chunk
  identity_table numbers_;  // each chunk's place in `chunks_`, by volume and number
  // The chunk last asked for: the inodes of a directory mostly share one.
  std::uint64_t last_volume_ = 0;
  std::uint64_t last_number_ = 0;
  std::uint32_t last_ = none;
};

}  // namespace scan

#endif  // TWINFIND_SCAN_INODE_CHUNKS_H_
