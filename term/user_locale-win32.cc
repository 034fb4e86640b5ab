// The user's locale on Windows.
//
// Where the C++ runtime knows the Windows locales (MSVC's), the empty name
// gives the user's locale. MinGW's runtime knows only "C", and the reports
// would print their numbers without the grouping the user expects; so the
// numbers are taken from the user's Windows settings instead.
#include "term/user_locale.h"

#include <windows.h>

#include <climits>
#include <exception>
#include <utility>

#include "term/user_locale-win32.h"

namespace platform {

namespace {

struct windows_numpunct : std::numpunct<wchar_t> {
  windows_numpunct(wchar_t thousands, wchar_t decimal, std::string grouping)
      : thousands_(thousands), decimal_(decimal), grouping_(std::move(grouping)) {}

 protected:
  wchar_t do_thousands_sep() const override { return thousands_; }
  wchar_t do_decimal_point() const override { return decimal_; }
  std::string do_grouping() const override { return grouping_; }

 private:
  wchar_t thousands_;
  wchar_t decimal_;
  std::string grouping_;
};

// One value of the user's locale; empty when it cannot be read.
std::wstring user_setting(LCTYPE type) {
  wchar_t text[32];  // the settings allow at most 4 (separators) or 10 (grouping)
  int length = GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, type, text,
                               static_cast<int>(sizeof(text) / sizeof(text[0])));
  if (length <= 1) return std::wstring();
  return std::wstring(text, static_cast<std::size_t>(length - 1));
}

// The characters UTF-16 `text` takes on screen: a character beyond the
// Basic Multilingual Plane is two units and one place, its second unit
// taking none.
std::size_t places_of(std::wstring_view text) {
  std::size_t places = 0;
  for (wchar_t unit : text) {
    if (unit < 0xDC00 || unit > 0xDFFF) ++places;
  }
  return places;
}

}  // namespace

digit_grouping windows_digit_grouping(std::wstring_view thousands, std::wstring_view grouping,
                                      std::wstring_view decimal) {
  digit_grouping whole;
  if (!decimal.empty()) {
    whole.decimal_point.assign(decimal.begin(), decimal.end());
    whole.decimal_point_width = places_of(decimal);
  }
  if (thousands.empty()) return whole;
  whole.separator.assign(thousands.begin(), thousands.end());
  whole.separator_width = places_of(thousands);
  whole.grouping = grouping_from_windows(grouping);
  return whole;
}

std::string grouping_from_windows(std::wstring_view grouping) {
  std::string groups;
  int size = 0;
  bool repeats = false;
  for (std::size_t i = 0; i <= grouping.size(); ++i) {
    if (i < grouping.size() && grouping[i] >= L'0' && grouping[i] <= L'9') {
      if (size < CHAR_MAX) size = size * 10 + (grouping[i] - L'0');
      continue;
    }
    if (i < grouping.size() && grouping[i] != L';') continue;  // not in the settings' form
    // A zero group means: repeat the group before it. numpunct repeats its
    // last group by itself.
    if (size == 0) {
      repeats = true;
      break;
    }
    groups += static_cast<char>(size < CHAR_MAX ? size : CHAR_MAX);
    size = 0;
  }
  // Without a closing zero the last group is not repeated: CHAR_MAX ends
  // the grouping.
  if (!groups.empty() && !repeats) groups += static_cast<char>(CHAR_MAX);
  return groups;
}

std::locale windows_number_locale(std::wstring_view thousands, std::wstring_view grouping,
                                  std::wstring_view decimal) {
  // numpunct has room for one character each; the settings allow up to
  // three. The reports print whole numbers from the digit_grouping facet,
  // which keeps the whole separator.
  std::string groups = thousands.empty() ? std::string() : grouping_from_windows(grouping);
  wchar_t separator = thousands.empty() ? L',' : thousands[0];
  wchar_t point = decimal.empty() ? L'.' : decimal[0];
  std::locale numbers(std::locale::classic(),
                      new windows_numpunct(separator, point, std::move(groups)));
  return std::locale(numbers, new digit_grouping_facet(
                                 windows_digit_grouping(thousands, grouping, decimal)));
}

namespace {

std::locale windows_user_locale() {
  // The runtime's own locale for everything else, where it knows the user's;
  // the digit grouping always from the settings, which keep the whole
  // separator.
  try {
    std::locale named("");
    if (named != std::locale::classic()) {
      digit_grouping grouping = windows_digit_grouping(user_setting(LOCALE_STHOUSAND),
                                                       user_setting(LOCALE_SGROUPING),
                                                       user_setting(LOCALE_SDECIMAL));
      return std::locale(named, new digit_grouping_facet(std::move(grouping)));
    }
  } catch (const std::exception&) {
    // An environment that names a locale the runtime lacks.
  }
  try {
    return windows_number_locale(user_setting(LOCALE_STHOUSAND),
                                 user_setting(LOCALE_SGROUPING),
                                 user_setting(LOCALE_SDECIMAL));
  } catch (const std::exception&) {
    return std::locale::classic();
  }
}

}  // namespace

bool user_locale(std::locale& locale) {
  locale = windows_user_locale();
  return true;
}

}  // namespace platform
