// The space by path on the in-memory file system: each PATH's figures, the run's, and
// every way a name can be met twice.
#include <gtest/gtest.h>

#include <limits>

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

// The rows of a space-by-path scan of `paths`, then the run's row; with
// every file in the identity map or, as a run without a -C 1 listing keeps
// them, only the files of several links.
// Sizes measured by allocation add a last row: the summary's naive and
// unique totals, in the places of the two sizes.
// Under -E (`shared`, sizes allocated), extents that several files share
// count once; `errors` gets the run's scan errors.
std::vector<figures> space_rows_of(const std::vector<native_string>& paths, bool keep_all,
                                   size_measure measure, bool shared, std::int64_t* errors) {
  captured_scan run;
  run.scan.space.enabled = true;
  run.scan.keep_all_names = keep_all;
  run.scan.measure_sizes(measure);
  if (shared) run.scan.count_shared_extents();
  run.scan.scan_paths(paths);
  std::vector<figures> rows;
  for (const _scandata_path_space& p : run.scan.space.paths)
    rows.push_back({p.files, p.unique_files, p.unique_size, p.freed});
  rows.push_back({run.scan.files_total, static_cast<std::int64_t>(run.scan.unique_files),
                  run.scan.space.unique_size, run.scan.space.freed});
  if (measure == size_measure::allocated)
    rows.push_back({0, 0, run.scan.naive_size, run.scan.unique_size});
  if (errors) *errors = run.scan.scan_errors;
  return rows;
}

// The rows, which must not depend on what the identity map keeps.
std::vector<figures> space_rows(const std::vector<native_string>& paths,
                                size_measure measure = size_measure::apparent,
                                bool shared = false, std::int64_t* errors = nullptr) {
  const std::vector<figures> rows = space_rows_of(paths, false, measure, shared, errors);
  EXPECT_EQ(space_rows_of(paths, true, measure, shared, nullptr), rows);
  return rows;
}

std::vector<figures> shared_rows(const std::vector<native_string>& paths,
                                 std::int64_t* errors = nullptr) {
  return space_rows(paths, size_measure::allocated, true, errors);
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

TEST(SpaceByPath, SnapshotsFreeOnlyWhatIsTheirsAlone) {
  platform::fake_tree tree;
  make_snapshots(tree);
  EXPECT_EQ(space_rows({tree.path("mon"), tree.path("tue")}),
            (std::vector<figures>{{5, 5, 120047, 10}, {5, 5, 120055, 18}, {10, 6, 120065, 120065}}));
  // Alone, the second snapshot shares four files with names outside it.
  EXPECT_EQ(space_rows({tree.path("tue")}),
            (std::vector<figures>{{5, 5, 120055, 18}, {5, 5, 120055, 18}}));
}

// The snapshots' space on disk: each file takes 4096 bytes, the photo
// 122880 and the second report 8192; the directories take 100, 200, 1000
// and 2000, so that each sum tells which directories it holds.
void allocate_snapshots(const platform::fake_tree& tree) {
  for (const char* name : {"mon/notes.txt", "mon/docs/report.txt", "mon/docs/run.sh", "mon/latest"})
    tree.set_allocated(name, 4096);
  tree.set_allocated("mon/photo.jpg", 122880);
  tree.set_allocated("tue/docs/report.txt", 8192);
  tree.set_allocated("mon", 100);
  tree.set_allocated("tue", 200);
  tree.set_allocated("mon/docs", 1000);
  tree.set_allocated("tue/docs", 2000);
  tree.set_allocated("", 50000);  // above the PATHs: never counted
}

TEST(SpaceByPath, AllocatedSpaceHoldsEveryDirectoryAndFreesItWithItsPath) {
  platform::fake_tree tree;
  make_snapshots(tree);
  allocate_snapshots(tree);
  // mon: 139264 of files and its two directories, of which it frees its
  // own report and both directories; tue likewise with 143360.
  EXPECT_EQ(space_rows({tree.path("mon"), tree.path("tue")}, size_measure::allocated),
            (std::vector<figures>{{5, 5, 140364, 5196},
                                  {5, 5, 145560, 10392},
                                  {10, 6, 150756, 150756},
                                  {0, 0, 285924, 150756}}));
  EXPECT_EQ(space_rows({tree.path("tue")}, size_measure::allocated),
            (std::vector<figures>{{5, 5, 145560, 10392},
                                  {5, 5, 145560, 10392},
                                  {0, 0, 145560, 145560}}));
  // Measured by length, directories still count for nothing.
  EXPECT_EQ(space_rows({tree.path("mon"), tree.path("tue")}),
            (std::vector<figures>{{5, 5, 120047, 10}, {5, 5, 120055, 18}, {10, 6, 120065, 120065}}));
}

TEST(SpaceByPath, AllocatedSpaceOfADirectoryMetByTwoWalksCountsOnceForTheRun) {
  platform::fake_tree tree;
  tree.file("a/b/c/f", 1);
  tree.set_allocated("a", 10);
  tree.set_allocated("a/b", 100);
  tree.set_allocated("a/b/c", 1000);
  tree.set_allocated("a/b/c/f", 5);
  const figures a{1, 1, 1115, 1115};
  const figures b{1, 1, 1105, 1105};
  // b is the PATH of one walk and an entry of the other, in either order;
  // a given twice is one PATH's directory twice.
  EXPECT_EQ(space_rows({tree.path("a/b"), tree.path("a")}, size_measure::allocated),
            (std::vector<figures>{b, a, {2, 1, 1115, 1115}, {0, 0, 2220, 1115}}));
  EXPECT_EQ(space_rows({tree.path("a"), tree.path("a/b")}, size_measure::allocated),
            (std::vector<figures>{a, b, {2, 1, 1115, 1115}, {0, 0, 2220, 1115}}));
  EXPECT_EQ(space_rows({tree.path("a"), tree.path("a")}, size_measure::allocated),
            (std::vector<figures>{a, a, {2, 1, 1115, 1115}, {0, 0, 2230, 1115}}));
}

TEST(SpaceByPath, AllocatedSpaceOfALinkToADirectoryWithTwoNamesIsFreedWithBoth) {
  platform::fake_tree tree;
  tree.directory("p/d");
  tree.directory("q");
  tree.symlink("p/to-d", "p/d");
  tree.hard_link("p/to-d", "q/to-d");
  tree.set_allocated("p", 100);
  tree.set_allocated("p/d", 1000);
  tree.set_allocated("q", 200);
  tree.set_allocated("p/to-d", 7);
  // A link of two names is a file at both, wherever it leads: it counts
  // once, and is freed by neither PATH alone.
  EXPECT_EQ(space_rows({tree.path("p"), tree.path("q")}, size_measure::allocated),
            (std::vector<figures>{{1, 1, 1107, 1100},
                                  {1, 1, 207, 200},
                                  {2, 1, 1307, 1307},
                                  {0, 0, 1314, 1307}}));
}

// cp -al of a symbolic link with a relative target: the copy leads nowhere
// where the original leads to a directory (with 100
// bytes of target taking a block of 4096). One file whichever name comes
// first: counted once, freed with both PATHs, nothing held outside them.
TEST(SpaceByPath, ALinkOfTwoNamesLeadingToADirectoryFromOneOnlyIsOneFile) {
  platform::fake_tree tree;
  const std::string target(100, 'd');
  tree.directory("a/" + target);
  tree.directory("b");
  tree.relative_symlink("a/link", target);
  tree.hard_link("a/link", "b/link");
  for (const std::string& name : {std::string("a"), "a/" + target, std::string("b")})
    tree.set_allocated(name, 4096);
  tree.set_allocated("a/link", 4096);
  const figures a{1, 1, 12288, 8192};
  const figures b{1, 1, 8192, 4096};
  // du -s -c -B1 -x a b: 12288, 4096, 16384 in all.
  EXPECT_EQ(space_rows({tree.path("a"), tree.path("b")}, size_measure::allocated),
            (std::vector<figures>{a, b, {2, 1, 16384, 16384}, {0, 0, 20480, 16384}}));
  EXPECT_EQ(space_rows({tree.path("b"), tree.path("a")}, size_measure::allocated),
            (std::vector<figures>{b, a, {2, 1, 16384, 16384}, {0, 0, 20480, 16384}}));
  // By length: the link's 100 bytes, once.
  EXPECT_EQ(space_rows({tree.path("a"), tree.path("b")}),
            (std::vector<figures>{{1, 1, 100, 0}, {1, 1, 100, 0}, {2, 1, 100, 100}}));
}

TEST(SpaceByPath, AllocatedSpaceOfDirectoriesSaturatesToo) {
  const std::int64_t max = std::numeric_limits<std::int64_t>::max();
  const std::int64_t huge = std::int64_t{1} << 62;
  platform::fake_tree tree;
  for (const char* name : {"a", "a/b", "a/c"}) {
    tree.directory(name);
    tree.set_allocated(name, huge);
  }
  EXPECT_EQ(space_rows({tree.path("a"), tree.path("a")}, size_measure::allocated),
            (std::vector<figures>{{0, 0, max, max}, {0, 0, max, max}, {0, 0, max, max},
                                  {0, 0, max, max}}));
}

TEST(SpaceByPath, ANameMetAgainCountsOnceForTheRun) {
  platform::fake_tree tree;
  tree.file("a/x", 10);
  tree.file("a/b/y", 20);
  tree.file("a/b/h", 5);
  tree.hard_link("a/b/h", "outside/h");  // keeps h whatever is deleted
  native_string a_again = tree.path("a");
  a_again += platform::path_separator;  // the same tree, spelled otherwise
  // Given twice, and inside another: each row is its walk's own, and the
  // run's row counts every name once, so h never looks freed.
  const figures a{3, 3, 35, 30};
  const figures b{2, 2, 25, 20};
  EXPECT_EQ(space_rows({tree.path("a"), tree.path("a")}),
            (std::vector<figures>{a, a, {6, 3, 35, 30}}));
  EXPECT_EQ(space_rows({tree.path("a/b"), tree.path("a"), a_again}),
            (std::vector<figures>{b, a, a, {8, 3, 35, 30}}));
  EXPECT_EQ(space_rows({tree.path("a"), tree.path("a/b")}), (std::vector<figures>{a, b, {5, 3, 35, 30}}));
  EXPECT_EQ(space_rows({tree.path("a")}), (std::vector<figures>{a, a}));
}

TEST(SpaceByPath, HardLinksAcrossPathsAreFreedOnlyTogether) {
  platform::fake_tree tree;
  tree.file("p/shared", 100);
  tree.hard_link("p/shared", "q/shared");
  tree.hard_link("p/shared", "q/sub/shared-again");
  tree.file("q/own", 1);
  EXPECT_EQ(space_rows({tree.path("p"), tree.path("q")}),
            (std::vector<figures>{{1, 1, 100, 0}, {3, 2, 101, 1}, {4, 2, 101, 101}}));
  // The name in p alone is not all of them.
  EXPECT_EQ(space_rows({tree.path("q")}),
            (std::vector<figures>{{3, 2, 101, 1}, {3, 2, 101, 1}}));
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

// A file and its reflinked copy, in two PATHs: the blocks count once, and
// go back only with both copies. With half of it rewritten, the copy's new
// blocks are its own, the rest still shared; the original's second half is
// flagged shared no more (as xfs maps it), so it is the original's own.
// The volume shares extents; directories take nothing here.
TEST(SharedExtentsByPath, ReflinkedCopyCountsOnceAndIsFreedWithBoth) {
  for (const std::int64_t still_shared : {16 * MiB, 8 * MiB}) {
    SCOPED_TRACE(still_shared);
    platform::fake_tree tree;
    tree.share_extents("");
    shared_file(tree, "a/f", 16 * MiB, {range(100 * MiB, still_shared)});
    shared_file(tree, "b/g", 16 * MiB, {range(100 * MiB, still_shared)});
    const std::int64_t own = 16 * MiB - still_shared, freed = 16 * MiB + own;
    EXPECT_EQ(shared_rows({tree.path("a"), tree.path("b")}),
              (std::vector<figures>{{1, 1, 16 * MiB, own}, {1, 1, 16 * MiB, own},
                                    {2, 2, freed, freed}, {0, 0, 32 * MiB, freed}}));
  }
  platform::fake_tree tree;
  tree.share_extents("");
  shared_file(tree, "a/f", 16 * MiB, {range(100 * MiB, 16 * MiB)});
  shared_file(tree, "b/g", 16 * MiB, {range(100 * MiB, 16 * MiB)});
  // The copy alone: its blocks are held by the file outside the PATHs.
  EXPECT_EQ(shared_rows({tree.path("b")}),
            (std::vector<figures>{{1, 1, 16 * MiB, 0}, {1, 1, 16 * MiB, 0},
                                  {0, 0, 16 * MiB, 16 * MiB}}));
  // One PATH holding both frees them.
  EXPECT_EQ(shared_rows({tree.path("")})[0], (figures{2, 2, 16 * MiB, 16 * MiB}));
}

// Hard links and reflinks in one tree: a file with two names in two
// snapshots, and a reflinked copy in a third. Each file counts once, its
// map read once; its blocks go with all three snapshots.
TEST(SharedExtentsByPath, HardLinksAndReflinksCountEachOnce) {
  platform::fake_tree tree;
  tree.share_extents("");
  shared_file(tree, "s1/f", 8 * MiB, {range(0, 8 * MiB)});
  tree.hard_link("s1/f", "s2/f");
  shared_file(tree, "s3/f", 8 * MiB, {range(0, 8 * MiB)});
  tree.file("s3/own", 4096);
  tree.set_allocated("s3/own", 4096);
  const int reads_before = tree.calls().extent_maps_read;
  EXPECT_EQ(shared_rows({tree.path("s1"), tree.path("s2"), tree.path("s3")}),
            (std::vector<figures>{{1, 1, 8 * MiB, 0},
                                  {1, 1, 8 * MiB, 0},
                                  {2, 2, 8 * MiB + 4096, 4096},
                                  {4, 3, 8 * MiB + 4096, 8 * MiB + 4096},
                                  {0, 0, 24 * MiB + 4096, 8 * MiB + 4096}}));
  // Two runs, two files with shared extents and one without: three maps
  // each, never one per name.
  EXPECT_EQ(tree.calls().extent_maps_read - reads_before, 6);
  // Both names of the linked file together free it, but not the copy's
  // blocks it shares.
  EXPECT_EQ(shared_rows({tree.path("s1"), tree.path("s2")})[2], (figures{2, 1, 8 * MiB, 0}));
}

// A file whose map cannot be read counts as -A counts it, as a scan error.
TEST(SharedExtentsByPath, UnreadableMapCountsAsAllocatedAndIsAnError) {
  platform::fake_tree tree;
  tree.share_extents("");
  shared_file(tree, "a/f", 16 * MiB, {range(0, 16 * MiB)});
  shared_file(tree, "b/g", 16 * MiB, {range(0, 16 * MiB)});
  tree.fail(platform::fake_operation::extents, "b/g", platform::fake_access_denied);
  std::int64_t errors = 0;
  // The copy's blocks count as its own: the file that could be read holds
  // its range alone in the run's eyes, which keeps it from being freed.
  EXPECT_EQ(shared_rows({tree.path("a"), tree.path("b")}, &errors),
            (std::vector<figures>{{1, 1, 16 * MiB, 0},
                                  {1, 1, 16 * MiB, 16 * MiB},
                                  {2, 2, 32 * MiB, 16 * MiB},
                                  {0, 0, 32 * MiB, 32 * MiB}}));
  EXPECT_EQ(errors, 1);
  captured_scan run(true);
  run.scan.measure_sizes(size_measure::allocated);
  run.scan.count_shared_extents();
  run.scan.scan_paths({tree.path("b")});
  const native_string line = platform::native_from_ascii("Error reading extents of \"") +
                             tree.path("b/g") + platform::native_from_ascii("\": 0x0000000d\n");
  EXPECT_NE(run.out.str().find(line), native_string::npos);
}

// On a volume that shares nothing, -E is -A: the same figures, and no map
// read; each volume is asked once a run.
TEST(SharedExtentsByPath, VolumeThatSharesNothingCountsAsAllocated) {
  platform::fake_tree tree;
  make_snapshots(tree);
  allocate_snapshots(tree);
  tree.set_shared_extents("mon/photo.jpg", {range(0, 4096)});  // never asked for
  const std::vector<native_string> paths = {tree.path("mon"), tree.path("tue")};
  const platform::fake_calls before = tree.calls();
  std::vector<figures> rows = shared_rows(paths);
  EXPECT_EQ(tree.calls().extent_maps_read, before.extent_maps_read);
  EXPECT_EQ(tree.calls().volumes_asked - before.volumes_asked, 2);
  EXPECT_EQ(rows, space_rows(paths, size_measure::allocated));
}

}  // namespace

}  // namespace scan
