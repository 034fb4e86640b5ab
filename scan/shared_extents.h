// The arithmetic of extents that several files share (-E): which files hold
// each physical range of a volume, and what deleting a PATH gives back of
// them.
//
// A range counts once however many files hold it. Deleting a PATH gives it
// back only when every file of the run that holds it goes with the PATH,
// and only when the run met at least two references to it: a range the
// volume flags shared that the run met once has its other holder elsewhere.
// Ranges are settled after the last walk, when every holder is known.
// Physical addresses are those of one file system: each range names the
// set of addresses it lies in, and ranges of two sets never meet, however
// alike their addresses.
//
// Memory grows with the ranges kept (24 bytes each) and the files that hold
// them, never with the extents no other file shares.
#ifndef TWINFIND_SCAN_SHARED_EXTENTS_H_
#define TWINFIND_SCAN_SHARED_EXTENTS_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace scan {

// Adds `size` to `total`, at most the largest 64-bit value, as the
// summary's sizes add up.
void add_size(std::int64_t& total, std::uint64_t size);

// What the shared ranges add to the figures of the run.
struct shared_extent_totals {
  std::int64_t unique = 0;  // every physical byte once
  std::int64_t freed = 0;   // what deleting every PATH gives back
  // Per walk, in order: the ranges some file the walk met holds, and what
  // deleting its PATH alone gives back.
  std::vector<std::int64_t> walk_unique;
  std::vector<std::int64_t> walk_freed;
  // Per walk, for the PATHs as a series in order: the ranges it is the
  // first walk to meet a holder of, and those that deleting its PATH with
  // every earlier one gives back and no shorter series does.
  std::vector<std::int64_t> walk_added;
  std::vector<std::int64_t> walk_first_freed;

  // Totals of `walks` walks, every figure 0.
  static shared_extent_totals of_walks(std::uint32_t walks) {
    shared_extent_totals totals;
    totals.walk_unique.assign(walks, 0);
    totals.walk_freed.assign(walks, 0);
    totals.walk_added.assign(walks, 0);
    totals.walk_first_freed.assign(walks, 0);
    return totals;
  }
};

// A walk that met a holder of shared ranges (or an inode chunk), and
// whether deleting its PATH frees it.
struct walk_meeting {
  std::uint32_t holder;
  std::uint32_t walk;
  bool freed;
};

// One piece of the ranges: bytes that the same files hold throughout.
struct shared_piece {
  std::uint64_t length = 0;
  const std::uint32_t* holders = nullptr;  // each once, in no order
  std::size_t holder_count = 0;
  // The run met at least two references to it: deleting its holders can
  // give it back.
  bool freeable = false;
};

class shared_extents {
 public:
  // A file that holds shared ranges; the number that names it.
  std::uint32_t add_holder();
  // The bytes [start, start + length) of the addresses `space`, held by
  // `holder`. Ranges of several holders may overlap in any way: the union
  // counts.
  void add_range(std::uint32_t holder, std::uint32_t space, std::uint64_t start,
                 std::uint64_t length);
  // A compressed extent: its start identifies it, and `length` is what it
  // takes on disk, known or at least; it is never merged with other
  // ranges, and the longest length met for one start counts.
  void add_encoded(std::uint32_t holder, std::uint32_t space, std::uint64_t start,
                   std::uint64_t length);
  // The walk `walk` (from 1) met `holder`, and freed it (every name below
  // the walk's PATH) or not. Once per walk and holder.
  void met(std::uint32_t holder, std::uint32_t walk, bool freed);
  // Deleting every PATH deletes `holder`: the walk `walk` met the last of
  // its names, so deleting that walk's PATH with every earlier one deletes
  // it. Told again by a later walk, the first walk stays.
  void freed_by_run(std::uint32_t holder, std::uint32_t walk);

  std::size_t holders() const { return freed_by_run_.size(); }
  bool empty() const { return ranges_.empty() && encoded_.empty(); }

  // The figures of `walks` walks; `each_piece`, where given, sees every
  // piece as it is counted, for figures finer than a walk's.
  shared_extent_totals settle(
      std::uint32_t walks,
      const std::function<void(const shared_piece&)>& each_piece = nullptr) const;

 private:
  struct range {
    std::uint64_t start;
    std::uint64_t end;  // past the last byte; the length for an encoded one
    std::uint32_t holder;
    std::uint32_t space;
  };
  std::vector<range> ranges_;
  std::vector<range> encoded_;
  std::vector<walk_meeting> meetings_;
  std::vector<std::uint32_t> freed_by_run_;  // the walk, from 1; 0: not freed
};

}  // namespace scan

#endif  // TWINFIND_SCAN_SHARED_EXTENTS_H_
