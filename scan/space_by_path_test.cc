// The space by path on the in-memory file system: each PATH's figures, the run's, and
// every way a name can be met twice.
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "testing/allocated_test_util.h"
#include "testing/filesystem-fake.h"
#include "testing/scan_test_util.h"
#include "testing/shared_extents_test_util.h"
#include "scan/scandata.h"

namespace scan {

namespace {

using shared_extents_test::MiB;
using shared_extents_test::range;
using shared_extents_test::shared_file;

struct figures {
  std::int64_t files, unique_files, unique_size, freed;
  bool operator==(const figures& o) const {
    return files == o.files && unique_files == o.unique_files && unique_size == o.unique_size &&
           freed == o.freed;
  }
};

std::ostream& operator<<(std::ostream& out, const figures& f) {
  return out << f.files << " " << f.unique_files << " " << f.unique_size << " " << f.freed;
}

// The rows of a space-by-path scan of `paths`, then the run's row; sizes
// measured by allocation add a last row: the summary's naive and unique
// totals, in the places of the two sizes. `errors` gets the run's scan
// errors.
std::vector<figures> space_rows(const std::vector<native_string>& paths, measured measure,
                                std::int64_t& errors) {
  return space_scan_either_way(
      paths, measure,
      [measure](const _scandata& scan) {
        std::vector<figures> rows;
        for (const _scandata_path_space& p : scan.space.paths)
          rows.push_back({p.files, p.unique_files, p.unique_size, p.freed});
        rows.push_back({scan.files_total, static_cast<std::int64_t>(scan.unique_files),
                        scan.space.unique_size, scan.space.freed});
        if (measure != measured::by_length) rows.push_back({0, 0, scan.naive_size, scan.unique_size});
        return rows;
      },
      &errors);
}

// Two snapshots, the second a hard-linked copy of the first with one file
// replaced; `latest` is a file of nine bytes, as large as the symbolic link
// it stands for, so that the figures hold where links cannot be made.
void make_snapshots(const platform::fake_tree& tree) {
  tree.file("mon/notes.txt", 10);
  tree.file("mon/photo.jpg", 120000);
  tree.file("mon/docs/report.txt", 10);
  tree.file("mon/docs/run.sh", 18);
  tree.file("mon/latest", 9);
  for (const char* name : {"notes.txt", "photo.jpg", "docs/run.sh", "latest"})
    tree.hard_link(std::string("mon/") + name, std::string("tue/") + name);
  tree.file("tue/docs/report.txt", 18);
}

// The snapshots' space on disk: each file takes 4096 bytes, the photo
// 122880 and the second report 8192; the directories take 100, 200, 1000
// and 2000, so that each sum tells which directories it holds; the tree
// above the PATHs, never counted, 50000.
void allocated_snapshots(const platform::fake_tree& tree) {
  make_snapshots(tree);
  set_allocated(tree, {{"mon/notes.txt", 4096}, {"mon/docs/report.txt", 4096},
                       {"mon/docs/run.sh", 4096}, {"mon/latest", 4096},
                       {"mon/photo.jpg", 122880}, {"tue/docs/report.txt", 8192},
                       {"mon", 100}, {"tue", 200}, {"mon/docs", 1000}, {"tue/docs", 2000},
                       {"", 50000}});
}

// A tree, the PATHs of its scan and the rows it must have; where not below
// 0, the extent maps read, the volumes asked whether they share extents and
// the scan errors of the run.
struct space_case {
  const char* name;
  std::function<void(const platform::fake_tree&)> make;
  std::vector<std::string> paths;
  std::vector<figures> expected;
  measured measure = measured::by_length;
  std::int64_t maps_read = -1, volumes_asked = -1, errors = -1;
};

void run_cases(const std::vector<space_case>& cases) {
  const auto expect = [](const char* what, std::int64_t want, std::int64_t got) {
    if (want >= 0) {
      EXPECT_EQ(got, want) << what;
    }
  };
  for (const space_case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::fake_tree tree;
    c.make(tree);
    std::vector<native_string> paths;
    for (const std::string& path : c.paths) paths.push_back(tree.path(path));
    const platform::fake_calls before = tree.calls();
    std::int64_t errors = 0;
    EXPECT_EQ(space_rows(paths, c.measure, errors), c.expected);
    expect("maps read", c.maps_read, tree.calls().extent_maps_read - before.extent_maps_read);
    expect("volumes asked", c.volumes_asked, tree.calls().volumes_asked - before.volumes_asked);
    expect("errors", c.errors, errors);
  }
}

TEST(SpaceByPath, EachPathAndTheRunHoldAndFreeWhatTheirNamesGive) {
  const std::int64_t max = std::numeric_limits<std::int64_t>::max(), huge = std::int64_t{1} << 62;
  const figures mon{5, 5, 120047, 10}, tue{5, 5, 120055, 18}, snapshots{10, 6, 120065, 120065};
  // mon: 139264 of files and its two directories, of which it frees its
  // own report and both directories; tue likewise with 143360.
  const figures mon_allocated{5, 5, 140364, 5196}, tue_allocated{5, 5, 145560, 10392};
  const auto nested = [](const platform::fake_tree& tree) {
    tree.file("a/b/c/f", 1);
    set_allocated(tree, {{"a", 10}, {"a/b", 100}, {"a/b/c", 1000}, {"a/b/c/f", 5}});
  };
  const figures nested_a{1, 1, 1115, 1115}, nested_b{1, 1, 1105, 1105};
  // cp -al of a symbolic link with a relative target: the copy leads
  // nowhere where the original leads to a directory (with 100 bytes of
  // target taking a block of 4096). One file whichever name comes first:
  // counted once, freed with both PATHs, nothing held outside them.
  const auto relative_link = [](const platform::fake_tree& tree) {
    const std::string target(100, 'd');
    tree.directory("a/" + target);
    tree.directory("b");
    tree.relative_symlink("a/link", target);
    tree.hard_link("a/link", "b/link");
    for (const std::string& name : {std::string("a"), "a/" + target, std::string("b"),
                                    std::string("a/link")})
      tree.set_allocated(name, 4096);
  };
  const figures link_a{1, 1, 12288, 8192}, link_b{1, 1, 8192, 4096};
  // h has a name outside: whatever is deleted, it is kept.
  const auto met_again = [](const platform::fake_tree& tree) {
    tree.file("a/x", 10);
    tree.file("a/b/y", 20);
    tree.file("a/b/h", 5);
    tree.hard_link("a/b/h", "outside/h");
  };
  const figures again_a{3, 3, 35, 30}, again_b{2, 2, 25, 20};
  const auto across = [](const platform::fake_tree& tree) {
    tree.file("p/shared", 100);
    tree.hard_link("p/shared", "q/shared");
    tree.hard_link("p/shared", "q/sub/shared-again");
    tree.file("q/own", 1);
  };
  const auto allocated = measured::allocated;
  run_cases({
      {"snapshots", make_snapshots, {"mon", "tue"}, {mon, tue, snapshots}},
      // Alone, the second snapshot shares four files with names outside it.
      {"the second snapshot", make_snapshots, {"tue"}, {tue, tue}},
      // Measured by allocation, each PATH holds its directories and frees
      // them with itself; by length, directories count for nothing.
      {"allocated snapshots", allocated_snapshots, {"mon", "tue"},
       {mon_allocated, tue_allocated, {10, 6, 150756, 150756}, {0, 0, 285924, 150756}},
       allocated},
      {"the second snapshot allocated", allocated_snapshots, {"tue"},
       {tue_allocated, tue_allocated, {0, 0, 145560, 145560}}, allocated},
      {"allocated snapshots by length", allocated_snapshots, {"mon", "tue"},
       {mon, tue, snapshots}},
      // A directory met by two walks counts once for the run: b is the
      // PATH of one walk and an entry of the other, in either order; a
      // given twice is one PATH's directory twice.
      {"a PATH inside another, first", nested, {"a/b", "a"},
       {nested_b, nested_a, {2, 1, 1115, 1115}, {0, 0, 2220, 1115}}, allocated},
      {"a PATH inside another", nested, {"a", "a/b"},
       {nested_a, nested_b, {2, 1, 1115, 1115}, {0, 0, 2220, 1115}}, allocated},
      {"a PATH given twice", nested, {"a", "a"},
       {nested_a, nested_a, {2, 1, 1115, 1115}, {0, 0, 2230, 1115}}, allocated},
      // A link of two names is a file at both, wherever it leads: it
      // counts once, and is freed by neither PATH alone.
      {"a link to a directory with two names",
       [](const platform::fake_tree& tree) {
         tree.directory("p/d");
         tree.directory("q");
         tree.symlink("p/to-d", "p/d");
         tree.hard_link("p/to-d", "q/to-d");
         set_allocated(tree, {{"p", 100}, {"p/d", 1000}, {"q", 200}, {"p/to-d", 7}});
       },
       {"p", "q"},
       {{1, 1, 1107, 1100}, {1, 1, 207, 200}, {2, 1, 1307, 1307}, {0, 0, 1314, 1307}},
       allocated},
      // du -s -c -B1 -x a b: 12288, 4096, 16384 in all.
      {"a link leading to a directory from one name", relative_link, {"a", "b"},
       {link_a, link_b, {2, 1, 16384, 16384}, {0, 0, 20480, 16384}}, allocated},
      {"a link leading to a directory from one name, the other first", relative_link,
       {"b", "a"}, {link_b, link_a, {2, 1, 16384, 16384}, {0, 0, 20480, 16384}}, allocated},
      // By length: the link's 100 bytes, once.
      {"a link leading to a directory from one name, by length", relative_link, {"a", "b"},
       {{1, 1, 100, 0}, {1, 1, 100, 0}, {2, 1, 100, 100}}},
      {"directories' allocated space saturates",
       [=](const platform::fake_tree& tree) {
         for (const char* name : {"a", "a/b", "a/c"}) {
           tree.directory(name);
           tree.set_allocated(name, huge);
         }
       },
       {"a", "a"}, {{0, 0, max, max}, {0, 0, max, max}, {0, 0, max, max}, {0, 0, max, max}},
       allocated},
      // Given twice, and inside another, and spelled otherwise: each row is
      // its walk's own, and the run's row counts every name once, so h
      // never looks freed.
      {"a name met again, given twice", met_again, {"a", "a"}, {again_a, again_a, {6, 3, 35, 30}}},
      {"a name met again, inside another", met_again, {"a/b", "a", "a/"},
       {again_b, again_a, again_a, {8, 3, 35, 30}}},
      {"a name met again, inside", met_again, {"a", "a/b"}, {again_a, again_b, {5, 3, 35, 30}}},
      {"a name met once", met_again, {"a"}, {again_a, again_a}},
      // Hard links across PATHs are freed only together.
      {"hard links across PATHs", across, {"p", "q"},
       {{1, 1, 100, 0}, {3, 2, 101, 1}, {4, 2, 101, 101}}},
      // The name in p alone is not all of them.
      {"hard links across PATHs, one of them", across, {"q"}, {{3, 2, 101, 1}, {3, 2, 101, 1}}},
  });
}

platform::entry_facts file(std::int64_t key, std::int32_t links, std::int64_t size) {
  platform::entry_facts facts;
  facts.identity = platform::file_identity{1, key};
  facts.links = links;
  facts.size = size;
  return facts;
}

TEST(SpaceByPath, SizesSaturateAtTheLargest64BitValue) {
  const std::int64_t max = std::numeric_limits<std::int64_t>::max();
  const std::int64_t huge = std::int64_t{1} << 62;
  _scandata scan;
  scan.space.paths.emplace_back();  // one walk, as scan_paths starts it
  _scandata_space_tally tallies[4];
  for (int i = 0; i < 3; ++i) scan.tally_space(file(i, 1, huge), true, tallies[i]);
  scan.tally_space(file(3, 2, huge), true, tallies[3]);  // one of two names
  const _scandata_path_space& path = scan.space.paths[0];
  EXPECT_EQ(path.unique_files, 4);
  EXPECT_EQ(path.unique_size, max);
  EXPECT_EQ(path.freed, max);
  EXPECT_EQ(scan.space.unique_size, max);
  EXPECT_EQ(scan.space.freed, max);
  EXPECT_EQ(held_outside(scan.space), 0);
}

// Under -E, on a volume that shares extents (directories take nothing
// here): a file and its reflinked copy in two PATHs count their blocks
// once, and give them back only with both copies. With half of it
// rewritten, the copy's new blocks are its own, the rest still shared; the
// original's second half is flagged shared no more (as xfs maps it), so it
// is the original's own.
std::function<void(const platform::fake_tree&)> reflinked(std::int64_t still_shared) {
  return [=](const platform::fake_tree& tree) {
    tree.share_extents("");
    shared_file(tree, "a/f", 16 * MiB, {range(100 * MiB, still_shared)});
    shared_file(tree, "b/g", 16 * MiB, {range(100 * MiB, still_shared)});
  };
}

// The copy's map cannot be read: it counts as -A counts it, as a scan error.
void unreadable_copy(const platform::fake_tree& tree) {
  tree.share_extents("");
  shared_file(tree, "a/f", 16 * MiB, {range(0, 16 * MiB)});
  shared_file(tree, "b/g", 16 * MiB, {range(0, 16 * MiB)});
  tree.fail(platform::fake_operation::extents, "b/g", platform::fake_access_denied);
}

TEST(SharedExtentsByPath, BlocksCountOnceAndAreFreedWithEveryHolder) {
  // Hard links and reflinks in one tree: a file with two names in two
  // snapshots, and a reflinked copy in a third. Each file counts once, its
  // map read once; its blocks go with all three snapshots.
  const auto linked = [](const platform::fake_tree& tree) {
    tree.share_extents("");
    shared_file(tree, "s1/f", 8 * MiB, {range(0, 8 * MiB)});
    tree.hard_link("s1/f", "s2/f");
    shared_file(tree, "s3/f", 8 * MiB, {range(0, 8 * MiB)});
    shared_file(tree, "s3/own", 4096);
  };
  // On a volume that shares nothing, -E is -A: the same figures, and no map
  // read; each volume is asked once a run.
  const auto sharing_nothing = [](const platform::fake_tree& tree) {
    allocated_snapshots(tree);
    tree.set_shared_extents("mon/photo.jpg", {range(0, 4096)});  // never asked for
  };
  const auto shared = measured::shared;
  const std::int64_t all = -1;
  run_cases({
      {"a reflinked copy", reflinked(16 * MiB), {"a", "b"},
       {{1, 1, 16 * MiB, 0}, {1, 1, 16 * MiB, 0}, {2, 2, 16 * MiB, 16 * MiB},
        {0, 0, 32 * MiB, 16 * MiB}}, shared},
      {"a reflinked copy, half rewritten", reflinked(8 * MiB), {"a", "b"},
       {{1, 1, 16 * MiB, 8 * MiB}, {1, 1, 16 * MiB, 8 * MiB}, {2, 2, 24 * MiB, 24 * MiB},
        {0, 0, 32 * MiB, 24 * MiB}}, shared},
      // The copy alone: its blocks are held by the file outside the PATHs.
      {"the copy alone", reflinked(16 * MiB), {"b"},
       {{1, 1, 16 * MiB, 0}, {1, 1, 16 * MiB, 0}, {0, 0, 16 * MiB, 16 * MiB}},
       shared},
      // One PATH holding both frees them.
      {"one PATH holding both", reflinked(16 * MiB), {""},
       {{2, 2, 16 * MiB, 16 * MiB}, {2, 2, 16 * MiB, 16 * MiB}, {0, 0, 32 * MiB, 16 * MiB}},
       shared},
      // Two runs, two files with shared extents and one without: three maps
      // each, never one per name.
      {"hard links and a reflinked copy", linked, {"s1", "s2", "s3"},
       {{1, 1, 8 * MiB, 0}, {1, 1, 8 * MiB, 0}, {2, 2, 8 * MiB + 4096, 4096},
        {4, 3, 8 * MiB + 4096, 8 * MiB + 4096}, {0, 0, 24 * MiB + 4096, 8 * MiB + 4096}},
       shared, 6},
      // Both names of the linked file together free it, but not the copy's
      // blocks it shares.
      {"both names of the linked file", linked, {"s1", "s2"},
       {{1, 1, 8 * MiB, 0}, {1, 1, 8 * MiB, 0}, {2, 1, 8 * MiB, 0}, {0, 0, 16 * MiB, 8 * MiB}},
       shared},
      // The copy's blocks count as its own: the file that could be read
      // holds its range alone in the run's eyes, which keeps it from being
      // freed.
      {"an unreadable map", unreadable_copy, {"a", "b"},
       {{1, 1, 16 * MiB, 0}, {1, 1, 16 * MiB, 16 * MiB}, {2, 2, 32 * MiB, 16 * MiB},
        {0, 0, 32 * MiB, 32 * MiB}}, shared, all, all, 1},
      // A file without blocks holds no extent: never opened nor mapped,
      // whatever its map would say.
      {"files without blocks", [](const platform::fake_tree& tree) {
         tree.share_extents("");
         shared_file(tree, "a/empty", 0, {range(0, 4096)});
         tree.hard_link("a/empty", "a/again");
         shared_file(tree, "a/sparse", 0, {range(0, 4096)});
       },
       {"a"}, {{3, 2, 0, 0}, {3, 2, 0, 0}, {0, 0, 0, 0}}, shared, 0},
      // The figures of the allocated snapshots by -A.
      {"a volume that shares nothing", sharing_nothing, {"mon", "tue"},
       {{5, 5, 140364, 5196}, {5, 5, 145560, 10392}, {10, 6, 150756, 150756},
        {0, 0, 285924, 150756}}, shared, 0, 2},
  });
}

// What a volume says of extents: it shares them or not, keeps data in its
// metadata (btrfs) or not, its block, and the file system it belongs to.
platform::volume_extents volume(bool shares, bool data_in_metadata, std::uint64_t file_system = 0) {
  platform::volume_extents told;
  told.shares = shares;
  told.data_in_metadata = data_in_metadata;
  told.block_size = 4096;
  if (file_system != 0) {
    told.addresses.low = file_system;
    told.addresses.by_device = false;
  }
  return told;
}

// An extent as the map gives it: kept inline; compressed, `on_disk`
// at least, shared or not.
platform::mapped_extent inline_extent(std::uint64_t length) {
  platform::mapped_extent extent;
  extent.length = extent.on_disk = length;
  extent.inline_data = true;
  return extent;
}
platform::mapped_extent compressed(std::uint64_t physical, std::uint64_t length,
                                   std::uint64_t on_disk, bool shared) {
  platform::mapped_extent extent = range(physical, length);
  extent.on_disk = on_disk;
  extent.shared = shared;
  extent.encoded = true;
  extent.on_disk_at_least = true;
  return extent;
}

TEST(SharedExtentsByPath, DataKeptInlineCompressedOrOnAnotherFileSystemCountsAsKept) {
  // Inline data takes no blocks of its own, on any volume: one that shares
  // nothing maps only what is allocated less than a block (ext4 with
  // inline_data gives an inline file its length rounded to 512 bytes). A
  // small file that keeps its data in a block of its own counts in full.
  const auto inline_files = [](const platform::fake_tree& tree) {
    tree.set_volume_extents("", volume(false, false));
    shared_file(tree, "a/small", 512, {inline_extent(60)});
    tree.hard_link("a/small", "b/small");
    shared_file(tree, "a/big", 8192, {range(0, 8192)});  // never asked for
    shared_file(tree, "b/tiny", 1024, {inline_extent(700)});
    shared_file(tree, "b/old", 512);
  };
  // btrfs keeps small files and every link in its metadata; elsewhere a
  // link's blocks count as -A counts them.
  const auto links = [](bool btrfs) {
    return [=](const platform::fake_tree& tree) {
      tree.set_volume_extents("", volume(true, btrfs));
      shared_file(tree, "a/f", 8192);
      shared_file(tree, "a/small", 4096, {inline_extent(4096)});
      tree.symlink("a/link", "a/f");
      tree.set_allocated("a/link", 4096);
    };
  };
  // A compressed file and its reflinked copy: one block on disk for the
  // shared extent, and a block for the original's own one.
  const auto compressed_copy = [](const platform::fake_tree& tree) {
    tree.set_volume_extents("", volume(true, true));
    shared_file(tree, "a/c", 256 * 1024,
                {compressed(MiB, 128 * 1024, 4096, true), compressed(2 * MiB, 128 * 1024, 4096, false)});
    shared_file(tree, "b/c", 128 * 1024, {compressed(MiB, 128 * 1024, 4096, true)});
  };
  // Two file systems of a reflinked pair each, at the same addresses:
  // each frees its own pair.
  const auto two_file_systems = [](const platform::fake_tree& tree) {
    for (const char* top : {"v1", "v2"}) {
      tree.mount(top);
      tree.share_extents(top);
      shared_file(tree, std::string(top) + "/f", 16 * MiB, {range(0, 16 * MiB)});
      shared_file(tree, std::string(top) + "/g", 16 * MiB, {range(0, 16 * MiB)});
    }
  };
  // Two subvolumes of one btrfs, each a device of its own: one file system
  // by its id, so that a snapshot's blocks are freed only with both.
  const auto subvolumes = [](const platform::fake_tree& tree) {
    for (const char* top : {"s1", "s2"}) {
      tree.subvolume(top);
      tree.set_volume_extents(top, volume(true, true, 7));
      shared_file(tree, std::string(top) + "/f", 16 * MiB, {range(0, 16 * MiB)});
    }
  };
  const auto shared = measured::shared;
  run_cases({
      {"inline data", inline_files, {"a", "b"},
       {{2, 2, 8192, 8192}, {3, 3, 512, 512}, {5, 4, 8704, 8704}, {0, 0, 10752, 8704}},
       shared, 6, 2},
      {"links and small files on btrfs", links(true), {"a"},
       {{3, 3, 8192, 8192}, {3, 3, 8192, 8192}, {0, 0, 16384, 8192}}, shared, 4},
      {"links elsewhere", links(false), {"a"},
       {{3, 3, 12288, 12288}, {3, 3, 12288, 12288}, {0, 0, 16384, 12288}}, shared, 4},
      {"a compressed copy", compressed_copy, {"a", "b"},
       {{1, 1, 8192, 4096}, {1, 1, 4096, 0}, {2, 2, 8192, 8192}, {0, 0, 384 * 1024, 8192}},
       shared, 4},
      {"two file systems at the same addresses", two_file_systems, {"v1", "v2"},
       {{2, 2, 16 * MiB, 16 * MiB}, {2, 2, 16 * MiB, 16 * MiB}, {4, 4, 32 * MiB, 32 * MiB},
        {0, 0, 64 * MiB, 32 * MiB}}, shared, 8, 4},
      {"two subvolumes of one file system", subvolumes, {"s1", "s2"},
       {{1, 1, 16 * MiB, 0}, {1, 1, 16 * MiB, 0}, {2, 2, 16 * MiB, 16 * MiB},
        {0, 0, 32 * MiB, 16 * MiB}}, shared, 4, 4},
  });
}

// What -E leaves out is known to the run: btrfs metadata wherever a btrfs
// was met, compressed lengths where one counted at its least.
TEST(SharedExtentsByPath, TheRunKnowsWhatItDidNotCount) {
  struct not_counted_case {
    const char* name;
    platform::volume_extents told;
    std::vector<platform::mapped_extent> extents;
    bool metadata, compressed_length;
  };
  platform::mapped_extent known_length = compressed(MiB, 128 * 1024, 8192, false);
  known_length.on_disk_at_least = false;
  const std::vector<not_counted_case> cases = {
      {"btrfs", volume(true, true), {range(0, 4096)}, true, false},
      {"btrfs, compressed at least", volume(true, true), {compressed(MiB, 128 * 1024, 4096, false)},
       true, true},
      {"btrfs, compressed length known", volume(true, true), {known_length}, true, false},
      {"xfs", volume(true, false), {range(0, 4096)}, false, false},
      {"a volume that shares nothing", volume(false, false), {}, false, false},
  };
  for (const not_counted_case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::fake_tree tree;
    tree.set_volume_extents("", c.told);
    shared_file(tree, "a/f", 256 * 1024, c.extents);
    captured_scan run;
    run.scan.space.enabled = true;
    run.scan.measure_sizes(size_measure::allocated);
    run.scan.count_shared_extents();
    run.scan.scan_paths({tree.path("a")});
    EXPECT_EQ(run.scan.metadata_not_counted(), c.metadata);
    EXPECT_EQ(run.scan.compressed_counted_at_least(), c.compressed_length);
  }
}

TEST(SharedExtentsByPath, UnreadableMapIsReported) {
  platform::fake_tree tree;
  unreadable_copy(tree);
  captured_scan run(true);
  run.scan.measure_sizes(size_measure::allocated);
  run.scan.count_shared_extents();
  run.scan.scan_paths({tree.path("b")});
  const native_string line = platform::native_from_ascii("Error reading extents of \"") +
                             tree.path("b/g") + platform::native_from_ascii("\": 0x0000000d\n");
  EXPECT_NE(run.out.str().find(line), native_string::npos);
}

}  // namespace

}  // namespace scan
