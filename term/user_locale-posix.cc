// The user's locale on POSIX.
//
// The C++ runtime's numpunct<char> reduces a separator of several bytes
// (U+202F, U+2019 in UTF-8) to one, so the separator and grouping are read
// from the C library's locale instead and carried in a digit_grouping_facet.
#include "term/user_locale-posix.h"

#include <errno.h>
#include <locale.h>
#include <wchar.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <type_traits>
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
  const char* separator = conventions->thousands_sep ? conventions->thousands_sep : "";
  // The C form ends the sizes with CHAR_MAX (stop) or with its terminating
  // NUL (repeat the last one), just as std::numpunct's does.
  const char* sizes = conventions->grouping ? conventions->grouping : "";
  const std::size_t width = characters_in(separator);
  const char* decimal_point =
      conventions->decimal_point && conventions->decimal_point[0] != '\0' ? conventions->decimal_point : nullptr;
  const std::size_t decimal_point_width = decimal_point ? characters_in(decimal_point) : 0;
  uselocale(previous);
  // Copied before the locale is freed, which holds them. A copy that runs
  // out of memory ends the run; the locale is freed on the way.
  const std::unique_ptr<std::remove_pointer_t<locale_t>, void (*)(locale_t)> owner(numbers,
                                                                                    freelocale);
  grouping.separator = separator;
  grouping.grouping = sizes;
  grouping.separator_width = width;
  if (decimal_point) {
    grouping.decimal_point = decimal_point;
    grouping.decimal_point_width = decimal_point_width;
  }
  return true;
}

bool user_locale(std::locale& locale) {
  // The C++ runtime fails alike (std::runtime_error) for a name the system
  // lacks and for memory that ran out while loading one, so the C library
  // is asked first whether it can load the locales the environment names,
  // for every category it has (paper sizes and telephone formats too), as
  // with glibc the runtime loads them all. An unknown LANG or LC_ALL leaves
  // the classic locale's numbers. Memory that runs out ends the run, as
  // anywhere else, where it can be told: a report in other numbers than the
  // user's, exit 0, would pass for the one asked for. glibc cannot always
  // tell: where its locale archive finds no room to be mapped, it says
  // ENOENT, for good in this process, as for a locale it lacks; the classic
  // locale serves then.
  const locale_t named = newlocale(LC_ALL_MASK, "", static_cast<locale_t>(0));
  if (named == static_cast<locale_t>(0) && errno == ENOMEM) return false;
  const bool known = named != static_cast<locale_t>(0);
  if (known) freelocale(named);
  std::locale user = std::locale::classic();
  if (known) {
    try {
      user = std::locale("");
    } catch (const std::runtime_error&) {
      return false;  // a locale the system has: its loading ran out of memory
    }
  }
  digit_grouping grouping;
  if (!locale_digit_grouping("", grouping)) {
    if (errno == ENOMEM) return false;
    locale = user;
    return true;
  }
  locale = std::locale(user, new digit_grouping_facet(std::move(grouping)));
  return true;
}

}  // namespace platform
