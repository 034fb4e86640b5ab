// The progress display, byte for byte.
#include <gtest/gtest.h>

#include "testing/text_test_util.h"
#include "scan/scandata.h"

namespace scan {

namespace {

native_string ticks(int count, bool verbose = false) {
  native_ostringstream out;
  _scandata scan;
  scan.verbose = verbose;
  scan.out = &out;
  for (int i = 0; i < count; ++i) scan.progress();
  scan.progress_done();
  return out.str();
}

const std::string heading = "Scanning directories and files";
const std::string rewind(5, '\b');

TEST(Progress, FewerThan101TicksShowOnlyTheHeadingAndFiveDots) {
  EXPECT_EQ(ticks(1), T(heading + ".....\n"));
  EXPECT_EQ(ticks(100), T(heading + ".....\n"));
}

TEST(Progress, TheBarGrowsEveryHundredTicksAndStartsOverAt501) {
  EXPECT_EQ(ticks(101), T(heading + ".    " + rewind + ".....\n"));
  EXPECT_EQ(ticks(401), T(heading + ".    " + rewind + "..   " + rewind + "...  " + rewind +
                             ".... " + rewind + ".....\n"));
  EXPECT_EQ(ticks(501), T(heading + ".    " + rewind + "..   " + rewind + "...  " + rewind +
                             ".... " + rewind + "     " + rewind + ".....\n"));
  const native_string after601 = ticks(601);
  EXPECT_EQ(after601.substr(after601.size() - 16), T(".    " + rewind + ".....\n"));
}

TEST(Progress, VerboseModeRepeatsItsTextAndLeavesTheLineOpen) {
  EXPECT_EQ(ticks(3, true), T(heading + "..." + heading + "..." + heading + "..."));
}

TEST(Progress, ADrawingTickLeavesTheFillAtBackspace) {
  native_ostringstream out;
  _scandata scan;
  scan.out = &out;
  for (int i = 0; i < 101; ++i) scan.progress();
  EXPECT_EQ(out.fill(), native_char('\b'));
  EXPECT_EQ(scan.progress_ticks, 101);
}

}  // namespace

}  // namespace scan
