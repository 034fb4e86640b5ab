// The space-by-path and space-by-directory sections: their layout byte for
// byte under two digit groupings.
#include <algorithm>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "report/report_format.h"
#include "testing/report_test_util.h"

namespace report {

namespace {

// The figures of two snapshots, the second a hard-linked copy of the first
// with one file replaced, as the guide to the report's example makes them.
scan::_scandata snapshots_scan() {
  scan::_scandata scan;
  scan.files_total = 10;
  scan.unique_files = 6;
  scan.space.paths = {{5, 5, 120047, 10, 5, 120047, 1, 10}, {5, 5, 120055, 18, 1, 18, 6, 120065}};
  scan.space.unique_size = 120065;
  scan.space.freed = 120065;
  scan.space.freed_files = 6;
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

native_string section(const scan::_scandata& scan, const std::vector<native_string>& paths,
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

  // The second alone: what the first holds stays.
  scan::_scandata tue = snapshots_scan();
  tue.files_total = tue.unique_files = 5;
  tue.space.paths = {{5, 5, 120055, 18}};
  tue.space.unique_size = 120055;
  tue.space.freed = 18;
  EXPECT_EQ(T("Held by names outside the paths:              120,037 (100%)"),
            report_test::lines_of(section(tue, {T("/tmp/demo/tue")})).back());
}

// Deleting mon frees its old report; mon with tue, all six files.
const char kSnapshotsInOrder[] =
    "\n"
    "Space by Path in Order\n"
    "======================\n"
    "\n"
    "      Files            Added size        Files  Freed with those before  Path\n"
    "          5               120,047            1                       10  /tmp/demo/mon\n"
    "          1                    18            6                  120,065  /tmp/demo/tue\n"
    "          6               120,065            6                  120,065  <all paths>\n";

TEST(SpaceReport, SnapshotsInOrderUnderTwoGroupingsOfTheUsersLocale) {
  const std::vector<native_string> paths = {T("/tmp/demo/mon"), T("/tmp/demo/tue")};
  for (const char separator : {',', '.'}) {
    std::string grouped = kSnapshotsInOrder;
    std::replace(grouped.begin(), grouped.end(), ',', separator);
    report_test::report_stream stream(separator);
    print_space_in_order(stream.out, snapshots_scan(), paths);
    EXPECT_EQ(T(grouped), stream.out.str());
  }
}

scan::_scandata_directory_row& add_row(scan::_scandata& scan, const char* path, std::int32_t depth,
                                      std::int64_t files, std::int64_t unique_size,
                                      std::int64_t freed) {
  scan::_scandata_directory_row& row = scan.directories.add_row(T(path), depth);
  row.files = files;
  row.unique = unique_size;
  row.freeable = freed;
  return row;
}

TEST(SpaceReport, DirectoriesUnderTwoGroupingsOfTheUsersLocale) {
  scan::_scandata scan;
  add_row(scan, "/backups", 0, 1234567, 9876543210, 123456789);
  add_row(scan, "/backups/mon", 1, 5, 120047, 0);
  add_row(scan, "/backups/tue", 1, 0, 0, 0);
  add_row(scan, "/backups/big", 1, 7, std::numeric_limits<std::int64_t>::max(), 1);
  add_row(scan, "/backups/cut-short", 1, 1, 1, 1).shown = false;  // shows nothing
  const std::string expected =
      "\n"
      "Space by Directory\n"
      "==================\n"
      "\n"
      "       Files           Unique size      Freed if deleted  Directory\n"
      "   1,234,567         9,876,543,210           123,456,789  /backups\n"
      "           5               120,047                     0  /backups/mon\n"
      "           0                     0                     0  /backups/tue\n"
      "           7  9,223,372,036,854,775,807                     1  /backups/big\n";
  for (const char separator : {',', '.'}) {
    std::string grouped = expected;
    std::replace(grouped.begin(), grouped.end(), ',', separator);
    report_test::report_stream stream(separator);
    print_space_by_directory(stream.out, scan);
    EXPECT_EQ(T(grouped), stream.out.str());
  }
}

}  // namespace

}  // namespace report
