// The space-by-path section: its layout byte for byte under two digit
// groupings.
#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "report/report_format.h"
#include "testing/report_test_util.h"

namespace report {

namespace {

// The figures of two snapshots, the second a hard-linked copy of the first
// with one file replaced, as the README's example makes them.
scan::_scandata snapshots_scan() {
  scan::_scandata scan;
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

}  // namespace

}  // namespace report
