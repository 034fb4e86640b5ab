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

// Sizes by length, by allocation, or by allocation under -E: extents that
// several files share count once.
enum class measured { by_length, allocated, shared };

// The rows of a space-by-path scan of `paths`, then the run's row; sizes
// measured by allocation add a last row: the summary's naive and unique
// totals, in the places of the two sizes. They must not depend on what the
// identity map keeps: every file, or, as a run without a -C 1 listing keeps
// them, only the files of several links. `errors` gets the run's scan
// errors.
std::vector<figures> space_rows(const std::vector<native_string>& paths, measured measure,
                                std::int64_t& errors) {
  std::vector<figures> first;
  for (const bool keep_all : {false, true}) {
    captured_scan run;
    run.scan.space.enabled = true;
    run.scan.keep_all_names = keep_all;
    run.scan.measure_sizes(measure == measured::by_length ? size_measure::apparent
                                                          : size_measure::allocated);
    if (measure == measured::shared) run.scan.count_shared_extents();
    run.scan.scan_paths(paths);
    std::vector<figures> rows;
    for (const _scandata_path_space& p : run.scan.space.paths)
      rows.push_back({p.files, p.unique_files, p.unique_size, p.freed});
    rows.push_back({run.scan.files_total, static_cast<std::int64_t>(run.scan.unique_files),
                    run.scan.space.unique_size, run.scan.space.freed});
    if (measure != measured::by_length)
      rows.push_back({0, 0, run.scan.naive_size, run.scan.unique_size});
    if (keep_all) {
      EXPECT_EQ(rows, first) << "with every file kept";
    } else {
      first = rows;
      errors = run.scan.scan_errors;
    }
  }
  return first;
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
      // The figures of the allocated snapshots by -A.
      {"a volume that shares nothing", sharing_nothing, {"mon", "tue"},
       {{5, 5, 140364, 5196}, {5, 5, 145560, 10392}, {10, 6, 150756, 150756},
        {0, 0, 285924, 150756}}, shared, 0, 2},
  });
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
