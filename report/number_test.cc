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

// A size as -U shows it, in `width` places, under `locale`.
native_string in_units(const std::locale& locale, std::int64_t bytes, int width = 0,
                       bool left = false) {
  report_test::report_stream stream(locale);
  show_sizes_in_units(stream.out, true);
  stream.out << std::setw(width) << (left ? std::left : std::right) << as_size(bytes) << "|";
  return stream.out.str();
}

// German: the decimal point is a comma, and groups of three take a '.'
// that a size in units never shows (no unit reaches four digits' worth
// beyond 1023).
std::locale german() { return report_test::grouping_locale(T("."), 1, "\3", T(","), 1); }

TEST(SizeInUnitsTest, TheUnitChangesWhereTheRoundedSizeReaches1024) {
  const std::int64_t KiB = 1024, MiB = KiB * 1024, GiB = MiB * 1024, EiB = GiB << 30;
  const struct {
    std::int64_t bytes;
    const char* shown;
  } cases[] = {
      {0, "0 B"},
      {512, "512 B"},
      {1023, "1023 B"},
      {KiB, "1,0 KiB"},
      {KiB + 51, "1,0 KiB"},          // 1.0498
      {KiB + 52, "1,1 KiB"},          // 1.0508
      {KiB + 256, "1,3 KiB"},         // 1.25 exactly: a half rounds up
      {1023 * KiB + 512, "1023,5 KiB"},
      {1048524, "1023,9 KiB"},        // 1023.949 KiB
      {1048525, "1,0 MiB"},           // 1023.950 KiB rounds to 1024.0
      {MiB - 1, "1,0 MiB"},
      {MiB, "1,0 MiB"},
      {780040602, "743,9 MiB"},
      {2218901504, "2,1 GiB"},
      {GiB - MiB / 20, "1,0 GiB"},   // 1023.95 MiB
      {GiB - MiB / 20 - 1, "1023,9 MiB"},
      {std::int64_t{5} << 40, "5,0 TiB"},
      {std::int64_t{3} << 50, "3,0 PiB"},
      {EiB - 1, "1,0 EiB"},           // 1024.0 PiB less a byte
      {EiB, "1,0 EiB"},
      {std::numeric_limits<std::int64_t>::max(), "8,0 EiB"},
      {-1536, "-1,5 KiB"},            // no volume reports one, but no wrap either
      {-512, "-512 B"},
      {std::numeric_limits<std::int64_t>::min(), "-8,0 EiB"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(T(std::string(c.shown) + "|"), in_units(german(), c.bytes)) << c.bytes;
  }
  // The decimal point is the locale's.
  EXPECT_EQ(T("743.9 MiB|"), in_units(report_test::grouping_locale(T(","), 1, "\3"), 780040602));
  EXPECT_EQ(T("743.9 MiB|"), in_units(std::locale::classic(), 780040602));
}

TEST(SizeInUnitsTest, AlignedInTheColumnsOfTheBytes) {
  EXPECT_EQ(T("     512 B|"), in_units(german(), 512, 10));
  EXPECT_EQ(T("1023,5 KiB|"), in_units(german(), 1023 * 1024 + 512, 10));
  EXPECT_EQ(T("1,0 KiB   |"), in_units(german(), 1024, 10, true));
  EXPECT_EQ(T("1023,5 KiB|"), in_units(german(), 1023 * 1024 + 512, 4));  // never cut
  // A point of several units of text (U+066B, the Arabic decimal separator,
  // is two bytes of UTF-8) takes one place.
  const native_string arabic_point =
      sizeof(native_char) == 1 ? T("\xd9\xab") : native_string(1, static_cast<native_char>(0x066B));
  const std::locale arabic = report_test::grouping_locale(T(","), 1, "\3", arabic_point, 1);
  EXPECT_EQ(T("   2") + arabic_point + T("1 GiB|"), in_units(arabic, 2218901504, 10));
}

TEST(SizeInUnitsTest, WithoutUnitsEachSectionPrintsItsBytesAsBefore) {
  // The facet groups "1'234'567"; the numpunct beneath it groups not.
  report_test::report_stream stream(report_test::grouping_locale(T("'"), 1, "\3"));
  stream.out << std::setw(12) << as_size(1234567) << "|" << std::setw(12)
             << as_space_size(1234567) << "|";
  EXPECT_EQ(T("   1'234'567|     1234567|"), stream.out.str());
  EXPECT_FALSE(shows_sizes_in_units(stream.out));
  show_sizes_in_units(stream.out, true);
  EXPECT_TRUE(shows_sizes_in_units(stream.out));
  show_sizes_in_units(stream.out, false);
  EXPECT_FALSE(shows_sizes_in_units(stream.out));
  // In units the two are one.
  report_test::report_stream units(german());
  show_sizes_in_units(units.out, true);
  units.out << as_size(1234567) << "|" << as_space_size(1234567);
  EXPECT_EQ(T("1,2 MiB|1,2 MiB"), units.out.str());
}

}  // namespace

}  // namespace report
