// The number format taken from Windows settings.
#include "term/user_locale-win32.h"

#include <gtest/gtest.h>

#include <climits>
#include <iomanip>
#include <sstream>

#include "term/user_locale.h"
#include "report/report_format.h"

namespace {

using platform::grouping_from_windows;

std::wstring formatted(const std::locale& locale, long long number) {
  std::wostringstream out;
  out.imbue(locale);
  out << number;
  return out.str();
}

TEST(GroupingFromWindowsTest, AClosingZeroRepeatsTheLastGroup) {
  EXPECT_EQ("\3", grouping_from_windows(L"3;0"));
  EXPECT_EQ("\3\2", grouping_from_windows(L"3;2;0"));
  // Without it the grouping stops after the groups given.
  const std::string stop(1, static_cast<char>(CHAR_MAX));
  EXPECT_EQ("\3" + stop, grouping_from_windows(L"3"));
  EXPECT_EQ("\3\2" + stop, grouping_from_windows(L"3;2"));
  EXPECT_EQ("", grouping_from_windows(L"0"));
  EXPECT_EQ("", grouping_from_windows(L""));
  EXPECT_EQ("\x0c", grouping_from_windows(L"12;0"));
}

TEST(WindowsNumberLocaleTest, NumbersCarryTheSettingsGrouping) {
  using platform::windows_number_locale;
  EXPECT_EQ(L"2,505,096", formatted(windows_number_locale(L",", L"3;0", L"."), 2505096));
  EXPECT_EQ(L"12,34,567", formatted(windows_number_locale(L",", L"3;2;0", L"."), 1234567));
  EXPECT_EQ(L"1234,567", formatted(windows_number_locale(L",", L"3", L"."), 1234567));
  EXPECT_EQ(L"2.505.096", formatted(windows_number_locale(L".", L"3;0", L","), 2505096));
  EXPECT_EQ(L"2\u00A0505\u00A0096",
            formatted(windows_number_locale(L"\u00A0", L"3;0", L","), 2505096));
  EXPECT_EQ(L"2505096", formatted(windows_number_locale(L",", L"0", L"."), 2505096));
  EXPECT_EQ(L"2505096", formatted(windows_number_locale(L"", L"3;0", L"."), 2505096));
  EXPECT_EQ(L"-999", formatted(windows_number_locale(L",", L"3;0", L"."), -999));

  std::wostringstream out;
  out.imbue(windows_number_locale(L".", L"3;0", L","));
  out << 1.5;
  EXPECT_EQ(L"1,5", out.str());
}

// As the reports print whole numbers: through the digit_grouping facet.
std::wstring grouped_text(const std::locale& locale, long long number, int width) {
  std::wostringstream out;
  out.imbue(locale);
  out << std::setw(width) << report::grouped(number);
  return out.str();
}

TEST(WindowsNumberLocaleTest, TheWholeSeparatorReachesTheReports) {
  using platform::windows_number_locale;
  // Up to three characters: numpunct keeps the first, the facet all.
  const std::locale two = windows_number_locale(L"'.", L"3;0", L".");
  EXPECT_EQ(L"   2'.505'.096", grouped_text(two, 2505096, 14));
  EXPECT_EQ(L"25,05,096", grouped_text(windows_number_locale(L",", L"3;2;0", L"."), 2505096, 0));
  EXPECT_EQ(L"1234,567", grouped_text(windows_number_locale(L",", L"3", L"."), 1234567, 0));
  EXPECT_EQ(L"2505096", grouped_text(windows_number_locale(L"", L"3;0", L"."), 2505096, 0));

  // A character beyond the Basic Multilingual Plane, two UTF-16 units,
  // takes one place.
  const platform::digit_grouping wide = platform::windows_digit_grouping(L"\U0001F600", L"3;0");
  EXPECT_EQ(2u, wide.separator.size());
  EXPECT_EQ(1u, wide.separator_width);
  EXPECT_EQ(1u, platform::windows_digit_grouping(L"\u202F", L"3;0").separator_width);
}

// The settings' decimal point, kept whole, reaches the sizes in units.
TEST(WindowsNumberLocaleTest, SizesInUnitsTakeTheSettingsDecimalPoint) {
  using platform::windows_number_locale;
  const auto shown = [](const std::locale& locale) {
    std::wostringstream out;
    out.imbue(locale);
    report::show_sizes_in_units(out, true);
    out << std::setw(10) << report::as_size(780040602) << std::setw(10) << report::as_size(512)
        << std::setw(10) << report::as_space_size(1023 * 1024 + 512);
    return out.str();
  };
  EXPECT_EQ(L" 743,9 MiB     512 B1023,5 KiB", shown(windows_number_locale(L".", L"3;0", L",")));
  EXPECT_EQ(L" 743.9 MiB     512 B1023.5 KiB", shown(windows_number_locale(L",", L"3;0", L".")));
  // Settings without a decimal point give '.'; one of two characters is
  // printed whole.
  EXPECT_EQ(L" 743.9 MiB     512 B1023.5 KiB", shown(windows_number_locale(L",", L"3;0", L"")));
  EXPECT_EQ(L"743::9 MiB     512 B1023::5 KiB", shown(windows_number_locale(L",", L"3;0", L"::")));
  const platform::digit_grouping point = platform::windows_digit_grouping(L"", L"", L"\U0001F600");
  EXPECT_EQ(2u, point.decimal_point.size());
  EXPECT_EQ(1u, point.decimal_point_width);
}

TEST(UserLocaleTest, NumbersKeepTheirDigits) {
  std::locale user;
  ASSERT_TRUE(platform::user_locale(user));
  std::wstring text = formatted(user, 2505096);
  std::wstring digits;
  for (wchar_t c : text) {
    if (c >= L'0' && c <= L'9') digits += c;
  }
  EXPECT_EQ(L"2505096", digits);
  EXPECT_TRUE(std::has_facet<platform::digit_grouping_facet>(user));
}

}  // namespace
