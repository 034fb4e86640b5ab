#include <cstdint>
#include <limits>
#include <utility>

#include <gtest/gtest.h>

#include "report/report_format.h"
#include "testing/report_test_util.h"

namespace report {

namespace {

native_string printed(std::int64_t part, std::int64_t whole) {
  report_test::report_stream stream;
  stream.out << percent(part, whole);
  return stream.out.str();
}

TEST(PercentTest, RoundsToTheNearestWholeNumberWithHalvesUp) {
  EXPECT_EQ(T("  0%"), printed(0, 0));
  EXPECT_EQ(T("  0%"), printed(7, 0));
  EXPECT_EQ(T(" 33%"), printed(1, 3));
  EXPECT_EQ(T(" 67%"), printed(2, 3));
  EXPECT_EQ(T(" 13%"), printed(1, 8));
  EXPECT_EQ(T(" 38%"), printed(3, 8));
  EXPECT_EQ(T("  1%"), printed(1, 200));
  EXPECT_EQ(T("  0%"), printed(1, 201));
  EXPECT_EQ(T("100%"), printed(199, 200));
  EXPECT_EQ(T("100%"), printed(5, 5));
}

TEST(PercentTest, ByteTotalsTooLargeForTheShortcutStillRoundExactly) {
  // 200 * part or 2 * whole leave the 64-bit range here.
  const std::int64_t max = std::numeric_limits<std::int64_t>::max();
  const std::int64_t unit = std::int64_t{1} << 55;
  EXPECT_EQ(T("  1%"), printed(unit, 200 * unit));  // exactly one half
  EXPECT_EQ(T("  0%"), printed(unit - 1, 200 * unit));
  EXPECT_EQ(T(" 50%"), printed(max / 2, max));
  EXPECT_EQ(T(" 98%"), printed((std::int64_t{1} << 62) - 2 * unit, std::int64_t{1} << 62));
  EXPECT_EQ(T("100%"), printed(max, max));
}

TEST(PercentTest, OutOfRangeSharesStillPrintAShare) {
  // Never passed by the reports; they must neither crash nor misbehave.
  const std::int64_t max = std::numeric_limits<std::int64_t>::max();
  const std::int64_t min = std::numeric_limits<std::int64_t>::min();
  for (const auto& [part, whole] : {std::pair<std::int64_t, std::int64_t>{max, 1},
                                    {min, -1}, {min, 1}, {-1, min}, {-3, 8}}) {
    const native_string text = printed(part, whole);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(native_char('%'), text.back()) << part << " of " << whole;
  }
}

TEST(PercentTest, PadsWithTheStreamsFillAndChainsInALine) {
  report_test::report_stream stream;
  stream.out.fill(native_char('*'));
  stream.out << "(" << percent(1, 8) << ")" << percent(0, 0);
  EXPECT_EQ(T("(*13%)**0%"), stream.out.str());
}

}  // namespace

}  // namespace report
