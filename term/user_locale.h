// The user's preferred locale, for the numbers of the reports.
#ifndef TWINFIND_TERM_USER_LOCALE_H_
#define TWINFIND_TERM_USER_LOCALE_H_

#include <cstddef>
#include <locale>
#include <string>
#include <utility>

#include "base/text.h"

namespace platform {

// How the user groups the digits of a whole number, and the point that
// begins a fraction. std::numpunct holds a
// single character for the separator, but many locales use one that is
// not: U+202F in French, U+2019 in Swiss German, each several bytes of
// UTF-8; Windows allows up to three characters. So the separator is kept as
// text, in the encoding the output is read in, along with the number of
// characters it takes on screen.
struct digit_grouping {
  native_string separator;       // empty: the digits are not grouped
  std::size_t separator_width = 0;
  // The sizes of the groups from the right in std::numpunct's form: the
  // last size repeats; a size of 0, a negative one or CHAR_MAX ends the
  // grouping, and the digits left form one group.
  std::string grouping;
  // The point before a fraction's digits, kept whole for the same reason
  // (U+066B in Arabic is two bytes of UTF-8), and the characters it takes.
  native_string decimal_point = native_string(1, native_char('.'));
  std::size_t decimal_point_width = 1;
};

// The facet that carries a digit_grouping in a locale, so that a stream
// imbued with the user's locale carries the whole separator. Where a locale
// has none, its numpunct<native_char> tells the grouping.
class digit_grouping_facet : public std::locale::facet {
 public:
  explicit digit_grouping_facet(digit_grouping grouping)
      : std::locale::facet(0), grouping_(std::move(grouping)) {}
  const digit_grouping& grouping() const { return grouping_; }

  static std::locale::id id;

 private:
  digit_grouping grouping_;
};

// Builds, into `locale`, the locale named by the empty name, all
// categories, with the user's digit grouping in a digit_grouping_facet.
// Where the environment names a locale the system lacks, it falls back to
// the classic locale (on Windows, to the classic locale with the digit
// grouping of the user's Windows settings), as where the system says so
// of one it could not load for want of memory. False, `locale` untouched,
// where memory ran out while loading the user's locale and the system
// tells; an allocation of the standard library's that fails throws
// std::bad_alloc as anywhere.
bool user_locale(std::locale& locale);

}  // namespace platform

#endif  // TWINFIND_TERM_USER_LOCALE_H_
