// The walk on real trees: its order, its counters and its error lines.
#include <gtest/gtest.h>

#include <ostream>

#include "scan/scandata.h"
#include "scan/test_tree.h"

namespace {

// The names met for `links`, in the order their files were first met.
std::vector<native_string> names_by_first_meeting(const _scandata& scan, std::int32_t links) {
  std::vector<native_string> names;
  for (const platform::file_identity& id : scan.hardlinkcounts.at(links).file_ids)
    for (const native_string& name : kept_names(scan.filenames_by_key.find(id))) names.push_back(name);
  return names;
}

native_string text(const char* ascii) { return native_from_ascii(ascii); }

TEST(Walk, FilesThenDirectoriesThenDescentInNameOrder) {
  test_tree tree;
  tree.file("b.txt", 3);
  tree.file("a.txt", 5);
  tree.file("S/x/e.txt");
  tree.file("S/c.txt");
  tree.file("T/d.txt");
  tree.file("z.txt");
  captured_scan run;
  run.scan.scan_directory(tree.path());

  EXPECT_EQ(names_by_first_meeting(run.scan, 1),
            (std::vector<native_string>{tree.path("a.txt"), tree.path("b.txt"),
                                        tree.path("z.txt"), tree.path("S/c.txt"),
                                        tree.path("S/x/e.txt"), tree.path("T/d.txt")}));
  EXPECT_EQ(run.scan.files_total, 6);
  EXPECT_EQ(run.scan.files_normal, 6);
  EXPECT_EQ(run.scan.dirs_total, 3);
  EXPECT_EQ(run.scan.dirs_normal, 3);
  EXPECT_EQ(run.scan.files_skipped + run.scan.dirs_skipped, 0);
  EXPECT_EQ(run.scan.naive_size, 8);
  EXPECT_EQ(run.scan.unique_size, 8);
  // One tick for the PATH and for each directory entered.
  EXPECT_EQ(run.scan.progress_ticks, 4);
}

TEST(Walk, HardLinksAreOneFileWithEveryName) {
  test_tree tree;
  tree.file("a/first", 100);
  tree.hard_link("a/first", "b/second");
  tree.hard_link("a/first", "b/third");
  tree.file("single", 7);
  captured_scan run;
  run.scan.scan_directory(tree.path("b"));  // only two of the three names

  ASSERT_EQ(run.scan.hardlinkcounts.size(), 1u);
  const _scandata_hardlinkcount_info& three = run.scan.hardlinkcounts.at(3);
  EXPECT_EQ(three.file_count, 2);
  EXPECT_EQ(three.file_ids.size(), 1u);
  EXPECT_EQ(names_by_first_meeting(run.scan, 3),
            (std::vector<native_string>{tree.path("b/second"), tree.path("b/third")}));
  EXPECT_EQ(run.scan.naive_size, 200);
  EXPECT_EQ(run.scan.unique_size, 100);
}

TEST(Walk, PathsGivenTwiceOrOverlappingCountEveryNameEachTime) {
  test_tree tree;
  tree.file("d/f", 10);
  captured_scan run;
  run.scan.scan_directory(tree.path());
  run.scan.scan_directory(tree.path("d"));
  EXPECT_EQ(run.scan.files_total, 2);
  EXPECT_EQ(run.scan.hardlinkcounts.at(1).file_count, 2);
  EXPECT_EQ(run.scan.hardlinkcounts.at(1).file_ids.size(), 1u);
  EXPECT_EQ(run.scan.naive_size, 20);
  EXPECT_EQ(run.scan.unique_size, 10);
  EXPECT_EQ(names_by_first_meeting(run.scan, 1),
            (std::vector<native_string>{tree.path("d/f"), tree.path("d/f")}));
}

TEST(Walk, TrailingSeparatorIsKeptInEveryPath) {
  test_tree tree;
  tree.file("sub/f");
  captured_scan run;
  native_string top = tree.path();
  top += platform::path_separator;
  run.scan.scan_directory(top);
  native_string expected = top;
  expected += platform::path_separator;
  expected += text("sub");
  expected += platform::path_separator;
  expected += text("f");
  EXPECT_EQ(names_by_first_meeting(run.scan, 1), std::vector<native_string>{expected});
}

TEST(Walk, DotNamesOtherThanDotAndDotDotAreOrdinaryEntries) {
  test_tree tree;
  tree.file(".git/config");
  tree.file("..hidden");
  captured_scan run;
  run.scan.scan_directory(tree.path());
  EXPECT_EQ(run.scan.files_total, 2);
  EXPECT_EQ(run.scan.dirs_total, 1);
}

TEST(Walk, PathsThatAreNoDirectoriesCountNothing) {
  test_tree tree;
  tree.file("plain");
  tree.directory("empty");
  captured_scan run(/*verbose=*/true);
  run.scan.scan_directory(tree.path("missing"));
  run.scan.scan_directory(tree.path("plain"));
  run.scan.scan_directory(tree.path("empty"));
  run.scan.scan_directory(native_string());

  EXPECT_EQ(run.scan.files_total + run.scan.dirs_total, 0);
  EXPECT_TRUE(run.scan.filenames_by_key.empty());
  const native_string out = run.out.str();
  const native_string missing_line = text("Error getting attributes for \"") +
                                     tree.path("missing") + text("\": 0x");
  EXPECT_NE(out.find(missing_line), native_string::npos) << out.c_str();
  EXPECT_EQ(run.err.str(), text("Argument \"") + tree.path("plain") +
                               text("\" does not point to a directory.\n"));
  // Verbose progress: one text per tick, four ticks.
  native_string progress;
  for (const native_char c : out)
    if (c == '.') progress += c;
  EXPECT_EQ(progress.size(), 4 * 3u);
}

TEST(Walk, QuietModePrintsNoErrors) {
  test_tree tree;
  tree.file("plain");
  captured_scan run;
  run.scan.scan_directory(tree.path("missing"));
  run.scan.scan_directory(tree.path("plain"));
  EXPECT_EQ(run.out.str(), text("Scanning directories and files"));
  EXPECT_TRUE(run.err.str().empty());
}

TEST(Walk, NamesAreKeptOnlyForListedLinkCountsWhenAsked) {
  test_tree tree;
  tree.file("one");
  tree.file("two");
  tree.hard_link("two", "two-again");
  captured_scan run;
  run.scan.keep_all_names = false;
  run.scan.listed_link_counts = {2};
  run.scan.scan_directory(tree.path());
  EXPECT_EQ(run.scan.unique_files, 2u);  // every file is still counted
  EXPECT_EQ(run.scan.filenames_by_key.size(), 1u);  // the single-link one is not kept
  EXPECT_TRUE(run.scan.hardlinkcounts.at(1).file_ids.empty());
  EXPECT_EQ(run.scan.hardlinkcounts.at(1).distinct_files, 1);
  EXPECT_TRUE(names_by_first_meeting(run.scan, 1).empty());
  EXPECT_EQ(names_by_first_meeting(run.scan, 2),
            (std::vector<native_string>{tree.path("two"), tree.path("two-again")}));
}

// The figures of the summary, for comparing two scans.
struct tallies {
  std::int64_t files, naive, unique;
  std::uint64_t unique_files;
  std::vector<std::int64_t> by_links;  // links, names, distinct files, ...
  bool operator==(const tallies& o) const {
    return files == o.files && naive == o.naive && unique == o.unique &&
           unique_files == o.unique_files && by_links == o.by_links;
  }
};

std::ostream& operator<<(std::ostream& out, const tallies& t) {
  out << t.files << " names, " << t.unique_files << " files, " << t.naive << "/" << t.unique
      << " bytes; by links:";
  for (std::int64_t n : t.by_links) out << " " << n;
  return out;
}

// Scans `paths` as the run does, single-link files kept in the identity map
// only where `listed` asks for their names.
tallies scan_tallies(const std::vector<native_string>& paths,
                     const std::vector<std::int32_t>& listed) {
  captured_scan run;
  run.scan.keep_all_names = false;
  run.scan.listed_link_counts = listed;
  run.scan.scan_paths(paths);
  const _scandata& s = run.scan;
  tallies t{s.files_total, s.naive_size, s.unique_size, s.unique_files, {}};
  std::int64_t distinct = 0;
  for (const auto& [links, info] : s.hardlinkcounts) {
    t.by_links.insert(t.by_links.end(), {links, info.file_count, info.distinct_files});
    distinct += info.distinct_files;
  }
  EXPECT_EQ(static_cast<std::uint64_t>(distinct), s.unique_files);
  return t;
}

// A tree of single-link files beside files of two and three links, some of
// whose names lie outside the PATHs.
void make_mixed_tree(const test_tree& tree) {
  tree.file("a/one", 1);
  tree.file("a/b/two", 20);
  tree.file("a/b/c/three", 300);
  tree.file("a/pair", 4000);
  tree.hard_link("a/pair", "a/b/pair-again");
  tree.file("a/b/trio", 50000);
  tree.hard_link("a/b/trio", "a/b/c/trio-again");
  tree.hard_link("a/b/trio", "outside/trio");
  tree.file("outside/alone", 600000);
}

// A name met again counts in the names and the naive size, never as a
// file: the same whether the run keeps every file or only the files of
// several links, which tells a single-link file met again by its directory.
TEST(Walk, NamesMetAgainCountOnlyAsNamesWhateverIsKept) {
  test_tree tree;
  make_mixed_tree(tree);
  const native_string a = tree.path("a"), b = tree.path("a/b");
  native_string a_again = a;
  a_again += platform::path_separator;  // the same tree, spelled otherwise
  const tallies once = scan_tallies({a}, {});
  EXPECT_EQ(once, (tallies{7, 108321, 54321, 5, {1, 3, 3, 2, 2, 1, 3, 2, 1}}));
  const std::vector<std::vector<native_string>> shapes = {
      {a, a}, {a, a_again}, {b, a}, {a, b}, {b, a, b, a}};
  for (const auto& paths : shapes) {
    const tallies plain = scan_tallies(paths, {});
    EXPECT_EQ(plain.unique_files, once.unique_files) << paths.size() << " paths";
    EXPECT_EQ(plain.unique, once.unique);
    // Every name of every walk counts; every file once.
    for (const std::vector<std::int32_t>& listed :
         std::vector<std::vector<std::int32_t>>{{1}, {1, 3}, {3}})
      EXPECT_EQ(scan_tallies(paths, listed), plain) << listed.size() << " listed";
  }
  EXPECT_EQ(scan_tallies({b, a}, {}),
            (tallies{12, 212641, 54321, 5, {1, 5, 3, 2, 3, 1, 3, 4, 1}}));
}

TEST(Walk, ListingSingleLinkFilesKeepsEachNameOfEachWalk) {
  test_tree tree;
  make_mixed_tree(tree);
  captured_scan run;
  run.scan.keep_all_names = false;
  run.scan.listed_link_counts = {1};
  run.scan.scan_paths({tree.path("a/b"), tree.path("a")});
  EXPECT_EQ(names_by_first_meeting(run.scan, 1),
            (std::vector<native_string>{tree.path("a/b/two"), tree.path("a/b/two"),
                                        tree.path("a/b/c/three"), tree.path("a/b/c/three"),
                                        tree.path("a/one")}));
  EXPECT_EQ(run.scan.unique_files, 5u);
  EXPECT_TRUE(run.scan.hardlinkcounts.at(3).file_ids.empty());  // not listed
}

}  // namespace
