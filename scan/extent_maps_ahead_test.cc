// The extent maps the queue reads ahead of the walk under -E, on the
// in-memory file system, driven by hand: whatever a worker mapped, failed
// to map or never came to, the scan counts and reports what a walk alone
// does, and a map is only ever that of the file the walk examined.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "scan/scandata.h"
#include "testing/filesystem-fake.h"
#include "testing/scan_test_util.h"
#include "testing/shared_extents_test_util.h"

namespace scan {

namespace {

using platform::fake_operation;
using platform::fake_tree;
using shared_extents_test::MiB;
using shared_extents_test::range;
using shared_extents_test::shared_file;

using build_function = std::function<void(const fake_tree&)>;

// What a -E -S scan of "top" tells: its lines, its figures, and how often
// it asked the file system.
struct scan_told {
  platform::native_string lines;
  std::vector<std::int64_t> figures;
  platform::fake_calls calls;
};

scan_told scan_of(const build_function& build, bool by_hand) {
  fake_tree tree;
  build(tree);
  if (by_hand) tree.read_ahead_by_hand();
  captured_scan run(/*verbose=*/true);
  run.scan.space.enabled = true;
  run.scan.measure_sizes(size_measure::allocated);
  run.scan.count_shared_extents();
  run.scan.scan_paths({tree.path("top")});
  scan_told told{run.out.str() + run.err.str(), {}, tree.calls()};
  for (const _scandata_path_space& p : run.scan.space.paths)
    told.figures.insert(told.figures.end(), {p.files, p.unique_files, p.unique_size, p.freed});
  told.figures.insert(told.figures.end(), {run.scan.space.unique_size, run.scan.space.freed,
                                           run.scan.naive_size, run.scan.unique_size,
                                           run.scan.scan_errors});
  return told;
}

std::string name(const char* directory, int i) {
  return std::string("top/") + directory + "/f" + std::to_string(i);
}

// Two snapshots of ten files each, the second's extents those of the first
// (reflinked), each file with a part of its own. The walk maps `top/first`
// itself, which tells it the volume shares extents; the files of s1 are
// then read in slices beside the walk, and s2 is opened ahead. Beside
// them, what no worker maps: a file of two links, one without blocks, a
// link and a FIFO.
void snapshots(const fake_tree& t) {
  t.share_extents("");
  shared_file(t, "top/first", 4 * MiB, {range(100 * MiB, 4 * MiB)});
  for (const char* snapshot : {"s1", "s2"}) {
    for (int i = 0; i < 10; ++i) {
      const std::uint64_t shared = static_cast<std::uint64_t>(i + 1) * 4096;
      shared_file(t, name(snapshot, i), static_cast<std::int64_t>(shared) + 8192,
                  {range(static_cast<std::uint64_t>(i) * MiB, shared)});
    }
  }
  t.hard_link("top/s1/f0", "top/s2/again");
  shared_file(t, "top/s1/empty", 0, {range(50 * MiB, 4096)});
  t.symlink("top/s1/link", "top/s2");
  t.special("top/s1/fifo");
}

// Hangs on the listing of `at` (s1: the slices of s1 are asked for, and
// s2 to be opened) what the queue does: every request carried out, claimed
// and left to be finished when the walk waits, or nothing (the walk then
// carries out each slice as it reaches it).
enum class queue_does { everything, claims, nothing };

build_function with_queue(build_function build, queue_does does, const char* at = "top/s1") {
  return [build, does, at](const fake_tree& t) {
    build(t);
    t.after_listing(at, [&t, does] {
      if (does == queue_does::everything) t.complete_read_ahead();
      if (does == queue_does::claims) t.claim_read_ahead();
    });
  };
}

// Whatever a worker mapped, failed to map or never came to, the scan tells
// what a walk alone tells of the same tree (`alone`, where the same events
// read otherwise alone), and every map is read once, by a worker or by the
// walk (which maps the first file and the one of two links itself, and
// nothing maps what the walk never maps).
TEST(ExtentMapsAhead, WhateverAWorkerMappedTheScanTellsWhatAWalkAloneTells) {
  const auto fails = [](fake_operation operation, platform::error_code second) {
    return [operation, second](const fake_tree& t) {
      snapshots(t);
      t.fail(operation, name("s1", 3), platform::fake_access_denied);
      t.fail(operation, name("s2", 5), second);
    };
  };
  const struct {
    const char* what;
    build_function alone, build;
    queue_does does;
    const char* at;
    int mapped_by_walk, mapped_ahead;
  } cases[] = {
      // In slices (s1) and in the directory a worker opened (s2).
      {"all mapped ahead", snapshots, snapshots, queue_does::everything, "top/s1", 2, 19},
      // A worker's map fails where the walk's does not: the walk reads it.
      {"failed ahead only", snapshots, fails(fake_operation::extents_ahead, 13),
       queue_does::everything, "top/s1", 4, 19},
      // Both fail: the walk reports it, where a walk alone does.
      {"failed both", fails(fake_operation::extents, 2), fails(fake_operation::extents, 2),
       queue_does::everything, "top/s1", 4, 19},
      // Requests the walk waits for, and those nobody took: the walk
      // carries out the slices and maps in them as a worker does.
      {"claimed", snapshots, snapshots, queue_does::claims, "top/s1", 2, 19},
      {"never taken", snapshots, snapshots, queue_does::nothing, "top/s1", 2, 19},
      // The slices of top read before the walk's first map told it the
      // volume shares extents: nobody maps there but the walk.
      {"read before the walk mapped", [](const fake_tree& t) {
         snapshots(t);
         for (int i = 0; i < 8; ++i)
           shared_file(t, "top/g" + std::to_string(i), 8192, {range(300 * MiB + i * 8192, 4096)});
       },
       nullptr, queue_does::everything, "top", 10, 19},
      // Replaced between the worker's reading of its facts and its map: the
      // worker finds another file and keeps no map; so does the walk, which
      // says so as a walk alone does of a file gone when it maps it. The
      // new file's extents count nowhere.
      {"replaced before its map", [](const fake_tree& t) {
         snapshots(t);
         t.fail(fake_operation::extents, name("s1", 4), platform::fake_no_such_entry);
       },
       [](const fake_tree& t) {
         snapshots(t);
         t.before_map_ahead(name("s1", 4), [&t] {
           t.remove(name("s1", 4));
           shared_file(t, name("s1", 4), 64 * MiB, {range(200 * MiB, 64 * MiB)});
         });
       },
       queue_does::everything, "top/s1", 3, 19},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const scan_told alone = scan_of(c.alone, false);
    const scan_told ahead = scan_of(with_queue(c.build ? c.build : c.alone, c.does, c.at), true);
    EXPECT_EQ(ahead.lines, alone.lines);
    EXPECT_EQ(ahead.figures, alone.figures);
    EXPECT_EQ(alone.calls.extent_maps_read_ahead, 0);
    EXPECT_EQ(ahead.calls.extent_maps_read, c.mapped_by_walk);
    EXPECT_EQ(ahead.calls.extent_maps_read_ahead, c.mapped_ahead);
  }
}

TEST(ExtentMapsAhead, EachMapIsTakenFromItsOwnSliceAsTheRingGoesRound) {
  // More files than the ring of slices holds: the slices past it are read
  // as the walk frees places, each into a buffer used before; every file
  // has a map of its own, shared with its copy in s2, so a map taken from
  // the wrong slice or the wrong entry changes the figures.
  const auto many = [](const fake_tree& t) {
    t.share_extents("");
    shared_file(t, "top/first", 4 * MiB, {range(1ull << 40, 4 * MiB)});
    for (const char* snapshot : {"s1", "s2"}) {
      for (int i = 0; i < 1500; ++i) {
        const std::uint64_t shared = static_cast<std::uint64_t>(i % 7 + 1) * 4096;
        shared_file(t, name(snapshot, i), static_cast<std::int64_t>(shared) + 4096 * (i % 5),
                    {range(static_cast<std::uint64_t>(i) * MiB, shared)});
      }
    }
  };
  const scan_told alone = scan_of(many, false);
  const scan_told ahead = scan_of(with_queue(many, queue_does::everything), true);
  EXPECT_EQ(ahead.lines, alone.lines);
  EXPECT_EQ(ahead.figures, alone.figures);
  // Larger than a worker lists whole: both listed by the walk, every file
  // mapped in its slice, by a worker or by the walk taking the slice.
  EXPECT_EQ(ahead.calls.extent_maps_read, 1);
  EXPECT_EQ(ahead.calls.extent_maps_read_ahead, 3000);
}

}  // namespace

}  // namespace scan
