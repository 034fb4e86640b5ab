#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "report/report_format.h"
#include "testing/report_test_util.h"

namespace report {

namespace {

platform::file_identity id(std::int64_t key) { return platform::file_identity{1, key}; }

void keep_names(scan::_scandata& scan, platform::file_identity file,
                std::initializer_list<native_string> names) {
  scan.filenames_by_key[file].names = std::make_unique<std::vector<native_string>>(names);
}

// Two trees: C:\Data holds a.txt, b.txt and the directory sub with
// b-copy.txt (a second name of b.txt) and c.log; C:\Other holds d.bin and
// link.txt, a symbolic link. The keys are not in the order the files were
// met, so a listing that follows the keys instead shows.
scan::_scandata example_scan() {
  const std::int64_t a = 40, b = 50, c = 10, d = 30, link = 20;
  scan::_scandata scan;
  scan.files_total = 6;
  scan.files_normal = 5;
  scan.files_symlink = 1;
  scan.dirs_total = 1;
  scan.dirs_normal = 1;
  scan.unique_files = 5;
  scan.naive_size = 2505096;
  scan.unique_size = 2255096;
  scan.hardlinkcounts[1] = {4, 4, {id(a), id(c), id(d), id(link)}};
  scan.hardlinkcounts[2] = {2, 1, {id(b)}};
  keep_names(scan, id(a), {T("C:\\Data\\a.txt")});
  keep_names(scan, id(b), {T("C:\\Data\\b.txt"), T("C:\\Data\\sub\\b-copy.txt")});
  keep_names(scan, id(c), {T("C:\\Data\\sub\\c.log")});
  keep_names(scan, id(d), {T("C:\\Other\\d.bin")});
  keep_names(scan, id(link), {T("C:\\Other\\link.txt")});
  return scan;
}

const char kExampleSummary[] =
    "\n"
    "Summary of Directories\n"
    "======================\n"
    "\n"
    "Directories scanned:\n"
    "  C:\\Data\n"
    "  C:\\Other\n"
    "\n"
    "Attributes:   Files              Directories      \n"
    "  <total>              6                  1\n"
    "  Normal               5 ( 83%)           1 (100%)\n"
    "  Symlink              1 ( 17%)           0 (  0%)\n"
    "  Reparse              0 (  0%)           0 (  0%)\n"
    "  Skipped              0 (  0%)           0 (  0%)\n"
    "\n"
    "Hardlinks:    Files              Unique Files     \n"
    "  <total>              6                  5 ( 83%)\n"
    "  1                    4 ( 67%)           4 ( 80%)\n"
    "  2                    2 ( 33%)           1 ( 20%)\n"
    "\n"
    "Files with 2 hardlinks:\n"
    "  C:\\Data\\b.txt\n"
    "  C:\\Data\\sub\\b-copy.txt\n"
    "\n"
    "Files with 1 hardlinks:\n"
    "  C:\\Data\\a.txt\n"
    "  ----------------------------------------\n"
    "  C:\\Data\\sub\\c.log\n"
    "  ----------------------------------------\n"
    "  C:\\Other\\d.bin\n"
    "  ----------------------------------------\n"
    "  C:\\Other\\link.txt\n"
    "\n"
    "Naive file size:             2,505,096\n"
    "Unique file size:            2,255,096 ( 90%)\n"
    "Difference:                    250,000 ( 10%)\n";

native_string summary(const scan::_scandata& scan, const std::vector<native_string>& directories,
                      const std::vector<std::int32_t>& counts, char separator = ',') {
  report_test::report_stream stream(separator);
  print_summary(stream.out, scan, directories, counts);
  return stream.out.str();
}

const std::vector<native_string> kExampleDirectories = {T("C:\\Data"), T("C:\\Other")};

TEST(SummaryTest, ExampleUnderTwoGroupingsOfTheUsersLocale) {
  EXPECT_EQ(T(kExampleSummary), summary(example_scan(), kExampleDirectories, {2, 3, 1}));

  // The same columns with '.' between the groups: the fields count the
  // separators whichever they are.
  std::string german = kExampleSummary;
  std::replace(german.begin(), german.end(), ',', '.');
  EXPECT_EQ(T(german), summary(example_scan(), kExampleDirectories, {2, 3, 1}, '.'));
}

TEST(SummaryTest, ASeparatorOfSeveralBytesKeepsTheColumns) {
  // French groups with U+202F, three bytes of UTF-8: each takes one place,
  // so every line ends where it does with ','.
  const native_string space = report_test::narrow_no_break_space();
  native_string french;
  for (char c : std::string(kExampleSummary)) {
    if (c == ',')
      french += space;
    else
      french += native_char(c);
  }
  report_test::report_stream stream(report_test::grouping_locale(space, 1, "\3"));
  print_summary(stream.out, example_scan(), kExampleDirectories, {2, 3, 1});
  EXPECT_EQ(french, stream.out.str());
}

TEST(SummaryTest, TreeWithoutFilesSharesNothing) {
  const native_string expected = T(
      "\n"
      "Summary of Directories\n"
      "======================\n"
      "\n"
      "Directories scanned:\n"
      "  C:\\Empty\n"
      "\n"
      "Attributes:   Files              Directories      \n"
      "  <total>              0                  0\n"
      "  Normal               0 (  0%)           0 (  0%)\n"
      "  Symlink              0 (  0%)           0 (  0%)\n"
      "  Reparse              0 (  0%)           0 (  0%)\n"
      "  Skipped              0 (  0%)           0 (  0%)\n"
      "\n"
      "Hardlinks:    Files              Unique Files     \n"
      "  <total>              0                  0 (  0%)\n"
      "\n"
      "Naive file size:                     0\n"
      "Unique file size:                    0 (  0%)\n"
      "Difference:                          0 (  0%)\n");
  EXPECT_EQ(expected, summary(scan::_scandata(), {T("C:\\Empty")}, {1}));
}

TEST(SummaryTest, WideValuesPushTheirLineRight) {
  scan::_scandata scan;
  scan.files_total = 123456789;
  scan.files_normal = 12345678;
  scan.files_skipped = 123456789 - 12345678;
  scan.dirs_total = 1;
  scan.dirs_skipped = 1;
  const std::vector<native_string> lines = report_test::lines_of(summary(scan, {T("x")}, {}));
  ASSERT_GE(lines.size(), 13u);
  // 12,345,678 fills its column exactly; 123,456,789 takes one place more.
  EXPECT_EQ(T("  <total>     123,456,789                  1"), lines[8]);
  EXPECT_EQ(T("  Normal      12,345,678 ( 10%)           0 (  0%)"), lines[9]);
  EXPECT_EQ(T("  Skipped     111,111,111 ( 90%)           1 (100%)"), lines[12]);
}

TEST(SummaryTest, LargeLinkCountsAreGroupedAndOnlyTheyAreLeftAligned) {
  scan::_scandata scan;
  scan.files_total = 4;
  scan.unique_files = 2;
  scan.naive_size = 2048;
  scan.unique_size = 1024;
  scan.hardlinkcounts[1024] = {3, 1, {id(7)}};
  scan.hardlinkcounts[2000] = {1, 1, {id(8)}};
  keep_names(scan, id(7), {T("/a"), T("/b"), T("/c")});
  keep_names(scan, id(8), {T("/d")});
  const std::vector<native_string> lines =
      report_test::lines_of(summary(scan, {T("/")}, {1024}));
  ASSERT_EQ(27u, lines.size());
  EXPECT_EQ(T("  1,024                3 ( 75%)           1 ( 50%)"), lines[16]);
  EXPECT_EQ(T("  2,000                1 ( 25%)           1 ( 50%)"), lines[17]);
  EXPECT_EQ(T("Files with 1,024 hardlinks:"), lines[19]);
  // Right alignment is back for the sizes.
  EXPECT_EQ(T("Naive file size:                 2,048"), lines[24]);
}

// The totals stop at the end of the 64-bit range (see the tally); the
// difference is that of the totals shown, and never wraps.
TEST(SummaryTest, TheDifferenceOfTotalsAtTheEndsOfTheRangeDoesNotWrap) {
  const std::int64_t max = std::numeric_limits<std::int64_t>::max();
  scan::_scandata scan;
  scan.naive_size = max;
  scan.unique_size = std::int64_t{1} << 62;
  std::vector<native_string> lines = report_test::lines_of(summary(scan, {T("/")}, {}));
  ASSERT_EQ(20u, lines.size());
  EXPECT_EQ(T("Naive file size:  9,223,372,036,854,775,807"), lines[17]);
  EXPECT_EQ(T("Unique file size: 4,611,686,018,427,387,904 ( 50%)"), lines[18]);
  EXPECT_EQ(T("Difference:       4,611,686,018,427,387,903 ( 50%)"), lines[19]);

  // A negative size, which no volume should report, must not wrap either.
  scan.unique_size = -1;
  lines = report_test::lines_of(summary(scan, {T("/")}, {}));
  ASSERT_EQ(20u, lines.size());
  EXPECT_EQ(T("Difference:       9,223,372,036,854,775,807 (100%)"), lines[19]);
  scan.naive_size = std::numeric_limits<std::int64_t>::min();
  scan.unique_size = 1;
  lines = report_test::lines_of(summary(scan, {T("/")}, {}));
  ASSERT_EQ(20u, lines.size());
  EXPECT_EQ(T("Difference:       -9,223,372,036,854,775,808 (100%)"), lines[19]);
}

TEST(SummaryTest, ListingsFollowTheCountsAsGiven) {
  scan::_scandata scan = example_scan();
  // A third file with two links, whose names the run did not keep.
  scan.hardlinkcounts[2].file_ids.push_back(id(60));
  ++scan.hardlinkcounts[2].distinct_files;
  scan.filenames_by_key[id(60)];
  // 2 twice, counts nobody has (3, 0, -1) left out, 1 after 2.
  const std::vector<native_string> lines =
      report_test::lines_of(summary(scan, kExampleDirectories, {2, 3, 0, 2, -1, 1}));
  const std::vector<native_string> listing_of_2 = {
      T(""), T("Files with 2 hardlinks:"), T("  C:\\Data\\b.txt"),
      T("  C:\\Data\\sub\\b-copy.txt"), T("  ----------------------------------------")};
  ASSERT_EQ(42u, lines.size());
  EXPECT_EQ(listing_of_2, std::vector<native_string>(lines.begin() + 19, lines.begin() + 24));
  EXPECT_EQ(listing_of_2, std::vector<native_string>(lines.begin() + 24, lines.begin() + 29));
  EXPECT_EQ(T("Files with 1 hardlinks:"), lines[30]);
  EXPECT_EQ(T("  C:\\Other\\link.txt"), lines[37]);
  EXPECT_EQ(T(""), lines[38]);
}

}  // namespace

}  // namespace report
