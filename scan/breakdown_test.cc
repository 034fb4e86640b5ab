// The breakdowns of -F paths and patterns, on the in-memory file system.
#include <gtest/gtest.h>

#include <algorithm>

#include "testing/filesystem-fake.h"
#include "testing/text_test_util.h"
#include "scan/scandata.h"

namespace scan {

namespace {

using platform::fake_tree;
using platform::fake_operation;

struct captured_breakdowns {
  _scandata scan;
  native_ostringstream out;
  captured_breakdowns() {
    scan.verbose = true;
    scan.out = &out;
  }
  void collect(const native_string& path) {
    scan.breakdown(path);
    scan.find_breakdown_names();
  }
  std::vector<native_string> filenames() const {
    std::vector<native_string> names;
    for (const _scandata_breakdown_fileinfo& info : scan.breakdowns) names.push_back(info.filename);
    std::sort(names.begin(), names.end());
    return names;
  }
};

TEST(Breakdown, ASingleFileGivesOneRecordOfItsOwn) {
  fake_tree tree;
  tree.file("a.txt", 1234);
  tree.hard_link("a.txt", "b.txt");
  captured_breakdowns run;
  run.collect(tree.path("a.txt"));
  ASSERT_EQ(run.scan.breakdowns.size(), 1u);
  const _scandata_breakdown_fileinfo& info = run.scan.breakdowns[0];
  EXPECT_EQ(info.filename, tree.path("a.txt"));
  EXPECT_EQ(info.file_links, 2);
  EXPECT_EQ(info.file_size, 1234);
  EXPECT_EQ(info.kind, platform::entry_kind::normal);
  EXPECT_TRUE(run.out.str().empty());
  // The walk's tallies are untouched.
  EXPECT_EQ(run.scan.files_total, 0);
  EXPECT_TRUE(run.scan.filenames_by_key.empty());
}

TEST(Breakdown, TwoNamesOfOneFileAndARepeatedPathAreNeverMerged) {
  fake_tree tree;
  tree.file("a.txt");
  tree.hard_link("a.txt", "b.txt");
  captured_breakdowns run;
  run.scan.breakdown(tree.path("a.txt"));
  run.scan.breakdown(tree.path("a.txt"));
  run.scan.breakdown(tree.path("b.txt"));
  run.scan.find_breakdown_names();
  ASSERT_EQ(run.scan.breakdowns.size(), 3u);
  EXPECT_EQ(run.scan.breakdowns[0].facts().identity, run.scan.breakdowns[2].facts().identity);
  // One list of names serves every record of the file.
  EXPECT_EQ(run.scan.breakdowns[0].filenames, run.scan.breakdowns[1].filenames);
  EXPECT_EQ(run.scan.breakdowns[0].filenames, run.scan.breakdowns[2].filenames);
  EXPECT_EQ(run.scan.link_names.size(), 1u);
}

TEST(Breakdown, EachSearchNamesOnlyTheRecordsCollectedSinceTheLast) {
  fake_tree tree;
  tree.file("a.txt");
  tree.hard_link("a.txt", "b.txt");
  tree.file("single.txt");
  captured_breakdowns run;
  run.collect(tree.path("single.txt"));
  run.collect(tree.path("a.txt"));
  ASSERT_EQ(run.scan.breakdowns.size(), 2u);
  // One list each, in order: the second search kept the first's record.
  EXPECT_EQ(run.scan.link_names.size(), 2u);
  EXPECT_EQ(run.scan.breakdowns[0].filenames, 0u);
  EXPECT_EQ(run.scan.breakdowns[1].filenames, 1u);
}

TEST(Breakdown, PatternsGiveOneRecordPerMatchingFileAndSkipDirectories) {
  fake_tree tree;
  tree.file("a.txt");
  tree.file("b.txt");
  tree.file("c.log");
  tree.directory("dir.txt");
  captured_breakdowns run;
  run.collect(tree.path("*.txt"));
  EXPECT_EQ(run.filenames(), (std::vector<native_string>{tree.path("a.txt"), tree.path("b.txt")}));

  captured_breakdowns one;
  one.collect(tree.path("?.log"));
  EXPECT_EQ(one.filenames(), std::vector<native_string>{tree.path("c.log")});
  EXPECT_TRUE(run.out.str().empty());
}

TEST(Breakdown, APatternOfOnlyDirectoriesGivesNothingAndSaysNothing) {
  fake_tree tree;
  tree.directory("d1");
  tree.directory("d2");
  captured_breakdowns run;
  run.collect(tree.path("d*"));
  // An empty directory still holds "." and "..", which the search lists:
  // a pattern that fits only them finds directories, not nothing.
  tree.directory("E");
  run.collect(tree.path("E") + platform::path_separator + T("*"));
  run.collect(tree.path("E") + platform::path_separator + T(".*"));
  EXPECT_TRUE(run.scan.breakdowns.empty());
  EXPECT_TRUE(run.out.str().empty());
  EXPECT_EQ(run.scan.scan_errors, 0);
}

TEST(Breakdown, FailuresAreReportedInVerboseModeOnly) {
  fake_tree tree;
  captured_breakdowns run;
  run.collect(tree.path("missing.txt"));
  run.collect(tree.path("*.none"));
  EXPECT_TRUE(run.scan.breakdowns.empty());
  const native_string out = run.out.str();
  EXPECT_EQ(out.find(T("Error finding \"") + tree.path("missing.txt") + T("\": 0x")), 0u);
  EXPECT_NE(out.find(T("Error searching \"") + tree.path("*.none") + T("\": 0x")),
            native_string::npos);

  _scandata quiet;
  native_ostringstream quiet_out;
  quiet.out = &quiet_out;
  quiet.breakdown(tree.path("missing.txt"));
  quiet.breakdown(tree.path("*.none"));
  EXPECT_TRUE(quiet_out.str().empty());
}

TEST(Breakdown, ADirectoryGivenAsASinglePathGivesARecord) {
  fake_tree tree;
  tree.directory("sub");
  captured_breakdowns run;
  run.collect(tree.path("sub"));
  ASSERT_EQ(run.scan.breakdowns.size(), 1u);
  EXPECT_EQ(run.scan.breakdowns[0].kind, platform::entry_kind::normal);
}

TEST(Breakdown, NamesAreEveryNameOfTheFileFromTheTopOfItsVolume) {
  fake_tree tree;
  tree.file("b/g", 3);
  tree.hard_link("b/g", "a/f");
  tree.mount("vol");
  tree.file("vol/x/h");
  tree.hard_link("vol/x/h", "vol/i");
  captured_breakdowns run;
  run.collect(tree.path("a/f"));
  run.collect(tree.path("vol/x/h"));
  ASSERT_EQ(run.scan.breakdowns.size(), 2u);
  ASSERT_EQ(run.scan.link_names.size(), 2u);
  // Sorted, whatever order the names were met in.
  EXPECT_EQ(run.scan.link_names[run.scan.breakdowns[0].filenames],
            (std::vector<native_string>{tree.path("a/f"), tree.path("b/g")}));
  const native_string separator(1, platform::path_separator);
  EXPECT_EQ(run.scan.link_names[run.scan.breakdowns[1].filenames],
            (std::vector<native_string>{separator + T("i"),
                                        separator + T("x") + separator + T("h")}));
}

// The search covers the whole mount the file lives on: directories of
// another volume on that mount (a btrfs subvolume, an overlay's) are
// entered, the tops of other mounts (automount points too) never, and
// names are matched by the file's own identity. What it could not search
// is said, where names are missing.
TEST(Breakdown, NamesAreSearchedOnTheFilesWholeMount) {
  struct mount_case {
    const char* what;
    bool locked;      // a directory of the mount cannot be listed
    int more_links;   // links no name on the mount explains
    int errors;
  };
  for (const mount_case& c : {mount_case{"every name found", false, 0, 0},
                              mount_case{"all found despite a locked directory", true, 0, 0},
                              mount_case{"names missing, one place not searched", true, 1, 1}}) {
    SCOPED_TRACE(c.what);
    fake_tree tree;
    tree.directory("outer/a-locked");
    tree.subvolume("outer/sv");
    tree.file("outer/sv/a", 5);
    tree.hard_link("outer/sv/a", "outer/sv/b");
    tree.hard_link("outer/sv/a", "outer/sv/deeper/c");
    tree.hard_link("outer/sv/a", "top");  // on the mount, outside the subvolume
    tree.mount("outer/other");
    tree.hard_link("outer/sv/a", "outer/other/hidden");  // under another mount
    // On the mount's own volume, listed as a plain directory: entering it
    // would mount what it shows.
    tree.automount("outer/auto");
    tree.hard_link("outer/sv/a", "outer/auto/hidden");
    tree.set_links("outer/sv/a", 4 + c.more_links);
    if (c.locked) tree.fail(fake_operation::list, "outer/a-locked", platform::fake_access_denied);
    captured_breakdowns run;
    run.collect(tree.path("outer/sv/a"));
    ASSERT_EQ(run.scan.breakdowns.size(), 1u);
    EXPECT_EQ(run.scan.names_of(run.scan.breakdowns[0]),
              (std::vector<native_string>{tree.path("outer/sv/a"), tree.path("outer/sv/b"),
                                          tree.path("outer/sv/deeper/c"), tree.path("top")}));
    EXPECT_EQ(run.scan.scan_errors, c.errors);
    EXPECT_EQ(run.out.str(), c.errors ? T("Error searching \"") + tree.path("outer/a-locked") +
                                            T("\": 0x0000000d\n")
                                      : T(""));
  }
}

TEST(Breakdown, FilesThatCannotBeExaminedAndDirectoriesThatCannotBeSearchedAreReported) {
  fake_tree tree;
  tree.file("d/a.txt");
  tree.file("d/b.txt");
  tree.file("d/c.txt", 9);
  tree.file("locked/e.txt");
  tree.fail(fake_operation::examine, "d/a.txt", 5, platform::examination::not_opened);
  // Gone between the search that matched it and its examination.
  tree.fail(fake_operation::examine, "d/b.txt", platform::fake_no_such_entry);
  tree.fail(fake_operation::list, "locked", platform::fake_access_denied);
  captured_breakdowns run;
  run.collect(tree.path("d/*.txt"));
  run.collect(tree.path("locked/*.txt"));
  run.collect(tree.path("locked/e.txt"));  // examined without a search
  EXPECT_EQ(run.filenames(), (std::vector<native_string>{tree.path("d/c.txt"),
                                                         tree.path("locked/e.txt")}));
  EXPECT_EQ(run.out.str(),
            T("Error opening \"") + tree.path("d/a.txt") + T("\": 0x00000005\n") +
                T("Error finding \"") + tree.path("d/b.txt") + T("\": 0x00000002\n") +
                T("Error searching \"") + tree.path("locked/*.txt") + T("\": 0x0000000d\n"));
  EXPECT_EQ(run.scan.scan_errors, 3);
}

}  // namespace

}  // namespace scan
