// The space by directory on the in-memory file system: which directories
// have rows, and the figures of each, wherever a file's names lie.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <tuple>

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

struct row_figures {
  std::string path;  // relative to the tree, with '/'; "" for the tree itself
  std::int32_t depth;
  std::int64_t files, unique_size, freed;
  bool operator==(const row_figures& o) const {
    return std::tie(path, depth, files, unique_size, freed) ==
           std::tie(o.path, o.depth, o.files, o.unique_size, o.freed);
  }
};

std::ostream& operator<<(std::ostream& out, const row_figures& r) {
  return out << "'" << r.path << "' " << r.depth << ": " << r.files << " " << r.unique_size
             << " " << r.freed;
}

using rows = std::vector<row_figures>;

// A path of the tree as the test spells it: ASCII, '/' between names.
std::string relative(const platform::fake_tree& tree, const native_string& path) {
  const native_string top = tree.path();
  std::string text;
  for (std::size_t i = std::min(path.size(), top.size() + 1); i < path.size(); ++i)
    text += path[i] == platform::path_separator ? '/' : static_cast<char>(path[i]);
  return text;
}

// With every file's names kept, with none, or with those of two links only
// (a -C 2 listing): then some files have records and others not.
enum class kept { none, all, pairs };

// The shown rows of a scan of `paths` down to `depth`. They must not depend
// on what the identity map keeps; under -E (`shared`, sizes allocated) nor
// on the space by path beside them, whose figures for each PATH are those
// of the PATH's row.
rows directory_rows(const platform::fake_tree& tree, const std::vector<std::string>& paths,
                    std::int32_t depth, size_measure measure = size_measure::apparent,
                    bool shared = false) {
  std::vector<native_string> native;
  for (const std::string& path : paths) native.push_back(tree.path(path));
  rows first;
  for (const kept names : {kept::none, kept::all, kept::pairs}) {
    for (const bool by_path : {false, true}) {
      if (by_path && !shared) continue;
      SCOPED_TRACE(testing::Message() << "kept " << static_cast<int>(names) << ", by path "
                                      << by_path);
      captured_scan run;
      run.scan.keep_all_names = names == kept::all;
      if (names == kept::pairs) run.scan.listed_link_counts = {2};
      run.scan.space.enabled = by_path;
      run.scan.measure_sizes(shared ? size_measure::allocated : measure);
      if (shared) run.scan.count_shared_extents();
      run.scan.collect_directories(depth);
      run.scan.scan_paths(native);
      rows found;
      std::size_t walk = 0;
      for (const _scandata_directory_row& row : run.scan.directories.rows) {
        const std::string path = relative(tree, native_string(run.scan.directories.path_of(row)));
        if (by_path && row.depth == 0) {
          EXPECT_LT(walk, run.scan.space.paths.size()) << path;
          if (walk >= run.scan.space.paths.size()) break;
          const _scandata_path_space& space = run.scan.space.paths[walk++];
          EXPECT_EQ(row.unique_size(), space.unique_size) << path;
          EXPECT_EQ(row.freed(), space.freed) << path;
        }
        if (row.shown) found.push_back({path, row.depth, row.files, row.unique_size(), row.freed()});
      }
      if (by_path) {
        EXPECT_EQ(walk, run.scan.space.paths.size());
      }
      if (names == kept::none && !by_path) {
        first = found;
      } else {
        EXPECT_EQ(found, first);
      }
    }
  }
  return first;
}

// Two snapshots, the second a hard-linked copy of the first with one
// report replaced, side by side in the tree.
void make_snapshots(const platform::fake_tree& tree) {
  tree.file("mon/notes", 10);
  tree.file("mon/photo", 1000);
  tree.file("mon/docs/report", 20);
  tree.file("mon/docs/run", 30);
  for (const char* name : {"notes", "photo", "docs/run"})
    tree.hard_link(std::string("mon/") + name, std::string("tue/") + name);
  tree.file("tue/docs/report", 40);
}

// A tree, the PATHs and depth of its scan, and the rows it must have.
struct tree_case {
  const char* name;
  std::function<void(const platform::fake_tree&)> make;
  std::vector<std::string> paths;
  std::int32_t depth;
  rows expected;
  size_measure measure = size_measure::apparent;
};

void run_cases(const std::vector<tree_case>& cases, bool shared = false) {
  for (const tree_case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::fake_tree tree;
    if (shared) tree.share_extents("");
    c.make(tree);
    EXPECT_EQ(directory_rows(tree, c.paths, c.depth, c.measure, shared), c.expected);
  }
}

TEST(SpaceByDirectory, SnapshotsUnderEveryChoiceOfPathsAndDepth) {
  const row_figures mon{"mon", 0, 4, 1060, 20}, mon_docs{"mon/docs", 1, 2, 50, 20};
  const row_figures tue{"tue", 0, 4, 1080, 40}, tue_docs{"tue/docs", 1, 2, 70, 40};
  const row_figures root{"", 0, 8, 1100, 1100};
  const row_figures mon_1{"mon", 1, 4, 1060, 20}, tue_1{"tue", 1, 4, 1080, 40};
  const rows whole{root, mon_1, {"mon/docs", 2, 2, 50, 20}, tue_1, {"tue/docs", 2, 2, 70, 40}};
  const auto snapshots = make_snapshots;
  run_cases({
      // Below one PATH, the files shared by the snapshots count in each,
      // and are freed only by the directory that holds both.
      {"one PATH", snapshots, {""}, 2, whole},
      // Each walk counts on its own, so what another PATH holds too is
      // never freed, nor is what lies outside every PATH.
      {"each snapshot a PATH", snapshots, {"mon", "tue"}, 1, {mon, mon_docs, tue, tue_docs}},
      {"one snapshot", snapshots, {"tue"}, 1, {tue, tue_docs}},
      {"the other order", snapshots, {"tue", "mon"}, 1, {tue, tue_docs, mon, mon_docs}},
      {"a PATH given twice", snapshots, {"mon", "mon"}, 1, {mon, mon_docs, mon, mon_docs}},
      {"a PATH inside another", snapshots, {"", "mon"}, 1, {root, mon_1, tue_1, mon, mon_docs}},
      {"a PATH inside another, first", snapshots, {"mon", ""}, 1,
       {mon, mon_docs, root, mon_1, tue_1}},
      {"depth 0: the PATHs alone", snapshots, {"mon", "tue"}, 0, {mon, tue}},
      {"no depth is too deep", snapshots, {""}, 1000000, whole},
      {"the largest depth", snapshots, {""}, std::numeric_limits<std::int32_t>::max(), whole},
  });
}

// The snapshots with `operation` failing on `directory`.
std::function<void(const platform::fake_tree&)> failing(platform::fake_operation operation,
                                                        const char* directory) {
  return [=](const platform::fake_tree& tree) {
    make_snapshots(tree);
    tree.fail(operation, directory, platform::fake_access_denied);
  };
}

TEST(SpaceByDirectory, SmallTreesHaveTheRowsOfTheirNames) {
  const auto links = [](const platform::fake_tree& tree) {
    tree.file("d/x", 7);
    tree.hard_link("d/x", "d/y");
    tree.file("d/sub/p", 5);
    tree.hard_link("d/sub/p", "d/sub/q");
    tree.hard_link("d/sub/p", "d/sub/deep/r");  // folded into sub at depth 1
    tree.file("d/sub/deep/s", 3);
  };
  // A directory listed a second time by one walk (a bind mount the system
  // does not flag) lists its files again, but their names were met already.
  const auto bound = [](const platform::fake_tree& tree) {
    tree.file("a/x", 10);
    tree.hard_link("a/x", "a/y");
    tree.directory("b");
    tree.bind("a", "b/again");
  };
  // The root's figures pass 2^64 on the way; a's and b's are 2^63.
  const std::int64_t max = std::numeric_limits<std::int64_t>::max(), huge = std::int64_t{1} << 62;
  const auto huge_files = [=](const platform::fake_tree& tree) {
    tree.file("a/x", huge);
    tree.hard_link("a/x", "b/x");  // taken back where a and b meet
    tree.file("a/y", huge);
    tree.file("b/y", huge);
    tree.file("c/z", huge);
    tree.file("c/w", huge - 1);
  };
  // Measured by allocation, each directory takes space of its own, freed
  // with its row and every row above; a mount point takes none and is not
  // entered.
  const auto allocated = [](const platform::fake_tree& tree) {
    make_snapshots(tree);
    tree.mount("tue/mnt");
    set_allocated(tree, {{"mon/notes", 4096}, {"mon/photo", 4096}, {"mon/docs/report", 4096},
                         {"mon/docs/run", 4096}, {"tue/docs/report", 8192}, {"", 1},
                         {"mon", 100}, {"tue", 200}, {"mon/docs", 1000}, {"tue/docs", 2000},
                         {"tue/mnt", 1 << 20}});
  };
  const std::int64_t files = 4 * 4096 + 8192;
  const row_figures mon_allocated{"mon", 1, 4, 4 * 4096 + 1100, 4096 + 1100};
  const row_figures tue_allocated{"tue", 1, 4, 3 * 4096 + 8192 + 2200, 8192 + 2200};
  using platform::fake_operation;
  const auto cut_root = [](const platform::fake_tree& tree) {
    failing(fake_operation::list_cut_short, "mon")(tree);
    tree.fail(fake_operation::list_cut_short, "", platform::fake_access_denied);
  };
  run_cases({
      {"links within one directory", links, {"d"}, 1, {{"d", 0, 6, 15, 15}, {"d/sub", 1, 4, 8, 8}}},
      {"links within one directory, deeper", links, {"d"}, 2,
       {{"d", 0, 6, 15, 15}, {"d/sub", 1, 4, 8, 8}, {"d/sub/deep", 2, 2, 8, 3}}},
      {"a directory met twice by one walk", bound, {""}, 2,
       {{"", 0, 4, 10, 10}, {"a", 1, 2, 10, 10}, {"b", 1, 2, 0, 0}, {"b/again", 2, 2, 0, 0}}},
      {"sizes saturate", huge_files, {""}, 1,
       {{"", 0, 6, max, max}, {"a", 1, 2, max, huge}, {"b", 1, 2, max, huge},
        {"c", 1, 2, max, max}}},
      {"allocated", allocated, {""}, 2,
       {{"", 0, 8, files + 3301, files + 3301}, mon_allocated,
        {"mon/docs", 2, 2, 2 * 4096 + 1000, 4096 + 1000}, tue_allocated,
        {"tue/docs", 2, 2, 4096 + 8192 + 2000, 8192 + 2000}},
       size_measure::allocated},
      // Deeper directories count in the nearest row; a PATH's own directory
      // in its own row.
      {"allocated, depth 0", allocated, {"tue", "mon"}, 0,
       {{"tue", 0, 4, tue_allocated.unique_size, tue_allocated.freed},
        {"mon", 0, 4, mon_allocated.unique_size, mon_allocated.freed}},
       size_measure::allocated},
      // A directory that cannot be listed has no row, and what is not found
      // in it counts nowhere; one whose listing was cut short has no row
      // either, but what it read counts in the rows above, and its
      // subdirectories have rows of their own.
      {"not listed, not entered",
       [](const platform::fake_tree& tree) {
         failing(fake_operation::list, "mon/docs")(tree);
         tree.fail(fake_operation::enter, "tue/docs", platform::fake_access_denied);
       },
       {""}, 2, {{"", 0, 4, 1010, 1010}, {"mon", 1, 2, 1010, 0}, {"tue", 1, 2, 1010, 0}}},
      {"cut short", failing(fake_operation::list_cut_short, "mon"), {""}, 2,
       {{"", 0, 8, 1100, 1100}, {"mon/docs", 2, 2, 50, 20}, {"tue", 1, 4, 1080, 40},
        {"tue/docs", 2, 2, 70, 40}}},
      {"cut short, the root too", cut_root, {""}, 1, {{"tue", 1, 4, 1080, 40}}},
      {"a PATH not listed", failing(fake_operation::list, "mon"), {"mon", "tue"}, 1,
       {{"tue", 0, 4, 1080, 40}, {"tue/docs", 1, 2, 70, 40}}},
  });
}

// Under -E: extents that several files share count once in every row
// holding a name of any of their holders, and are freed by the lowest row
// holding every holder whole.

// A file of 4 MiB of its own and 16 shared with its reflinked copy, in
// sibling directories.
void reflinked_pair(const platform::fake_tree& tree) {
  shared_file(tree, "p/a/f", 20 * MiB, {range(100 * MiB, 16 * MiB)});
  shared_file(tree, "p/b/g", 16 * MiB, {range(100 * MiB, 16 * MiB)});
}

TEST(SharedExtentsByDirectory, PiecesCountOnceInEachRowAndAreFreedWhereEveryHolderIs) {
  // A file of 8 MiB shared with one outside the PATH, and one of 4 MiB
  // whose blocks the volume shares with a file the run never meets.
  const auto outside = [](const platform::fake_tree& tree) {
    shared_file(tree, "p/a/f", 8 * MiB, {range(0, 8 * MiB)});
    shared_file(tree, "p/solo", 4 * MiB, {range(50 * MiB, 4 * MiB)});
    shared_file(tree, "out/h", 8 * MiB, {range(0, 8 * MiB)});
  };
  // A file of 4 MiB of its own and 8 shared, with a name in each of two
  // directories, and its reflinked copy beside a file of its own in a
  // third.
  const auto linked = [](const platform::fake_tree& tree) {
    shared_file(tree, "p/a/s1/f", 12 * MiB, {range(0, 8 * MiB)});
    tree.hard_link("p/a/s1/f", "p/a/s2/f");
    shared_file(tree, "p/b/f", 8 * MiB, {range(0, 8 * MiB)});
    shared_file(tree, "p/b/own", 4096);
  };
  // Three overlapping ranges: [0, 8) of f1 and [4, 12) of f2 in d1,
  // [6, 10) of f3 in d2 (MiB). [0, 4) and [10, 12) have one reference
  // each: their other holders lie elsewhere.
  const auto overlapping = [](const platform::fake_tree& tree) {
    shared_file(tree, "p/d1/f1", 8 * MiB, {range(0, 8 * MiB)});
    shared_file(tree, "p/d1/f2", 8 * MiB, {range(4 * MiB, 8 * MiB)});
    shared_file(tree, "p/d2/f3", 4 * MiB, {range(6 * MiB, 4 * MiB)});
  };
  const row_figures pair_p{"p", 0, 2, 20 * MiB, 20 * MiB};
  const row_figures pair_a{"p/a", 1, 1, 20 * MiB, 4 * MiB};
  const row_figures pair_b{"p/b", 1, 1, 16 * MiB, 0};
  const row_figures linked_p{"p", 0, 4, 12 * MiB + 4096, 12 * MiB + 4096};
  const row_figures linked_a{"p/a", 1, 2, 12 * MiB, 4 * MiB};
  const row_figures linked_b{"p/b", 1, 2, 8 * MiB + 4096, 4096};
  run_cases(
      {
      {"a reflinked pair", reflinked_pair, {"p"}, 1, {pair_p, pair_a, pair_b}},
      {"a reflinked pair, each a PATH", reflinked_pair, {"p/a", "p/b"}, 0,
       {{"p/a", 0, 1, 20 * MiB, 4 * MiB}, {"p/b", 0, 1, 16 * MiB, 0}}},
      {"a PATH given twice", reflinked_pair, {"p", "p"}, 1,
       {pair_p, pair_a, pair_b, pair_p, pair_a, pair_b}},
      {"a PATH inside another", reflinked_pair, {"p", "p/a"}, 1,
       {pair_p, pair_a, pair_b, {"p/a", 0, 1, 20 * MiB, 4 * MiB}}},
      {"a PATH inside another, first", reflinked_pair, {"p/b", "p"}, 1,
       {{"p/b", 0, 1, 16 * MiB, 0}, pair_p, pair_a, pair_b}},
      {"a holder outside", outside, {"p"}, 1,
       {{"p", 0, 2, 12 * MiB, 0}, {"p/a", 1, 1, 8 * MiB, 0}}},
      {"a holder in another PATH", outside, {"p", "out"}, 0,
       {{"p", 0, 2, 12 * MiB, 0}, {"out", 0, 1, 8 * MiB, 0}}},
      {"links and a copy", linked, {"p"}, 2,
       {linked_p, linked_a, {"p/a/s1", 2, 1, 12 * MiB, 0}, {"p/a/s2", 2, 1, 12 * MiB, 0},
        linked_b}},
      {"links and a copy, names deeper than the rows", linked, {"p"}, 1,
       {linked_p, linked_a, linked_b}},
      {"links and a copy, each a PATH", linked, {"p/a/s1", "p/a/s2", "p/b"}, 0,
       {{"p/a/s1", 0, 1, 12 * MiB, 0}, {"p/a/s2", 0, 1, 12 * MiB, 0},
        {"p/b", 0, 2, 8 * MiB + 4096, 4096}}},
      {"overlapping ranges", overlapping, {"p"}, 1,
       {{"p", 0, 3, 12 * MiB, 6 * MiB}, {"p/d1", 1, 2, 12 * MiB, 2 * MiB},
        {"p/d2", 1, 1, 4 * MiB, 0}}},
      },
      true);
  // Without -E, the same tree counts every file by its allocation: the
  // shared ranges change nothing.
  const auto on_sharing_volume = [](const platform::fake_tree& tree) {
    tree.share_extents("");
    reflinked_pair(tree);
  };
  run_cases({{"without -E", on_sharing_volume, {"p"}, 1,
              {{"p", 0, 2, 36 * MiB, 36 * MiB}, {"p/a", 1, 1, 20 * MiB, 20 * MiB},
               {"p/b", 1, 1, 16 * MiB, 16 * MiB}},
              size_measure::allocated}});
}

// How a random tree is drawn: with lengths alone, or (`shared`) with
// allocations of whole blocks and ranges of `blocks` shared blocks.
struct random_trees {
  const char* name;
  bool shared;
  std::uint32_t seed;
  int rounds, directories, nesting, files, links, depths;
};

// On random trees of hard-linked files, every row against the figures
// worked out from the names themselves: what the subtree holds, and what
// has no name outside it. Under -E, block by block: a block counts where
// some name of a holder lies, and is freed where every holder the run met
// lies whole, when the run met two references to it.
TEST(SpaceByDirectory, RandomTreesAgreeWithTheirNamesAndBlocks) {
  constexpr std::int64_t block = 4096;
  constexpr std::uint64_t blocks = 48;
  for (const random_trees& kind : {random_trees{"lengths", false, 20261208, 20, 25, 4, 40, 40, 4},
                                   random_trees{"shared", true, 20261209, 30, 12, 3, 16, 12, 3}}) {
    SCOPED_TRACE(kind.name);
    std::mt19937 random(kind.seed);
    for (int round = 0; round < kind.rounds; ++round) {
      SCOPED_TRACE(round);
      platform::fake_tree tree;
      if (kind.shared) tree.share_extents("");
      std::vector<std::string> directories{"top"};
      for (int i = 0; i < kind.directories; ++i) {
        const std::string& parent = directories[random() % directories.size()];
        if (std::count(parent.begin(), parent.end(), '/') >= kind.nesting) continue;
        directories.push_back(parent + "/d" + std::to_string(i));
        tree.directory(directories.back());
      }
      directories.push_back("out");  // outside every PATH
      struct model_file {
        std::int64_t own;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;  // in blocks
        std::vector<std::string> names;
      };
      std::vector<model_file> files;
      const auto random_name = [&](const char* prefix, int i) {
        return directories[random() % directories.size()] + prefix + std::to_string(i);
      };
      for (int i = 0; i < kind.files; ++i) {
        model_file file{0, {}, {}};
        if (!kind.shared) {  // the name drawn first: the seed keeps the trees checked before
          file.names.push_back(random_name("/f", i));
          file.own = static_cast<std::int64_t>(random() % 1000 + 1);
          tree.file(file.names.front(), file.own);
          files.push_back(file);
          continue;
        }
        file.own = static_cast<std::int64_t>(random() % 3) * block;
        std::vector<platform::mapped_extent> extents;
        std::int64_t shared = 0;
        for (std::uint32_t r = random() % 3; r > 0; --r) {
          const std::uint64_t start = random() % blocks, length = random() % 8 + 1;
          const std::uint64_t end = std::min(blocks, start + length);
          file.ranges.emplace_back(start, end);
          extents.push_back(range(start * block, (end - start) * block));
          shared += static_cast<std::int64_t>(end - start) * block;
        }
        file.names.push_back(random_name("/f", i));
        shared_file(tree, file.names.front(), file.own + shared, extents);
        files.push_back(file);
      }
      for (int i = 0; i < kind.links; ++i) {
        model_file& file = files[random() % files.size()];
        const std::string name = random_name("/l", i);
        tree.hard_link(file.names.front(), name);
        file.names.push_back(name);
      }
      const auto under = [](const std::string& name, const std::string& directory) {
        return name.compare(0, directory.size() + 1, directory + "/") == 0;
      };
      const auto inside = [&](const model_file& file, const std::string& directory) {
        return std::count_if(file.names.begin(), file.names.end(),
                             [&](const std::string& n) { return under(n, directory); });
      };
      // The run meets the files with a name under "top": only their ranges
      // count, and only their references.
      std::vector<const model_file*> met;
      for (const model_file& file : files)
        if (inside(file, "top") > 0) met.push_back(&file);
      // Names of lower-case letters and digits only: sorted paths are the
      // walk's pre-order.
      std::vector<std::string> sorted(directories.begin(), directories.end() - 1);
      std::sort(sorted.begin(), sorted.end());
      const std::string second = sorted[random() % sorted.size()];
      const auto depth = static_cast<std::int32_t>(random() % kind.depths);
      rows expected;
      for (const std::string& path : {std::string("top"), second}) {
        const auto top_depth = std::count(path.begin(), path.end(), '/');
        for (const std::string& directory : sorted) {
          if (directory != path && !under(directory, path)) continue;
          const auto row_depth = std::count(directory.begin(), directory.end(), '/') - top_depth;
          if (row_depth > depth) continue;
          row_figures row{directory, static_cast<std::int32_t>(row_depth), 0, 0, 0};
          for (const model_file* file : met) {
            const auto names = inside(*file, directory);
            row.files += names;
            if (names > 0) row.unique_size += file->own;
            if (names == static_cast<std::ptrdiff_t>(file->names.size())) row.freed += file->own;
          }
          for (std::uint64_t b = 0; kind.shared && b < blocks; ++b) {
            std::size_t references = 0;
            bool held_here = false, all_whole = true;
            for (const model_file* file : met) {
              std::size_t covering = 0;
              for (const auto& r : file->ranges) covering += r.first <= b && b < r.second ? 1 : 0;
              if (covering == 0) continue;
              references += covering;
              const auto names = inside(*file, directory);
              held_here = held_here || names > 0;
              all_whole = all_whole && names == static_cast<std::ptrdiff_t>(file->names.size());
            }
            if (held_here) row.unique_size += block;
            if (held_here && all_whole && references >= 2) row.freed += block;
          }
          expected.push_back(row);
        }
      }
      EXPECT_EQ(directory_rows(tree, {"top", second}, depth, size_measure::apparent, kind.shared),
                expected);
    }
  }
}

}  // namespace

}  // namespace scan
