// The arithmetic of shared ranges, on ranges given by hand: overlaps,
// adjacency, compressed extents, and which walks free what.
#include "scan/shared_extents.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <string>

namespace scan {

namespace {

// One range of one holder, in the addresses of file system `space`;
// `encoded` for a compressed extent.
struct held_range {
  std::uint32_t holder;
  std::uint64_t start, length;
  bool encoded = false;
  std::uint32_t space = 0;
};

// One holder as the walks met it: the walk, and whether it freed it.
struct meeting {
  std::uint32_t holder, walk;
  bool freed;
};

struct layout {
  const char* name;
  std::uint32_t holders;
  std::vector<held_range> ranges;
  std::vector<meeting> meetings;
  std::vector<std::uint32_t> freed_by_run;
  std::uint32_t walks;
  // What the settling must say.
  std::int64_t unique, freed;
  std::vector<std::int64_t> walk_unique, walk_freed;
};

shared_extent_totals settle(const layout& l) {
  shared_extents shared;
  for (std::uint32_t h = 0; h < l.holders; ++h) EXPECT_EQ(shared.add_holder(), h);
  for (const held_range& r : l.ranges) {
    if (r.encoded) {
      shared.add_encoded(r.holder, r.space, r.start, r.length);
    } else {
      shared.add_range(r.holder, r.space, r.start, r.length);
    }
  }
  for (const meeting& m : l.meetings) shared.met(m.holder, m.walk, m.freed);
  // Freed by the run in the last walk that met it.
  for (const std::uint32_t h : l.freed_by_run) {
    std::uint32_t walk = 0;
    for (const meeting& m : l.meetings)
      if (m.holder == h) walk = std::max(walk, m.walk);
    shared.freed_by_run(h, walk);
  }
  return shared.settle(l.walks);
}

const std::vector<layout>& layouts() {
  static const std::vector<layout> all = {
      // A file and its copy, in one walk each: each alone frees nothing.
      {"copy in two walks", 2, {{0, 1000, 100}, {1, 1000, 100}},
       {{0, 1, true}, {1, 2, true}}, {0, 1}, 2,
       100, 100, {100, 100}, {0, 0}},
      // Both in one walk: it frees them.
      {"copy in one walk", 2, {{0, 1000, 100}, {1, 1000, 100}},
       {{0, 1, true}, {1, 1, true}}, {0, 1}, 1,
       100, 100, {100}, {100}},
      // A range flagged shared whose other holder the run never met.
      {"other holder outside", 1, {{0, 1000, 100}},
       {{0, 1, true}}, {0}, 1,
       100, 0, {100}, {0}},
      // The copy holds the first half only (rewritten in part): the other
      // half has one reference, kept by what the run did not meet.
      {"partial overlap", 2, {{0, 0, 100}, {1, 0, 50}},
       {{0, 1, true}, {1, 2, true}}, {0, 1}, 2,
       100, 50, {100, 50}, {0, 0}},
      // Overlapping ranges of three files, staggered: pieces [0,10) A;
      // [10,20) A B; [20,30) A B C; [30,40) B C; [40,50) C.
      {"staggered overlaps", 3, {{0, 0, 30}, {1, 10, 30}, {2, 20, 30}},
       {{0, 1, true}, {1, 1, true}, {2, 1, true}}, {0, 1, 2}, 1,
       50, 30, {50}, {30}},
      // Adjacent ranges neither merge nor overlap.
      {"adjacent", 2, {{0, 0, 10}, {1, 10, 10}, {0, 20, 5}, {1, 20, 5}},
       {{0, 1, true}, {1, 1, true}}, {0, 1}, 1,
       25, 5, {25}, {5}},
      // A range held by three files in two walks: two files in the first,
      // one in the second. No walk alone frees it; both do.
      {"three holders, two walks", 3, {{0, 0, 64}, {1, 0, 64}, {2, 0, 64}},
       {{0, 1, true}, {1, 1, true}, {2, 2, true}}, {0, 1, 2}, 2,
       64, 64, {64, 64}, {0, 0}},
      // A holder met by a walk that does not free it (a name lies outside
      // that walk's PATH): the walk frees none of its ranges.
      {"holder not freed by its walk", 2, {{0, 0, 64}, {1, 0, 64}},
       {{0, 1, true}, {1, 1, false}, {1, 2, true}}, {0, 1}, 2,
       64, 64, {64, 64}, {0, 0}},
      // A file that shares blocks with itself holds them once, and frees
      // them with itself.
      {"deduplicated inside one file", 1, {{0, 0, 32}, {0, 0, 32}, {0, 100, 8}},
       {{0, 1, true}}, {0}, 1,
       40, 32, {40}, {32}},
      // Compressed extents: the same start is the same extent, whatever
      // length each file reports; different starts never merge, even where
      // the lengths would overlap.
      {"encoded", 2,
       {{0, 0, 128, true}, {1, 0, 100, true}, {0, 64, 128, true}, {1, 500, 16, true}},
       {{0, 1, true}, {1, 1, true}}, {0, 1}, 1,
       128 + 128 + 16, 128, {272}, {128}},
      // A range that reaches the end of the address space.
      {"to the end", 2,
       {{0, std::numeric_limits<std::uint64_t>::max() - 10, 100},
        {1, std::numeric_limits<std::uint64_t>::max() - 10, 100}},
       {{0, 1, true}, {1, 1, true}}, {0, 1}, 1,
       10, 10, {10}, {10}},
      // Two file systems whose copies lie at the same addresses, one walk
      // each: each pair is its own, and each walk frees its own (on the
      // second, the copy holds the middle half only).
      {"same addresses on two file systems", 4,
       {{0, 0, 16, false, 0}, {1, 0, 16, false, 0}, {2, 0, 16, false, 1}, {3, 4, 8, false, 1}},
       {{0, 1, true}, {1, 1, true}, {2, 2, true}, {3, 2, true}}, {0, 1, 2, 3}, 2,
       32, 24, {16, 16}, {16, 8}},
      // A range of one file system between those of another, at the same
      // addresses: the other's pieces are not cut by it.
      {"interleaved file systems", 3,
       {{0, 0, 100, false, 0}, {1, 0, 100, false, 0}, {2, 50, 10, false, 1}},
       {{0, 1, true}, {1, 1, true}, {2, 1, true}}, {0, 1, 2}, 1,
       110, 100, {110}, {100}},
      // Compressed extents of the same start on two file systems are two,
      // each with the holders of its own: one of them the run met once.
      {"encoded on two file systems", 3,
       {{0, 5000, 10, true, 0}, {1, 5000, 12, true, 1}, {2, 5000, 12, true, 1}},
       {{0, 1, true}, {1, 1, true}, {2, 1, true}}, {0, 1, 2}, 1,
       22, 12, {22}, {12}},
      // No holder freed by the run (a name outside every PATH).
      {"not freed by the run", 2, {{0, 0, 10}, {1, 0, 10}},
       {{0, 1, false}, {1, 1, true}}, {1}, 1,
       10, 0, {10}, {0}},
  };
  return all;
}

// Each layout settles to its figures, whatever order its ranges arrive in.
TEST(SharedExtents, SettlesEachLayoutInAnyOrderOfRanges) {
  for (const layout& l : layouts()) {
    layout reversed = l;
    std::reverse(reversed.ranges.begin(), reversed.ranges.end());
    for (const layout* order : {&l, static_cast<const layout*>(&reversed)}) {
      SCOPED_TRACE(std::string(l.name) + (order == &l ? "" : ", ranges reversed"));
      const shared_extent_totals totals = settle(*order);
      EXPECT_EQ(totals.unique, l.unique);
      EXPECT_EQ(totals.freed, l.freed);
      EXPECT_EQ(totals.walk_unique, l.walk_unique);
      EXPECT_EQ(totals.walk_freed, l.walk_freed);
    }
  }
}

}  // namespace

}  // namespace scan
