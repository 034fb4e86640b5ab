// Tests of the run sequence that need no real tree: what it prints around
// the scanner and the reports, and in which order.
#include "cli/run.h"

#include "base/error_codes.h"
#include "base/error_message.h"
#include "program/arguments.h"
#include "testing/filesystem-fake.h"
#include "testing/report_test_util.h"
#include "testing/text_test_util.h"

#include <string>
#include <utility>

#include <gtest/gtest.h>

namespace cli {

namespace {

// Relative, so that it names nothing on either platform.
const char missing[] = "twinfind-no-such-entry";

// The line a run without verbose mode ends with when it met `count` errors.
native_string errors_line(int count) {
  return T("twinfind: errors while scanning: " + std::to_string(count) + " (run with ") +
         platform::option_prefix + T("V to see them)\n");
}

// The line for a PATH that could not be scanned at all, for `error`.
native_string cannot_scan_line(const native_string& path, platform::error_code error) {
  return T("twinfind: cannot scan '") + path + T("': ") + platform::error_message(error) +
         T("\n");
}

struct run_result {
  int code;
  native_string out;
  native_string err;
  native_char fill_after;
};

run_result run_with(const command_line& parsed) {
  native_ostringstream out;
  native_ostringstream err;
  out.fill('#');  // as a progress bar might leave it
  run_result result;
  result.code = run(parsed, out, err);
  result.out = out.str();
  result.err = err.str();
  result.fill_after = out.fill();
  return result;
}

TEST(Run, BreakdownsOnlyPrintNoSummary) {
  command_line parsed;
  parsed.files.push_back(T(missing));
  parsed.list_files_for_hardlinkcount.push_back(1);  // no summary to list in
  run_result r = run_with(parsed);
  // One tick, the end of the progress line, and no report: the breakdown of
  // a missing file collects nothing. That is an error, which the run says
  // in one line after everything else and in its exit code.
  EXPECT_EQ(T("Scanning directories and files.....\n"), r.out);
  EXPECT_EQ(exit_scan_error, r.code);
  EXPECT_EQ(errors_line(1), r.err);
}

TEST(Run, MissingPathStillGetsASummary) {
  command_line parsed;
  parsed.directories.push_back(T(missing));
  parsed.files.push_back(T(missing));
  run_result r = run_with(parsed);
  // The missing PATH, named, and the missing -F file: two errors.
  EXPECT_EQ(exit_scan_error, r.code);
  EXPECT_EQ(cannot_scan_line(T(missing), platform::fake_no_such_entry) + errors_line(2), r.err);
  const native_string head = T(
      "Scanning directories and files.....\n"
      "\n"
      "Summary of Directories\n"
      "======================\n"
      "\n"
      "Directories scanned:\n"
      "  twinfind-no-such-entry\n"
      "\n");
  ASSERT_GE(r.out.size(), head.size());
  EXPECT_EQ(head, r.out.substr(0, head.size()));
  // Nothing was found; the columns are padded with spaces, whatever fill
  // the stream had before.
  std::size_t naive = r.out.find(T("\nNaive file size:"));
  ASSERT_NE(native_string::npos, naive);
  std::size_t line_end = r.out.find('\n', naive + 1);
  native_string line = r.out.substr(naive + 1, line_end - naive - 1);
  EXPECT_EQ(T(" 0"), line.substr(line.size() - 2));
  EXPECT_EQ(native_string::npos, r.out.find('#'));
  EXPECT_EQ(' ', r.fill_after);
  EXPECT_EQ(native_string::npos, r.out.find(T("Breakdown for")));
}

TEST(Run, VerboseReachesTheScanner) {
  command_line parsed;
  parsed.files.push_back(T(missing));
  parsed.verbose = true;
  run_result r = run_with(parsed);
  EXPECT_EQ(exit_scan_error, r.code);
  // The verbose progress text, and no bar of five dots.
  EXPECT_EQ(T("Scanning directories and files..."), r.out.substr(0, 33));
  EXPECT_EQ(native_string::npos, r.out.find(T(".....")));
  // Verbose mode printed the error itself: no count line after it.
  EXPECT_NE(native_string::npos, r.out.find(T("Error finding \"twinfind-no-such-entry\": 0x")));
  EXPECT_EQ(native_string(), r.err);
}

TEST(Run, CleanRunExitsZeroWithNothingOnStandardError) {
  command_line parsed;  // no PATH and no -F: nothing can fail
  run_result r = run_with(parsed);
  EXPECT_EQ(exit_success, r.code);
  EXPECT_EQ(native_string(), r.err);
}

TEST(Run, SpaceByPathComesBetweenTheSummaryAndTheBreakdownsAndNeedsAPath) {
  platform::fake_tree tree;
  tree.file("f", 4);
  command_line parsed;
  parsed.directories = {tree.path()};
  parsed.list_files_for_hardlinkcount = {1};
  parsed.files = {tree.path("f")};
  parsed.space_by_path = true;
  const native_string out = run_with(parsed).out;
  const std::size_t listing = out.find(T("Files with 1 hardlinks:"));
  const std::size_t difference = out.find(T("\nDifference: "));
  const std::size_t space = out.find(T("\n\nSpace by Path\n"));
  const std::size_t held = out.find(T("\nHeld by names outside the paths: "));
  const std::size_t breakdown = out.find(T("\n\nBreakdown for \""));
  EXPECT_TRUE(listing < difference && difference < space && space < held && held < breakdown)
      << listing << " " << difference << " " << space << " " << held << " " << breakdown;
  parsed.directories.clear();  // only -F: no summary, so no section
  EXPECT_EQ(native_string::npos, run_with(parsed).out.find(T("Space by Path")));
}

// The space by directory comes after the space by path and before the
// breakdowns, needs a PATH, and changes nothing else of the report.
TEST(Run, SpaceByDirectoryFollowsTheSpaceByPathAndChangesNothingElse) {
  platform::fake_tree tree;
  tree.file("d/f", 4);
  tree.file("d/sub/g", 5);
  tree.hard_link("d/sub/g", "d/g-again");
  command_line parsed;
  parsed.directories = {tree.path("d")};
  parsed.list_files_for_hardlinkcount = {2};
  parsed.files = {tree.path("d/f")};
  const native_string section = T("\n\nSpace by Directory\n");
  // With the space by path before it, and without: then it follows the
  // summary.
  for (const bool space_by_path : {true, false}) {
    parsed.space_by_path = space_by_path;
    parsed.directory_depth = -1;
    const native_string plain = run_with(parsed).out;
    parsed.directory_depth = 1;
    const native_string out = run_with(parsed).out;
    const std::size_t before =
        out.find(space_by_path ? T("\nHeld by names outside the paths: ") : T("\nDifference: "));
    const std::size_t directories = out.find(section);
    const std::size_t breakdown = out.find(T("\n\nBreakdown for \""));
    ASSERT_TRUE(before < directories && directories < breakdown);
    const native_string rows = out.substr(directories, breakdown + 1 - directories);
    EXPECT_NE(native_string::npos,
              rows.find(T("           3                     9                     9  ") +
                        tree.path("d") + T("\n")));
    EXPECT_NE(native_string::npos,
              rows.find(T("           1                     5                     0  ") +
                        tree.path("d/sub") + T("\n")));
    native_string without = out;
    without.erase(directories + 1, breakdown - directories);
    EXPECT_EQ(plain, without);
  }
  parsed.directories.clear();  // only -F: no summary, so no section
  EXPECT_EQ(native_string::npos, run_with(parsed).out.find(T("Space by Directory")));
}

// The space by path in order comes after the space by path, or alone
// after the summary, before the space by directory, and changes nothing
// else of the report.
TEST(Run, SpaceInOrderFollowsTheSpaceByPathAndChangesNothingElse) {
  platform::fake_tree tree;
  tree.file("old/f", 4);
  tree.hard_link("old/f", "new/f");
  tree.file("new/g", 5);
  command_line parsed;
  parsed.directories = {tree.path("old"), tree.path("new")};
  parsed.files = {tree.path("new/g")};
  parsed.directory_depth = 0;
  const native_string section = T("\n\nSpace by Path in Order\n");
  for (const bool space_by_path : {true, false}) {
    parsed.space_by_path = space_by_path;
    parsed.space_in_order = false;
    const native_string plain = run_with(parsed).out;
    parsed.space_in_order = true;
    const native_string out = run_with(parsed).out;
    const std::size_t before =
        out.find(space_by_path ? T("\nHeld by names outside the paths: ") : T("\nDifference: "));
    const std::size_t in_order = out.find(section);
    const std::size_t directories = out.find(T("\n\nSpace by Directory\n"));
    ASSERT_TRUE(before < in_order && in_order < directories) << out;
    const native_string rows = out.substr(in_order, directories + 1 - in_order);
    // old adds f and frees nothing; with new, both files.
    EXPECT_NE(native_string::npos,
              rows.find(T("          1                     4            0                        0  ") +
                        tree.path("old") + T("\n")));
    EXPECT_NE(native_string::npos,
              rows.find(T("          1                     5            2                        9  ") +
                        tree.path("new") + T("\n")));
    native_string without = out;
    without.erase(in_order + 1, directories - in_order);
    EXPECT_EQ(plain, without);
  }
  parsed.directories.clear();  // only -F: no summary, so no section
  EXPECT_EQ(native_string::npos, run_with(parsed).out.find(T("Space by Path")));
}

// Files of three lengths with three other allocations, one of them linked
// across the two PATHs; with `swapped`, each file's length is the other
// tree's allocation. Directories take nothing on disk here.
void make_measured_tree(const platform::fake_tree& tree, bool swapped) {
  struct measured {
    const char* name;
    std::int64_t length, allocated;
  };
  for (const measured& f : {measured{"a/one", 10, 4096}, measured{"a/two", 5000, 8192},
                            measured{"b/sparse", std::int64_t{1} << 40, 0}}) {
    tree.file(f.name, swapped ? f.allocated : f.length);
    if (!swapped) tree.set_allocated(f.name, f.allocated);
  }
  tree.hard_link("a/two", "b/two-again");
}

TEST(Run, AllocatedSizesTakeThePlaceOfLengthsEverywhereUnderTheirOwnLabels) {
  command_line parsed;
  parsed.list_files_for_hardlinkcount = {2};
  parsed.space_by_path = true;
  native_string allocated, lengths, plain;
  {
    platform::fake_tree tree;
    make_measured_tree(tree, false);
    parsed.directories = {tree.path("a"), tree.path("b")};
    parsed.files = {tree.path("a/two")};
    plain = run_with(parsed).out;
    parsed.allocated = true;
    allocated = run_with(parsed).out;
  }
  {
    platform::fake_tree tree;
    make_measured_tree(tree, true);
    parsed.allocated = false;
    lengths = run_with(parsed).out;
  }
  // The same report as that of files whose lengths are these allocations,
  // but for the four labels, which keep their widths.
  for (const auto& [from, to] : {std::pair<const char*, const char*>{"Naive file size:  ", "Naive allocated:  "},
                                 {"Unique file size: ", "Unique allocated: "}}) {
    int replaced = 0;
    for (std::size_t at = 0; (at = lengths.find(T(from), at)) != native_string::npos; ++replaced)
      lengths.replace(at, T(from).size(), T(to));
    EXPECT_EQ(2, replaced) << from;  // the summary's and the breakdown's
  }
  EXPECT_EQ(lengths, allocated);
  EXPECT_NE(native_string::npos, plain.find(T("Naive file size: ")));
  EXPECT_NE(plain, allocated);
}

// Without verbose mode, a PATH that could not be scanned at all is named
// after the report, in place of the count when such lines are every error
// and before it otherwise; a PATH scanned in part is not, nor is any PATH
// in verbose mode. Standard output is that of the same run in verbose mode
// but for the verbose lines, so it is checked here only to be there.
TEST(Run, APathThatCouldNotBeScannedIsNamedInPlaceOfTheCountOrBeforeIt) {
  platform::fake_tree tree;
  tree.file("file", 3);
  tree.file("denied/x", 1);
  tree.file("closed/x", 1);
  tree.file("cut/x", 1);
  tree.file("good/sub/x", 1);
  tree.fail(platform::fake_operation::list, "denied", 13);
  tree.fail(platform::fake_operation::enter, "closed", 5);
  tree.fail(platform::fake_operation::list_cut_short, "cut", 13);
  tree.fail(platform::fake_operation::list, "good/sub", 13);
  const native_string gone = tree.path("gone"), file = tree.path("file");
  const native_string denied = tree.path("denied"), closed = tree.path("closed");
  const struct {
    std::vector<native_string> paths;
    native_string err;
  } cases[] = {
      {{gone}, cannot_scan_line(gone, platform::fake_no_such_entry)},
      {{file}, cannot_scan_line(file, platform::not_a_directory_error)},
      {{denied}, cannot_scan_line(denied, 13)},
      {{closed}, cannot_scan_line(closed, 5)},
      // Every PATH, each once, in command-line order: still every error.
      {{file, tree.path("good/x-less"), gone, gone},
       cannot_scan_line(file, platform::not_a_directory_error) +
           cannot_scan_line(tree.path("good/x-less"), platform::fake_no_such_entry) +
           cannot_scan_line(gone, platform::fake_no_such_entry) +
           cannot_scan_line(gone, platform::fake_no_such_entry)},
      // Other errors too: the lines, then the count of them all.
      {{gone, tree.path("good")}, cannot_scan_line(gone, platform::fake_no_such_entry) +
                                      errors_line(2)},
      // Read in part, or below: no PATH to name.
      {{tree.path("cut")}, errors_line(1)},
      {{tree.path("good")}, errors_line(1)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.paths[0].begin(), c.paths[0].end()));
    command_line parsed;
    parsed.directories = c.paths;
    const run_result quiet = run_with(parsed);
    EXPECT_EQ(exit_scan_error, quiet.code);
    EXPECT_EQ(c.err, quiet.err);
    EXPECT_NE(native_string::npos, quiet.out.find(T("\nDifference: ")));
    parsed.verbose = true;
    const run_result verbose = run_with(parsed);
    EXPECT_EQ(exit_scan_error, verbose.code);
    EXPECT_EQ(native_string::npos, verbose.err.find(T("cannot scan"))) << verbose.err.size();
    EXPECT_EQ(native_string::npos, verbose.err.find(T("errors while scanning")));
  }
  // The JSON report lists its errors in the document: nothing on standard
  // error, as before.
  command_line parsed;
  parsed.directories = {gone};
  parsed.json = true;
  const run_result json = run_with(parsed);
  EXPECT_EQ(exit_scan_error, json.code);
  EXPECT_EQ(native_string(), json.err);
}

// -U changes every size of the text reports and nothing else; the JSON
// report keeps its bytes.
TEST(Run, SizesInUnitsChangeOnlyTheSizes) {
  platform::fake_tree tree;
  make_measured_tree(tree, false);
  command_line parsed;
  parsed.directories = {tree.path("a"), tree.path("b")};
  parsed.files = {tree.path("a/two")};
  parsed.space_by_path = true;
  parsed.space_in_order = true;
  parsed.directory_depth = 0;
  const native_string bytes = run_with(parsed).out;
  parsed.sizes_in_units = true;
  const native_string units = run_with(parsed).out;
  const std::vector<native_string> before = report_test::lines_of(bytes);
  const std::vector<native_string> after = report_test::lines_of(units);
  ASSERT_EQ(before.size(), after.size());
  // The lines with sizes, as -U shows them, in the columns of the bytes.
  const native_string a = tree.path("a"), b = tree.path("b");
  const std::vector<native_string> sized = {
      T("Naive file size:               1.0 TiB"),
      T("Unique file size:              1.0 TiB (100%)"),
      T("Difference:                    4.9 KiB (  0%)"),
      T("           2             2               4.9 KiB                  10 B  ") + a,
      T("           2             2               1.0 TiB               1.0 TiB  ") + b,
      T("           4             3               1.0 TiB               1.0 TiB  <all paths>"),
      T("Held by names outside the paths:                  0 B (  0%)"),
      T("          2               4.9 KiB            1                     10 B  ") + a,
      T("          1               1.0 TiB            3                  1.0 TiB  ") + b,
      T("          3               1.0 TiB            3                  1.0 TiB  <all paths>"),
      T("           2               4.9 KiB                  10 B  ") + a,
      T("           2               1.0 TiB               1.0 TiB  ") + b,
      T("  Naive file size:     9.8 KiB"),
      T("  Unique file size:    4.9 KiB"),
  };
  std::size_t changed = 0;
  for (std::size_t i = 0; i < before.size(); ++i) {
    if (before[i] == after[i]) continue;
    ASSERT_LT(changed, sized.size()) << std::string(after[i].begin(), after[i].end());
    EXPECT_EQ(sized[changed], after[i]);
    ++changed;
  }
  EXPECT_EQ(sized.size(), changed);

  parsed.json = true;
  const native_string json_units = run_with(parsed).out;
  parsed.sizes_in_units = false;
  EXPECT_EQ(run_with(parsed).out, json_units);
}

}  // namespace

}  // namespace cli
