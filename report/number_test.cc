// The whole numbers of the reports: grouping, padding and alignment.
#include <climits>
#include <cstdint>
#include <iomanip>
#include <limits>

#include <gtest/gtest.h>

#include "report/report_format.h"
#include "testing/report_test_util.h"

namespace report {

namespace {

const std::string repeat_threes = "\3";
const std::string indian = "\3\2";  // threes, then twos

native_string printed(const std::locale& locale, grouped_number number, int width = 0,
                      bool left = false) {
  report_test::report_stream stream(locale);
  stream.out << std::setw(width) << (left ? std::left : std::right) << number << "|";
  return stream.out.str();
}

TEST(GroupedNumberTest, GroupsAsTheLocalesGroupingSays) {
  const std::locale english = report_test::grouping_locale(T(","), 1, repeat_threes);
  EXPECT_EQ(T("2,505,096|"), printed(english, grouped(2505096)));
  EXPECT_EQ(T("999|"), printed(english, grouped(999)));
  EXPECT_EQ(T("1,000|"), printed(english, grouped(1000)));
  EXPECT_EQ(T("0|"), printed(english, grouped(0)));
  EXPECT_EQ(T("-2,505,096|"), printed(english, grouped(-2505096)));
  EXPECT_EQ(T("-999|"), printed(english, grouped(-999)));
  EXPECT_EQ(T("-9,223,372,036,854,775,808|"),
            printed(english, grouped(std::numeric_limits<std::int64_t>::min())));
  EXPECT_EQ(T("18,446,744,073,709,551,615|"),
            printed(english, grouped(std::numeric_limits<std::uint64_t>::max())));

  EXPECT_EQ(T("25,05,096|"), printed(report_test::grouping_locale(T(","), 1, indian),
                                     grouped(2505096)));
  // CHAR_MAX, a zero or a negative size ends the grouping.
  const std::string once = std::string("\3") + static_cast<char>(CHAR_MAX);
  EXPECT_EQ(T("1234,567|"), printed(report_test::grouping_locale(T(","), 1, once),
                                    grouped(1234567)));
  EXPECT_EQ(T("1234,567|"), printed(report_test::grouping_locale(T(","), 1, std::string("\3\0", 2)),
                                    grouped(1234567)));
  EXPECT_EQ(T("1234567|"), printed(report_test::grouping_locale(T(","), 1, ""),
                                   grouped(1234567)));
  // No separator, as in the C locale: no grouping, whatever the sizes.
  EXPECT_EQ(T("1234567|"), printed(report_test::grouping_locale(T(""), 0, repeat_threes),
                                   grouped(1234567)));
}

TEST(GroupedNumberTest, SeparatorsOfSeveralUnitsArePrintedWholeAndPaddedAsOnePlace) {
  const native_string space = report_test::narrow_no_break_space();
  const std::locale french = report_test::grouping_locale(space, 1, repeat_threes);
  const native_string number = T("2") + space + T("505") + space + T("096");
  EXPECT_EQ(number + T("|"), printed(french, grouped(2505096)));
  // Nine places on screen, whatever it takes in memory.
  EXPECT_EQ(T("   ") + number + T("|"), printed(french, grouped(2505096), 12));
  EXPECT_EQ(number + T("   |"), printed(french, grouped(2505096), 12, true));
  EXPECT_EQ(number + T("|"), printed(french, grouped(2505096), 9));

  // A separator of two characters (Windows allows up to three).
  const std::locale doubled = report_test::grouping_locale(T("''"), 2, repeat_threes);
  EXPECT_EQ(T("  1''000''000|"), printed(doubled, grouped(1000000), 13));
}

TEST(GroupedNumberTest, ALocaleWithoutTheFacetGroupsByItsNumpunct) {
  EXPECT_EQ(T("  2.505.096|"),
            printed(report_test::grouping_locale('.'), grouped(2505096), 11));
  EXPECT_EQ(T("2505096|"), printed(std::locale::classic(), grouped(2505096)));

  // Width, fill and adjustment are taken as any number takes them, and the
  // width is used up.
  report_test::report_stream stream;
  stream.out.fill(native_char('*'));
  stream.out << std::setw(8) << std::left << grouped(1234) << std::right << std::setw(4)
             << grouped(7) << grouped(12);
  EXPECT_EQ(T("1,234******712"), stream.out.str());
}

}  // namespace

}  // namespace report
