// The space-by-path section: its layout byte for byte under two digit
// groupings, and the largest figures it can be given.
#include <algorithm>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "report/report_format.h"
#include "report/report_test_util.h"

namespace {

using report_test::T;

// The figures of two snapshots, the second a hard-linked copy of the first
// with one file replaced, as the README's example makes them.
_scandata snapshots_scan() {
  _scandata scan;
  scan.files_total = 10;
  scan.unique_files = 6;
  scan.space.paths = {{5, 5, 120047, 10}, {5, 5, 120055, 18}};
  scan.space.unique_size = 120065;
  scan.space.freed = 120065;
  return scan;
}

const char kSnapshotsSection[] =
    "\n"
    "Space by Path\n"
    "=============\n"
    "\n"
    "       Files  Unique Files           Unique size      Freed if deleted  Path\n"
    "           5             5               120,047                    10  /tmp/demo/mon\n"
    "           5             5               120,055                    18  /tmp/demo/tue\n"
    "          10             6               120,065               120,065  <all paths>\n"
    "\n"
    "Held by names outside the paths:                    0 (  0%)\n";

native_string section(const _scandata& scan, const std::vector<native_string>& paths,
                      char separator = ',') {
  report_test::report_stream stream(separator);
  print_space_by_path(stream.out, scan, paths);
  return stream.out.str();
}

TEST(SpaceReport, SnapshotsUnderTwoGroupingsOfTheUsersLocale) {
  const std::vector<native_string> paths = {T("/tmp/demo/mon"), T("/tmp/demo/tue")};
  EXPECT_EQ(T(kSnapshotsSection), section(snapshots_scan(), paths));
  std::string german = kSnapshotsSection;
  std::replace(german.begin(), german.end(), ',', '.');
  EXPECT_EQ(T(german), section(snapshots_scan(), paths, '.'));
}

TEST(SpaceReport, HeldByNamesOutsideIsAShareOfTheUniqueSize) {
  _scandata scan;
  scan.files_total = 5;
  scan.unique_files = 5;
  scan.space.paths = {{5, 5, 120055, 18}};
  scan.space.unique_size = 120055;
  scan.space.freed = 18;
  const std::vector<native_string> lines =
      report_test::lines_of(section(scan, {T("/tmp/demo/tue")}));
  ASSERT_EQ(9u, lines.size());
  EXPECT_EQ(T("           5             5               120,055                    18  <all paths>"),
            lines[6]);
  EXPECT_EQ(T("Held by names outside the paths:              120,037 (100%)"), lines[8]);
}

TEST(SpaceReport, LargestFiguresFillTheirColumns) {
  const std::int64_t max = std::numeric_limits<std::int64_t>::max();
  _scandata scan;
  scan.files_total = 999999999;
  scan.unique_files = 999999999;
  scan.space.paths = {{999999999, 999999999, max, max}};
  scan.space.unique_size = max;
  scan.space.freed = 0;
  const std::vector<native_string> lines = report_test::lines_of(section(scan, {T("/big")}));
  ASSERT_EQ(9u, lines.size());
  // Grouped, the largest size is 25 characters: it pushes its line right.
  EXPECT_EQ(T(" 999,999,999   999,999,999  9,223,372,036,854,775,807  "
              "9,223,372,036,854,775,807  /big"),
            lines[5]);
  EXPECT_EQ(T("Held by names outside the paths: 9,223,372,036,854,775,807 (100%)"), lines[8]);
}

}  // namespace
