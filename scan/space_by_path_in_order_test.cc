// The space by path in order on the in-memory file system: what each PATH
// adds to those before it and what deleting it with them would free, held
// against runs of the space by path on the first PATHs alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <random>
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

// One row of the series: files and size added, files and size freed with
// those before.
struct series_row {
  std::int64_t added_files, added_size, freed_files, freed;
  bool operator==(const series_row& o) const {
    return added_files == o.added_files && added_size == o.added_size &&
           freed_files == o.freed_files && freed == o.freed;
  }
};

std::ostream& operator<<(std::ostream& out, const series_row& r) {
  return out << r.added_files << " " << r.added_size << " " << r.freed_files << " " << r.freed;
}

// What one run tells: its series, one row per PATH and then the run's, and
// the run's own figures as -S shows them.
struct series_run {
  std::vector<series_row> rows;
  std::int64_t unique_files = 0, unique_size = 0, freed_files = 0, freed = 0;
};

// A run of the space by path over `paths`.
series_run run_series(const std::vector<native_string>& paths, measured measure) {
  series_run got;
  got.rows = space_scan_either_way(paths, measure, [](const _scandata& scan) {
    std::vector<series_row> rows;
    for (const _scandata_path_space& p : scan.space.paths)
      rows.push_back(
          {p.added_files, p.added_size, p.freed_with_those_before_files, p.freed_with_those_before});
    rows.push_back({static_cast<std::int64_t>(scan.unique_files), scan.space.unique_size,
                    scan.space.freed_files, scan.space.freed});
    return rows;
  });
  const series_row& run = got.rows.back();
  got.unique_files = run.added_files;
  got.unique_size = run.added_size;
  got.freed_files = run.freed_files;
  got.freed = run.freed;
  return got;
}

// The series must be what runs on the first PATHs alone say: row k frees
// what deleting PATHs 1..k frees by -S, and adds the difference of the
// unique sizes of the runs on PATHs 1..k and 1..k-1. The last row is the
// run's.
void expect_runs_on_the_first_paths_agree(const std::vector<native_string>& paths,
                                          measured measure, const series_run& whole) {
  ASSERT_EQ(whole.rows.size(), paths.size() + 1);
  series_run before;
  for (std::size_t k = 1; k <= paths.size(); ++k) {
    SCOPED_TRACE("the first " + std::to_string(k) + " PATHs");
    const series_run first_k =
        run_series(std::vector<native_string>(paths.begin(), paths.begin() + k), measure);
    const series_row& row = whole.rows[k - 1];
    EXPECT_EQ(row.freed, first_k.freed);
    EXPECT_EQ(row.freed_files, first_k.freed_files);
    EXPECT_EQ(row.added_size, first_k.unique_size - before.unique_size);
    EXPECT_EQ(row.added_files, first_k.unique_files - before.unique_files);
    // Their rows are the same, however many PATHs come after them.
    EXPECT_EQ(std::vector<series_row>(first_k.rows.begin(), first_k.rows.end() - 1),
              std::vector<series_row>(whole.rows.begin(), whole.rows.begin() + k));
    before = first_k;
  }
  EXPECT_EQ(whole.rows[paths.size() - 1].freed, whole.freed);
  EXPECT_EQ(whole.rows[paths.size() - 1].freed_files, whole.freed_files);
}

struct series_case {
  const char* name;
  std::function<void(const platform::fake_tree&)> make;
  std::vector<std::string> paths;
  std::vector<series_row> expected;
  measured measure = measured::by_length;
  // Whether the runs on the first PATHs must agree (see below for -E).
  bool first_paths_agree = true;
};

void run_cases(const std::vector<series_case>& cases) {
  for (const series_case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::fake_tree tree;
    c.make(tree);
    std::vector<native_string> paths;
    for (const std::string& path : c.paths) paths.push_back(tree.path(path));
    const series_run whole = run_series(paths, c.measure);
    EXPECT_EQ(whole.rows, c.expected);
    if (c.first_paths_agree) expect_runs_on_the_first_paths_agree(paths, c.measure, whole);
  }
}

// Three snapshots s1, s2, s3. Each size says which file it is: a in s1
// and s2, b in s2 and s3, c in s1 and s3, d in all three, and one of each
// snapshot's own.
void snapshots(const platform::fake_tree& tree) {
  tree.file("s1/a", 1);
  tree.hard_link("s1/a", "s2/a");
  tree.file("s2/b", 10);
  tree.hard_link("s2/b", "s3/b");
  tree.file("s1/c", 100);
  tree.hard_link("s1/c", "s3/c");
  tree.file("s1/d", 1000);
  tree.hard_link("s1/d", "s2/d");
  tree.hard_link("s1/d", "s3/d");
  tree.file("s1/own", 10000);
  tree.file("s2/own", 20000);
  tree.file("s3/own", 40000);
}

TEST(SpaceByPathInOrder, EachPathAddsWhatIsNewAndFreesWhatItsSeriesHoldsWhole) {
  // s1 adds a, c, d and its own; s2 b and its own; s3 its own. Deleting s1
  // frees its own; with s2, a and s2's own; with s3, everything.
  const std::vector<series_row> in_order = {
      {4, 11101, 1, 10000}, {2, 20010, 3, 30001}, {1, 40000, 7, 71111}, {7, 71111, 7, 71111}};
  const auto outside = [](const platform::fake_tree& tree) {
    snapshots(tree);
    tree.hard_link("s1/d", "live/d");  // d is kept whatever goes
    tree.hard_link("s2/b", "live/b");
  };
  const auto nested = [](const platform::fake_tree& tree) {
    tree.file("a/x", 1);
    tree.file("a/b/y", 10);
    tree.hard_link("a/x", "a/b/x");
    tree.file("a/b/z", 100);
    tree.hard_link("a/b/z", "c/z");
  };
  const auto unreadable = [](const platform::fake_tree& tree) {
    snapshots(tree);
    tree.file("s2/locked/e", 5);
    tree.hard_link("s2/locked/e", "s1/e");
    tree.fail(platform::fake_operation::list, "s2/locked", platform::fake_access_denied);
  };
  run_cases({
      {"three snapshots", snapshots, {"s1", "s2", "s3"}, in_order},
      // The newest first: s3 adds b, c, d and its own; s2 a and its own.
      {"the newest first", snapshots, {"s3", "s2", "s1"},
       {{4, 41110, 1, 40000}, {2, 20001, 3, 60010}, {1, 10000, 7, 71111}, {7, 71111, 7, 71111}}},
      // Shared by neighbours only: a frees with s2, b with s3.
      {"neighbours", snapshots, {"s1", "s2"},
       {{4, 11101, 1, 10000}, {2, 20010, 3, 30001}, {6, 31111, 3, 30001}}},
      // Shared by the first and last only: c stays held until s3 goes.
      {"the first and the last", snapshots, {"s1", "s3"},
       {{4, 11101, 1, 10000}, {2, 40010, 3, 50100}, {6, 51111, 3, 50100}}},
      // Names outside every PATH keep their files in every row.
      {"names outside every PATH", outside, {"s1", "s2", "s3"},
       {{4, 11101, 1, 10000}, {2, 20010, 3, 30001}, {1, 40000, 5, 70101}, {7, 71111, 5, 70101}}},
      // A PATH given again adds nothing and frees nothing more.
      {"a PATH given twice", snapshots, {"s1", "s2", "s1", "s3"},
       {{4, 11101, 1, 10000}, {2, 20010, 3, 30001}, {0, 0, 3, 30001}, {1, 40000, 7, 71111},
        {7, 71111, 7, 71111}}},
      // A PATH inside an earlier one adds nothing; one holding an earlier
      // one adds the rest of it.
      {"a PATH inside another, after it", nested, {"a", "a/b"},
       {{3, 111, 2, 11}, {0, 0, 2, 11}, {3, 111, 2, 11}}},
      {"a PATH inside another, before it", nested, {"a/b", "a"},
       {{3, 111, 1, 10}, {0, 0, 2, 11}, {3, 111, 2, 11}}},
      {"a PATH inside another, then the last name", nested, {"a/b", "a", "c"},
       {{3, 111, 1, 10}, {0, 0, 2, 11}, {0, 0, 3, 111}, {3, 111, 3, 111}}},
      // The name of e in the directory that cannot be listed is never met:
      // e is added by s1 and freed by no row, as -S frees it nowhere.
      {"an unreadable directory", unreadable, {"s1", "s2", "s3"},
       {{5, 11106, 1, 10000}, {2, 20010, 3, 30001}, {1, 40000, 7, 71111}, {8, 71116, 7, 71111}}},
  });
}

TEST(SpaceByPathInOrder, DirectoriesCountOnceInTheFirstRowThatMeetsThem) {
  // By allocation: each file's blocks as its size, and the directories
  // 100 (s1), 200 (s2), 300 (s3), 1000 (s2/sub), each freed with the PATH
  // whose walk counts it first.
  const auto allocated = [](const platform::fake_tree& tree) {
    snapshots(tree);
    tree.file("s2/sub/f", 7);
    for (const char* name : {"s1/a", "s2/b", "s1/c", "s1/d", "s1/own", "s2/own", "s3/own"})
      tree.set_allocated(name, 4096);
    set_allocated(tree, {{"s2/sub/f", 8192}, {"s1", 100}, {"s2", 200}, {"s3", 300},
                         {"s2/sub", 1000}, {"", 50000}});
  };
  run_cases({
      {"snapshots", allocated, {"s1", "s2", "s3"},
       {{4, 4 * 4096 + 100, 1, 4096 + 100}, {3, 2 * 4096 + 8192 + 1200, 4, 3 * 4096 + 8192 + 1300},
        {1, 4096 + 300, 8, 7 * 4096 + 8192 + 1600}, {8, 7 * 4096 + 8192 + 1600, 8, 7 * 4096 + 8192 + 1600}},
       measured::allocated},
      // s2 is met again as an entry of the tree: its directories count
      // with s2's row, the tree's own with its row, each once.
      {"a PATH inside the next", allocated, {"s2", ""},
       {{5, 4 * 4096 + 8192 + 1200, 2, 4096 + 8192 + 1200},
        {3, 3 * 4096 + 50400, 8, 7 * 4096 + 8192 + 51600},
        {8, 7 * 4096 + 8192 + 51600, 8, 7 * 4096 + 8192 + 51600}},
       measured::allocated},
      {"a PATH given twice", allocated, {"s3", "s3"},
       {{4, 4 * 4096 + 300, 1, 4096 + 300}, {0, 0, 1, 4096 + 300}, {4, 4 * 4096 + 300, 1, 4096 + 300}},
       measured::allocated},
  });
}

TEST(SpaceByPathInOrder, SharedPiecesAreAddedByTheFirstHolderAndFreedWithTheLast) {
  // f in a and its reflinked copy g in c, with b between them holding
  // neither: the 16 MiB come with a and go with c.
  const auto copy_two_apart = [](const platform::fake_tree& tree) {
    tree.share_extents("");
    shared_file(tree, "a/f", 16 * MiB, {range(100 * MiB, 16 * MiB)});
    shared_file(tree, "b/own", 4096);
    shared_file(tree, "c/g", 16 * MiB, {range(100 * MiB, 16 * MiB)});
  };
  // Half of the copy rewritten: its new half is its own, and the
  // original's second half (flagged shared no more) the original's.
  const auto half_rewritten = [](const platform::fake_tree& tree) {
    tree.share_extents("");
    shared_file(tree, "a/f", 16 * MiB, {range(100 * MiB, 8 * MiB)});
    shared_file(tree, "b/g", 16 * MiB, {range(100 * MiB, 8 * MiB)});
  };
  // Two copies in a and a third in c: a alone holds two of the piece's
  // three holders. A run of a alone, which never meets the third, frees
  // it; the series, which knows c holds it too, frees it with c.
  const auto third_copy_later = [](const platform::fake_tree& tree) {
    tree.share_extents("");
    shared_file(tree, "a/f", MiB, {range(0, MiB)});
    shared_file(tree, "a/g", MiB, {range(0, MiB)});
    tree.directory("b");
    shared_file(tree, "c/h", MiB, {range(0, MiB)});
  };
  // A holder with a name outside every PATH keeps the piece in every row;
  // the files freed count those whose own part is freed, as -S's do.
  const auto holder_outside = [=](const platform::fake_tree& tree) {
    copy_two_apart(tree);
    tree.hard_link("c/g", "live/g");
  };
  const std::int64_t own = 4096;
  run_cases({
      {"a copy two PATHs apart", copy_two_apart, {"a", "b", "c"},
       {{1, 16 * MiB, 1, 0}, {1, own, 2, own}, {1, 0, 3, 16 * MiB + own},
        {3, 16 * MiB + own, 3, 16 * MiB + own}},
       measured::shared},
      {"the copy first", copy_two_apart, {"c", "a"},
       {{1, 16 * MiB, 1, 0}, {1, 0, 2, 16 * MiB}, {2, 16 * MiB, 2, 16 * MiB}}, measured::shared},
      {"half of the copy rewritten", half_rewritten, {"a", "b"},
       {{1, 16 * MiB, 1, 8 * MiB}, {1, 8 * MiB, 2, 24 * MiB}, {2, 24 * MiB, 2, 24 * MiB}},
       measured::shared},
      {"a holder outside every PATH", holder_outside, {"a", "b", "c"},
       {{1, 16 * MiB, 1, 0}, {1, own, 2, own}, {1, 0, 2, own}, {3, 16 * MiB + own, 2, own}},
       measured::shared},
      {"a third copy in a later PATH", third_copy_later, {"a", "b", "c"},
       {{2, MiB, 2, 0}, {0, 0, 2, 0}, {1, 0, 3, MiB}, {3, MiB, 3, MiB}}, measured::shared, false},
  });
  // There, the run of a alone frees the piece; the series does not, as
  // deleting a leaves h holding it.
  platform::fake_tree tree;
  third_copy_later(tree);
  EXPECT_EQ(run_series({tree.path("a")}, measured::shared).freed, MiB);
}

// A random tree of up to five snapshots and a folder outside them: files
// of one to four names, each name in a snapshot, a folder inside one, or
// outside; some directories that cannot be listed; sizes and allocations
// that tell the files apart. The PATHs are the snapshots in a random
// order, with a repeat or a folder inside one now and then.
std::vector<std::string> random_tree(const platform::fake_tree& tree, std::mt19937& random) {
  const auto pick = [&](std::uint32_t n) { return static_cast<std::uint32_t>(random() % n); };
  const std::uint32_t snapshots = 2 + pick(4);
  std::vector<std::string> folders;
  for (std::uint32_t s = 0; s < snapshots; ++s) {
    const std::string top = "s" + std::to_string(s);
    folders.push_back(top);
    folders.push_back(top + "/sub");
    folders.push_back(top + "/sub/deep");
  }
  folders.push_back("outside");
  for (const std::string& folder : folders) tree.directory(folder);
  const std::uint32_t files = 5 + pick(30);
  for (std::uint32_t f = 0; f < files; ++f) {
    const std::uint32_t names = 1 + pick(4);
    std::string first;
    for (std::uint32_t n = 0; n < names; ++n) {
      // Outside every PATH one time in eight.
      const std::string& folder =
          pick(8) == 0 ? folders.back() : folders[pick(static_cast<std::uint32_t>(folders.size() - 1))];
      const std::string name = folder + "/f" + std::to_string(f) + "-" + std::to_string(n);
      if (n == 0) {
        tree.file(name, std::int64_t{1} << (f % 40));
        tree.set_allocated(name, 4096 * (1 + pick(16)));
        first = name;
      } else {
        tree.hard_link(first, name);
      }
    }
  }
  for (const std::string& folder : folders)
    if (folder != "outside") tree.set_allocated(folder, 512 * (1 + pick(8)));
  if (pick(3) == 0)
    tree.fail(platform::fake_operation::list, folders[pick(snapshots) * 3 + 2],
              platform::fake_access_denied);
  std::vector<std::string> paths;
  for (std::uint32_t s = 0; s < snapshots; ++s) paths.push_back("s" + std::to_string(s));
  std::shuffle(paths.begin(), paths.end(), random);
  if (pick(3) == 0) {
    const std::string again = paths[pick(snapshots)];
    paths.insert(paths.begin() + pick(snapshots + 1), again);
  }
  if (pick(3) == 0) paths.insert(paths.begin() + pick(snapshots + 1), "s0/sub");
  return paths;
}

TEST(SpaceByPathInOrder, RandomTreesAgreeWithRunsOnTheFirstPaths) {
  for (std::uint32_t tree_number = 0; tree_number < 60; ++tree_number) {
    for (const measured measure : {measured::by_length, measured::allocated}) {
      SCOPED_TRACE("tree " + std::to_string(tree_number) +
                   (measure == measured::allocated ? ", allocated" : ""));
      platform::fake_tree tree;
      std::mt19937 random(0x5e41e5u + tree_number);
      std::vector<native_string> paths;
      for (const std::string& path : random_tree(tree, random)) paths.push_back(tree.path(path));
      expect_runs_on_the_first_paths_agree(paths, measure, run_series(paths, measure));
    }
  }
}

}  // namespace

}  // namespace scan
