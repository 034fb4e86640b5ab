// The space by path on the in-memory file system: each PATH's figures, the run's, and
// every way a name can be met twice.
#include <gtest/gtest.h>

#include <limits>

#include "platform/filesystem-fake.h"
#include "scan/scan_test_util.h"
#include "scan/scandata.h"

namespace scan {

namespace {

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
std::vector<figures> space_rows_of(const std::vector<native_string>& paths, bool keep_all) {
  captured_scan run;
  run.scan.space.enabled = true;
  run.scan.keep_all_names = keep_all;
  run.scan.scan_paths(paths);
  std::vector<figures> rows;
  for (const _scandata_path_space& p : run.scan.space.paths)
    rows.push_back({p.files, p.unique_files, p.unique_size, p.freed});
  rows.push_back({run.scan.files_total, static_cast<std::int64_t>(run.scan.unique_files),
                  run.scan.space.unique_size, run.scan.space.freed});
  return rows;
}

// The rows, which must not depend on what the identity map keeps.
std::vector<figures> space_rows(const std::vector<native_string>& paths) {
  const std::vector<figures> rows = space_rows_of(paths, false);
  EXPECT_EQ(space_rows_of(paths, true), rows);
  return rows;
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

}  // namespace

}  // namespace scan
