// The user's locale on POSIX.
//
// The C++ runtime's numpunct<char> reduces a separator of several bytes
// (U+202F, U+2019 in UTF-8) to one, so the separator and grouping are read
// from the C library's locale instead and carried in a digit_grouping_facet.
#include "term/user_locale-posix.h"

#include <locale.h>
#include <wchar.h>

#include <cstring>
#include <stdexcept>
#include <utility>

namespace platform {

namespace {

// The characters `text` takes in the current locale's encoding; a byte that
// begins no character counts as one.
std::size_t characters_in(const std::string& text) {
  std::size_t characters = 0;
  std::mbstate_t state{};
  for (std::size_t at = 0; at < text.size(); ++characters) {
    const std::size_t length = mbrlen(text.data() + at, text.size() - at, &state);
    if (length == static_cast<std::size_t>(-1) || length == static_cast<std::size_t>(-2) ||
        length == 0) {
      state = std::mbstate_t{};
      ++at;
    } else {
      at += length;
    }
  }
  return characters;
}

}  // namespace

bool locale_digit_grouping(const char* name, digit_grouping& grouping) {
  // The numbers and the encoding of one locale, without touching the
  // process's global locale: the separator's width is counted in the
  // encoding its bytes are written in.
  locale_t numbers = newlocale(LC_NUMERIC_MASK | LC_CTYPE_MASK, name, static_cast<locale_t>(0));
  if (numbers == static_cast<locale_t>(0)) return false;
  const locale_t previous = uselocale(numbers);
  const lconv* conventions = localeconv();
  grouping.separator = conventions->thousands_sep ? conventions->thousands_sep : "";
  // The C form ends the sizes with CHAR_MAX (stop) or with its terminating
  // NUL (repeat the last one), just as std::numpunct's does.
  grouping.grouping = conventions->grouping ? conventions->grouping : "";
  grouping.separator_width = characters_in(grouping.separator);
  if (conventions->decimal_point && conventions->decimal_point[0] != '\0') {
    grouping.decimal_point = conventions->decimal_point;
    grouping.decimal_point_width = characters_in(grouping.decimal_point);
  }
  uselocale(previous);
  freelocale(numbers);
  return true;
}

std::locale user_locale() {
  // An unknown LANG or LC_ALL makes the named locale throw; the reports then
  // print with the classic locale's numbers.
  std::locale user = std::locale::classic();
  try {
    user = std::locale("");
  } catch (const std::runtime_error&) {
  }
  digit_grouping grouping;
  if (!locale_digit_grouping("", grouping)) return user;
  return std::locale(user, new digit_grouping_facet(std::move(grouping)));
}

}  // namespace platform
