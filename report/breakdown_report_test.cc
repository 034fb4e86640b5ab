#include <cstdint>
#include <iomanip>
#include <ios>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "report/report_format.h"
#include "testing/report_test_util.h"

namespace report {

namespace {

// Records name their files' lists of names: 0 is the example's two names,
// 1 an empty list.
scan::_scandata_breakdown_fileinfo example_record() {
  scan::_scandata_breakdown_fileinfo info;
  info.filename = T("C:\\Data\\report.txt");
  info.file_key = 0x0003000000004A2F;
  info.file_links = 2;
  info.file_size = 1234567;
  info.kind = platform::entry_kind::normal;
  info.filenames = 0;
  return info;
}

platform::link_name_lists example_lists() {
  return {{T("\\Data\\report.txt"), T("\\Archive\\report-2019.txt")}, {}};
}

native_string breakdowns(const std::vector<scan::_scandata_breakdown_fileinfo>& records) {
  scan::_scandata scan;
  scan.breakdowns = records;
  scan.link_names = example_lists();
  report_test::report_stream stream;
  print_breakdowns(stream.out, scan);
  return stream.out.str();
}

TEST(BreakdownReportTest, Example) {
  // The ID has enough digits to be grouped, were it printed as a quantity.
  const native_string expected = T(
      "\n"
      "Breakdown for \"C:\\Data\\report.txt\"\n"
      "==================================\n"
      "  Unique ID:     3000000004a2f\n"
      "  Hardlink count:            2\n"
      "  Naive file size:   2,469,134 bytes\n"
      "  Unique file size:  1,234,567 bytes\n"
      "  Kind of file:         normal\n"
      "  Filenames:\n"
      "    \\Data\\report.txt\n"
      "    \\Archive\\report-2019.txt\n");
  EXPECT_EQ(expected, breakdowns({example_record()}));
  EXPECT_EQ(native_string(), breakdowns({}));
}

TEST(BreakdownReportTest, UnusualValues) {
  scan::_scandata_breakdown_fileinfo top_bit = example_record();
  top_bit.file_key = std::numeric_limits<std::int64_t>::min() | 0x4a2f;
  top_bit.kind = platform::entry_kind::symlink;
  top_bit.filenames = 1;

  scan::_scandata_breakdown_fileinfo big = example_record();
  big.filename = T("x");
  big.file_key = 0;
  big.file_links = 1024;
  big.file_size = 12345678901;
  big.kind = platform::entry_kind::reparse;

  const std::vector<native_string> lines = report_test::lines_of(breakdowns({top_bit, big}));
  ASSERT_EQ(20u, lines.size());
  EXPECT_EQ(T("  Unique ID:  8000000000004a2f"), lines[3]);
  EXPECT_EQ(T("  Kind of file:        symlink"), lines[7]);
  // No names: the next block's empty line follows at once.
  EXPECT_EQ(T("  Filenames:"), lines[8]);
  EXPECT_EQ(T(""), lines[9]);

  EXPECT_EQ(T("Breakdown for \"x\""), lines[10]);
  EXPECT_EQ(T("================="), lines[11]);
  EXPECT_EQ(T("  Unique ID:                 0"), lines[12]);
  EXPECT_EQ(T("  Hardlink count:        1,024"), lines[13]);
  EXPECT_EQ(T("  Naive file size:  12,641,975,194,624 bytes"), lines[14]);
  EXPECT_EQ(T("  Unique file size: 12,345,678,901 bytes"), lines[15]);
  EXPECT_EQ(T("  Kind of file:        reparse"), lines[16]);
}

// A 128-bit index whose high half is set shows all 32 digits, the low half's
// leading zeros too; one whose high half is 0 looks as a 64-bit one does.
TEST(BreakdownReportTest, WideIndexesShowEveryDigit) {
  scan::_scandata_breakdown_fileinfo wide = example_record();
  wide.file_key_high = 0x1f;
  wide.file_key = 0x4a2f;
  scan::_scandata_breakdown_fileinfo narrow = example_record();
  narrow.file_key_high = 0;
  const std::vector<native_string> lines = report_test::lines_of(breakdowns({wide, narrow}));
  ASSERT_EQ(22u, lines.size());
  EXPECT_EQ(T("  Unique ID:  000000000000001f0000000000004a2f"), lines[3]);
  EXPECT_EQ(T("  Hardlink count:            2"), lines[4]);
  EXPECT_EQ(T("  Unique ID:     3000000004a2f"), lines[14]);
}

TEST(BreakdownReportTest, RecordsOfOneFilePrintItsOneListAndUnsearchedOnesNone) {
  scan::_scandata_breakdown_fileinfo again = example_record();
  again.filename = T("C:\\Archive\\report-2019.txt");
  scan::_scandata_breakdown_fileinfo unsearched = example_record();
  unsearched.filenames = static_cast<std::size_t>(-1);
  const std::vector<native_string> lines =
      report_test::lines_of(breakdowns({example_record(), again, unsearched}));
  ASSERT_EQ(31u, lines.size());
  EXPECT_EQ(T("    \\Data\\report.txt"), lines[9]);
  EXPECT_EQ(T("    \\Data\\report.txt"), lines[20]);
  EXPECT_EQ(T("    \\Archive\\report-2019.txt"), lines[21]);
  EXPECT_EQ(T("  Filenames:"), lines.back());
}

TEST(BreakdownReportTest, NaiveSizeBeyondSixtyFourBitsIsHeldAtTheLargest) {
  // A sparse file may claim almost any size; four names of it overflow.
  scan::_scandata_breakdown_fileinfo sparse = example_record();
  sparse.file_links = 4;
  sparse.file_size = std::int64_t{1} << 62;
  const std::vector<native_string> lines = report_test::lines_of(breakdowns({sparse}));
  ASSERT_GE(lines.size(), 7u);
  EXPECT_EQ(T("  Naive file size:  9,223,372,036,854,775,807 bytes"), lines[5]);
  EXPECT_EQ(T("  Unique file size: 4,611,686,018,427,387,904 bytes"), lines[6]);
}

TEST(BreakdownReportTest, LeavesTheStreamAsItFoundIt) {
  scan::_scandata scan;
  scan.breakdowns = {example_record()};
  scan.link_names = example_lists();
  report_test::report_stream stream;
  print_breakdowns(stream.out, scan);
  EXPECT_EQ(native_char(' '), stream.out.fill());
  EXPECT_EQ(std::ios_base::dec, stream.out.flags() & std::ios_base::basefield);
  EXPECT_TRUE(stream.out.getloc() == stream.locale);

  stream.out.str(native_string());
  stream.out << std::setw(10) << 1234567;
  EXPECT_EQ(T(" 1,234,567"), stream.out.str());
}

}  // namespace

}  // namespace report
