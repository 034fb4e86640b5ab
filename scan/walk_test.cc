// The walk on the in-memory file system: its order, its counters, its
// error lines, and every fault a disk can show it.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "testing/allocated_test_util.h"
#include "testing/filesystem-fake.h"
#include "testing/text_test_util.h"
#include "testing/scan_test_util.h"
#include "scan/scandata.h"

namespace scan {

namespace {

using platform::fake_tree;
using platform::fake_operation;

TEST(Walk, FilesThenDirectoriesThenDescentInNameOrder) {
  fake_tree tree;
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
  fake_tree tree;
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
  fake_tree tree;
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
  fake_tree tree;
  tree.file("sub/f");
  captured_scan run;
  native_string top = tree.path();
  top += platform::path_separator;
  run.scan.scan_directory(top);
  native_string expected = top;
  expected += platform::path_separator;
  expected += T("sub");
  expected += platform::path_separator;
  expected += T("f");
  EXPECT_EQ(names_by_first_meeting(run.scan, 1), std::vector<native_string>{expected});
}

TEST(Walk, PathsThatAreNoDirectoriesCountNothing) {
  fake_tree tree;
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
  const native_string missing_line = T("Error getting attributes for \"") +
                                     tree.path("missing") + T("\": 0x");
  EXPECT_NE(out.find(missing_line), native_string::npos) << out.c_str();
  EXPECT_EQ(run.err.str(), T("Argument \"") + tree.path("plain") +
                               T("\" does not point to a directory.\n"));
  // Verbose progress: one text per tick, four ticks.
  native_string progress;
  for (const native_char c : out)
    if (c == '.') progress += c;
  EXPECT_EQ(progress.size(), 4 * 3u);
}

TEST(Walk, QuietModePrintsNoErrors) {
  fake_tree tree;
  tree.file("plain");
  captured_scan run;
  run.scan.scan_directory(tree.path("missing"));
  run.scan.scan_directory(tree.path("plain"));
  EXPECT_EQ(run.out.str(), T("Scanning directories and files"));
  EXPECT_TRUE(run.err.str().empty());
}

TEST(Walk, NamesAreKeptOnlyForListedLinkCountsWhenAsked) {
  fake_tree tree;
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

// The lines of a verbose run's output that begin with "Error", each up to
// its line end.
std::vector<native_string> error_lines(const native_string& out) {
  std::vector<native_string> lines;
  for (std::size_t at = out.find(T("Error")); at != native_string::npos;
       at = out.find(T("Error"), at + 1))
    lines.push_back(out.substr(at, out.find('\n', at) - at));
  return lines;
}

native_string line(const char* heading, const native_string& path, const char* code) {
  return T(heading) + T(" \"") + path + T("\": 0x") + T(code);
}

TEST(Walk, DeniedDirectoriesAndEntriesAreReportedAndSkipped) {
  fake_tree tree;
  tree.file("locked/secret");
  tree.file("blind/unseen");
  tree.file("open/visible");
  tree.file("open/unopened");
  tree.fail(fake_operation::list, "locked", platform::fake_access_denied);
  tree.fail(fake_operation::examine, "blind/unseen", platform::fake_access_denied);
  // Found by the listing, but it cannot be opened to read its identity.
  tree.fail(fake_operation::examine, "open/unopened", 5, platform::examination::not_opened);
  captured_scan run(/*verbose=*/true);
  run.scan.scan_directory(tree.path());

  EXPECT_EQ(error_lines(run.out.str()),
            (std::vector<native_string>{
                line("Error finding", tree.path("blind/unseen"), "0000000d"),
                line("Error searching", tree.path("locked"), "0000000d"),
                line("Error opening", tree.path("open/unopened"), "00000005")}));
  EXPECT_EQ(run.scan.scan_errors, 3);
  EXPECT_EQ(run.scan.dirs_total, 3);
  EXPECT_EQ(run.scan.dirs_normal, 3);  // locked was examined, only not listed
  EXPECT_EQ(run.scan.files_total, 3);
  EXPECT_EQ(run.scan.files_skipped, 2);
  EXPECT_EQ(run.scan.files_normal, 1);
  EXPECT_TRUE(run.err.str().empty());
}

TEST(Walk, ASubdirectoryWhoseAttributesCannotBeReadSaysSo) {
  // Listed, but neither examined nor entered (its parent can be listed but
  // not searched): both say why.
  fake_tree tree;
  tree.file("P/s/inside");
  tree.fail(fake_operation::examine, "P/s", platform::fake_access_denied);
  tree.fail(fake_operation::enter, "P/s", platform::fake_access_denied);
  captured_scan run(/*verbose=*/true);
  run.scan.scan_directory(tree.path("P"));
  EXPECT_EQ(error_lines(run.out.str()),
            (std::vector<native_string>{
                line("Error finding", tree.path("P/s"), "0000000d"),
                line("Error getting attributes for", tree.path("P/s"), "0000000d")}));
  EXPECT_EQ(run.scan.scan_errors, 2);
  EXPECT_EQ(run.scan.dirs_total, 1);
  EXPECT_EQ(run.scan.dirs_skipped, 1);
  EXPECT_EQ(run.scan.files_total, 0);
}

TEST(Walk, EntriesThatVanishAfterTheListingAreSkippedWithTheirError) {
  fake_tree tree;
  tree.file("a.txt", 1);
  tree.file("b.txt", 2);
  tree.file("gone-dir/inner");
  tree.file("kept/c.txt", 3);
  tree.after_listing("", [&tree] {
    tree.remove("b.txt");
    tree.remove("gone-dir");
  });
  captured_scan run(/*verbose=*/true);
  run.scan.scan_directory(tree.path());
  // The directory fails twice: it can be neither examined nor entered.
  EXPECT_EQ(error_lines(run.out.str()),
            (std::vector<native_string>{
                line("Error finding", tree.path("b.txt"), "00000002"),
                line("Error finding", tree.path("gone-dir"), "00000002"),
                line("Error getting attributes for", tree.path("gone-dir"), "00000002")}));
  EXPECT_EQ(run.scan.files_total, 3);
  EXPECT_EQ(run.scan.files_skipped, 1);
  EXPECT_EQ(run.scan.dirs_total, 2);
  EXPECT_EQ(run.scan.dirs_skipped, 1);
  EXPECT_EQ(run.scan.naive_size, 4);
  EXPECT_EQ(names_by_first_meeting(run.scan, 1),
            (std::vector<native_string>{tree.path("a.txt"), tree.path("kept/c.txt")}));
}

// What stands where a directory was listed, once its turn to be entered
// comes: the walk enters only the directory it listed.
TEST(Walk, ADirectorySwappedBeforeItsDescentIsNeverWalked) {
  struct swap_case {
    const char* what;
    std::function<void(const fake_tree&)> change;
    bool walked;
    const char* error;  // the error line's heading, or null for a line on err
  };
  const std::vector<swap_case> cases = {
      {"another directory",
       [](const fake_tree& t) {
         t.rename("scan/victim", "away");
         t.rename("outside", "scan/victim");
       },
       false, "Error getting attributes for"},
      {"a link to a directory outside",
       [](const fake_tree& t) {
         t.rename("scan/victim", "away");
         t.symlink("scan/victim", "outside");
       },
       false, nullptr},
      {"a plain file",
       [](const fake_tree& t) {
         t.rename("scan/victim", "away");
         t.file("scan/victim", 3);
       },
       false, nullptr},
      {"nothing", [](const fake_tree& t) { t.remove("scan/victim"); }, false,
       "Error getting attributes for"},
      {"the same directory with other contents",
       [](const fake_tree& t) {
         t.remove("scan/victim/inner");
         t.rename("outside/marker", "scan/victim/marker");
       },
       true, nullptr},
  };
  for (const swap_case& c : cases) {
    SCOPED_TRACE(c.what);
    fake_tree tree;
    tree.file("outside/marker", 5);
    tree.file("scan/a/file", 1);
    tree.file("scan/victim/inner", 2);
    // scan is listed, then a, then victim is entered.
    tree.after_listing("scan/a", [&tree, &c] { c.change(tree); });
    captured_scan run(/*verbose=*/true);
    run.scan.scan_directory(tree.path("scan"));

    EXPECT_EQ(run.scan.dirs_normal, 2);  // victim was a directory when examined
    EXPECT_EQ(run.scan.files_total, c.walked ? 2 : 1);
    const native_string victim = tree.path("scan/victim");
    if (c.walked) {
      EXPECT_EQ(names_by_first_meeting(run.scan, 1),
                (std::vector<native_string>{tree.path("scan/a/file"),
                                            tree.path("scan/victim/marker")}));
      EXPECT_TRUE(error_lines(run.out.str()).empty());
    } else if (c.error) {
      EXPECT_EQ(error_lines(run.out.str()),
                std::vector<native_string>{line(c.error, victim, "00000002")});
    } else {
      EXPECT_TRUE(error_lines(run.out.str()).empty());
      EXPECT_EQ(run.err.str(),
                T("Argument \"") + victim + T("\" does not point to a directory.\n"));
    }
    EXPECT_EQ(run.scan.scan_errors, c.walked ? 0 : 1);
  }
}

// An entry that changes kind between the listing and its reading is what
// the reading found, every fact of it from that one moment; one whose
// reading has no link left was unlinked meanwhile and is gone.
TEST(Walk, AnEntryIsCountedAsItsReadingFoundIt) {
  struct change_case {
    const char* what;
    bool listed_as_directory;
    std::function<void(const fake_tree&)> change;
    std::int64_t files, dirs, skipped;
    std::vector<const char*> errors;  // the entries of "Error finding" lines
  };
  const std::vector<change_case> cases = {
      {"a directory where a file was listed", false,
       [](const fake_tree& t) {
         t.remove("scan/flip");
         t.file("scan/flip/inner", 1);  // never walked: it was listed as a file
       },
       10, 1, 0, {}},
      {"a file where a directory was listed", true,
       [](const fake_tree& t) {
         t.remove("scan/flip");
         t.file("scan/flip", 1);
       },
       11, 0, 0, {}},
      {"a file read with no link left", false,
       [](const fake_tree& t) { t.set_links("scan/flip", 0); }, 11, 0, 1, {"scan/flip"}},
  };
  for (const change_case& c : cases) {
    SCOPED_TRACE(c.what);
    fake_tree tree;
    for (char name = 'a'; name < 'k'; ++name) tree.file(std::string("scan/") + name, 1);
    if (c.listed_as_directory) {
      tree.file("scan/flip/inner", 1);
    } else {
      tree.file("scan/flip", 1);
    }
    tree.after_listing("scan", [&tree, &c] { c.change(tree); });
    captured_scan run(/*verbose=*/true);
    run.scan.scan_directory(tree.path("scan"));

    std::vector<native_string> expected_errors;
    for (const char* gone : c.errors)
      expected_errors.push_back(line("Error finding", tree.path(gone), "00000002"));
    EXPECT_EQ(error_lines(run.out.str()), expected_errors);
    EXPECT_EQ(run.err.str(), T(""));  // nothing entered that is no directory
    EXPECT_EQ(run.scan.files_total, c.files);
    EXPECT_EQ(run.scan.files_normal, c.files - c.skipped);
    EXPECT_EQ(run.scan.files_skipped, c.skipped);
    EXPECT_EQ(run.scan.dirs_total, c.dirs);
    EXPECT_EQ(run.scan.dirs_normal, c.dirs);
    // Every file counted has the one link and the one byte it had.
    ASSERT_EQ(run.scan.hardlinkcounts.size(), 1u);
    EXPECT_EQ(run.scan.hardlinkcounts.begin()->first, 1);
    EXPECT_EQ(run.scan.hardlinkcounts.begin()->second.file_count, c.files - c.skipped);
    EXPECT_EQ(run.scan.naive_size, c.files - c.skipped);
    EXPECT_EQ(run.scan.scan_errors, c.skipped);
  }
}

TEST(Walk, LinkCountsAreTheFileSystemsNotTheNamesMet) {
  fake_tree tree;
  tree.file("outside/first", 10);
  tree.hard_link("outside/first", "scan/second");
  tree.hard_link("outside/first", "scan/third");
  tree.file("scan/claims-more", 4);
  tree.set_links("scan/claims-more", 7);
  captured_scan run;
  run.scan.scan_directory(tree.path("scan"));
  // Two of the three names of one file, and one name of a file of seven.
  EXPECT_EQ(run.scan.hardlinkcounts.at(3).file_count, 2);
  EXPECT_EQ(run.scan.hardlinkcounts.at(3).file_ids,
            std::vector<platform::file_identity>{tree.identity("outside/first")});
  EXPECT_EQ(run.scan.hardlinkcounts.at(7).file_count, 1);
  EXPECT_EQ(run.scan.hardlinkcounts.count(1), 0u);
  EXPECT_EQ(run.scan.naive_size, 24);
  EXPECT_EQ(run.scan.unique_size, 14);
}

TEST(Walk, LinksMountsAndSpecialFilesAreCountedAndNeverEntered) {
  fake_tree tree;
  tree.file("target", 10);
  tree.file("dir/inside");
  tree.symlink("file-link", "target");
  tree.symlink("dir-link", "dir");
  tree.symlink("dangling", "nowhere");
  tree.special("fifo");
  tree.mount("mnt");
  tree.file("mnt/on-another-volume");
  captured_scan run;
  run.scan.scan_directory(tree.path());

  EXPECT_EQ(run.scan.files_total, 5);  // target, the two file links, fifo, dir/inside
  EXPECT_EQ(run.scan.files_symlink, 2);
  EXPECT_EQ(run.scan.files_reparse, 1);
  EXPECT_EQ(run.scan.dirs_total, 3);  // dir, dir-link with its directory bit, mnt
  EXPECT_EQ(run.scan.dirs_symlink, 1);
  EXPECT_EQ(run.scan.dirs_reparse, 1);
  EXPECT_EQ(run.scan.progress_ticks, 2);  // the PATH and dir
  EXPECT_EQ(run.scan.scan_errors, 0);
}

// An automount point lists as a plain directory on its parent's volume and
// reads as a mount point: counted as one, and neither entered by the walk
// nor opened by a worker reading ahead (either would mount it), whether the
// walk reads alone or with the queue.
TEST(Walk, AnAutomountPointIsCountedAsAMountPointAndNeverEntered) {
  for (const bool ahead : {false, true}) {
    SCOPED_TRACE(ahead ? "reading ahead" : "alone");
    fake_tree tree;
    tree.directory("a-first");
    tree.automount("auto");
    tree.file("auto/what-it-would-mount");
    tree.file("plain/f");
    if (ahead) {
      tree.read_ahead_by_hand();
      // Asked for "auto" and "plain" by then.
      tree.after_listing("a-first", [&tree] { tree.complete_read_ahead(); });
    }
    captured_scan run;
    run.scan.scan_directory(tree.path());
    EXPECT_EQ(run.scan.dirs_total, 3);
    EXPECT_EQ(run.scan.dirs_reparse, 1);
    EXPECT_EQ(run.scan.files_total, 1);  // plain/f
    // The PATH, a-first and plain, the last as a worker read it.
    EXPECT_EQ(tree.calls().entered + tree.calls().adopted, 3);
    EXPECT_EQ(tree.calls().opened_ahead, ahead ? 1 : 0);
    EXPECT_EQ(tree.calls().adopted, ahead ? 1 : 0);
  }
}

// A symbolic link hard-linked into two places (cp -al) with a relative
// target, which leads to a directory from one name and nowhere from the
// other. Its kind cannot come from its target: it is a file at both names,
// one file of two links, both names listed, counted once; and never
// entered, as no link is.
TEST(Walk, ALinkOfSeveralNamesIsAFileAtEveryNameWhereverItLeads) {
  for (const bool a_first : {true, false}) {
    SCOPED_TRACE(a_first ? "a first" : "b first");
    fake_tree tree;
    tree.file("a/dir/inside", 1);
    tree.directory("b");
    tree.relative_symlink("a/link", "dir");
    tree.hard_link("a/link", "b/link");
    captured_scan run;
    run.scan.keep_all_names = false;
    run.scan.listed_link_counts = {2};
    const char* const order[] = {a_first ? "a" : "b", a_first ? "b" : "a"};
    for (const char* top : order) run.scan.scan_directory(tree.path(top));

    EXPECT_EQ(run.scan.files_total, 3);  // the link at both names, a/dir/inside
    EXPECT_EQ(run.scan.files_symlink, 2);
    EXPECT_EQ(run.scan.dirs_total, 1);  // a/dir alone
    EXPECT_EQ(run.scan.dirs_normal, 1);
    EXPECT_EQ(run.scan.dirs_symlink, 0);
    const _scandata_hardlinkcount_info& two = run.scan.hardlinkcounts.at(2);
    EXPECT_EQ(two.file_count, 2);
    EXPECT_EQ(two.distinct_files, 1);
    EXPECT_EQ(names_by_first_meeting(run.scan, 2),
              (std::vector<native_string>{tree.path(order[0]) + platform::path_separator + T("link"),
                                          tree.path(order[1]) + platform::path_separator + T("link")}));
    EXPECT_EQ(run.scan.unique_files, 2u);
    EXPECT_EQ(run.scan.naive_size, 1 + 3 + 3);  // the link's size is its target's length
    EXPECT_EQ(run.scan.unique_size, 1 + 3);
    EXPECT_EQ(run.scan.progress_ticks, 3);  // a, b and a/dir: never a link
  }
}

// Measured by allocation, a link to a directory takes its own space like
// any entry, but a mount point's is that of the other volume's top, which
// the walk never enters: it adds nothing, as with du -x.
TEST(Walk, AllocatedSpaceHoldsDirectoriesAndLinksButNoMountPoints) {
  fake_tree tree;
  tree.file("dir/inside", 1);
  tree.symlink("dir-link", "dir");
  tree.mount("mnt");
  tree.special("fifo");
  set_allocated(tree, {{"", 100000}, {"dir", 10000}, {"dir/inside", 1000}, {"dir-link", 100},
                       {"mnt", 10}, {"fifo", 1}});
  captured_scan run;
  run.scan.measure_sizes(size_measure::allocated);
  run.scan.scan_directory(tree.path());
  EXPECT_EQ(run.scan.naive_size, 111101);
  EXPECT_EQ(run.scan.unique_size, 111101);
  // The same PATH again: every name counts again, every directory once.
  run.scan.scan_directory(tree.path());
  EXPECT_EQ(run.scan.naive_size, 222202);
  EXPECT_EQ(run.scan.unique_size, 111101);
}

TEST(Walk, APathThatIsALinkToADirectoryIsWalked) {
  fake_tree tree;
  tree.file("real/f");
  tree.symlink("link", "real");
  captured_scan run;
  run.scan.scan_directory(tree.path("link"));
  EXPECT_EQ(run.scan.files_total, 1);
  EXPECT_EQ(names_by_first_meeting(run.scan, 1), std::vector<native_string>{tree.path("link/f")});
}

TEST(Walk, ADirectoryMetAgainBelowItselfIsCountedButNotEntered) {
  // A bind mount of the tree inside itself that the system does not flag:
  // only the identities of the directories on the way down tell the cycle.
  fake_tree tree;
  tree.file("sub/file");
  tree.bind("", "sub/loop");
  captured_scan run;
  run.scan.scan_directory(tree.path());
  EXPECT_EQ(run.scan.files_total, 1);
  EXPECT_EQ(run.scan.dirs_total, 2);  // sub and sub/loop
  EXPECT_EQ(run.scan.dirs_normal, 2);
  EXPECT_EQ(run.scan.progress_ticks, 2);
  EXPECT_EQ(run.scan.scan_errors, 0);
}

TEST(Walk, EveryEntryIsExaminedOnceAndEveryDirectoryListedOnce) {
  fake_tree tree;
  tree.file("a");
  tree.file("D/b");
  tree.file("D/E/c");
  tree.hard_link("D/b", "D/E/b2");
  captured_scan run;
  run.scan.scan_directory(tree.path());
  const platform::fake_calls calls = tree.calls();
  EXPECT_EQ(calls.examined, 6);
  EXPECT_EQ(calls.listed, 3);
  EXPECT_EQ(calls.entered, 3);
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
void make_mixed_tree(const fake_tree& tree) {
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
  fake_tree tree;
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
  fake_tree tree;
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

// A directory reached twice by one walk (a bind mount the system does not
// flag): its names count twice, its files once, whatever the run keeps.
TEST(Walk, ADirectoryReachedTwiceByOneWalkAddsOnlyNames) {
  fake_tree tree;
  make_mixed_tree(tree);
  tree.bind("a/b", "a/b-again");
  const tallies twice = scan_tallies({tree.path("a")}, {});
  EXPECT_EQ(twice, (tallies{12, 212641, 54321, 5, {1, 5, 3, 2, 3, 1, 3, 4, 1}}));
  EXPECT_EQ(scan_tallies({tree.path("a")}, {1, 2, 3}), twice);
}

}  // namespace

}  // namespace scan
