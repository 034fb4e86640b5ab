// The walk on real trees: its order, its counters and its error lines.
#include <gtest/gtest.h>

#include "scan/scandata.h"
#include "scan/test_tree.h"

namespace {

// The names met for `links`, in the order their files were first met.
std::vector<native_string> names_by_first_meeting(const _scandata& scan, std::int32_t links) {
  std::vector<native_string> names;
  for (const platform::file_identity& id : scan.hardlinkcounts.at(links).file_ids)
    for (const native_string& name : kept_names(scan.filenames_by_key.at(id))) names.push_back(name);
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
  EXPECT_EQ(run.scan.filenames_by_key.size(), 2u);  // every file is still known
  EXPECT_TRUE(names_by_first_meeting(run.scan, 1).empty());
  EXPECT_EQ(names_by_first_meeting(run.scan, 2),
            (std::vector<native_string>{tree.path("two"), tree.path("two-again")}));
}

}  // namespace
