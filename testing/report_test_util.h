// What the tests of the reports share: a stream set up as the run sets up
// standard output for the reports, but with a digit grouping of the test's
// choosing, so that the expected texts do not depend on the machine's
// locales.
#ifndef TWINFIND_TESTING_REPORT_TEST_UTIL_H_
#define TWINFIND_TESTING_REPORT_TEST_UTIL_H_

#include <locale>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/text.h"
#include "testing/text_test_util.h"
#include "term/user_locale.h"

namespace report_test {

// The system's text types, by their own names.
using namespace platform::text_types;

// Groups digits by threes with `separator`: ',' as in English (United
// States), '.' as in German (Germany).
class grouping_by_threes : public std::numpunct<native_char> {
 public:
  explicit grouping_by_threes(native_char separator) : separator_(separator) {}

 protected:
  native_char do_thousands_sep() const override { return separator_; }
  std::string do_grouping() const override { return "\3"; }

 private:
  native_char separator_;
};

inline std::locale grouping_locale(char separator) {
  return std::locale(std::locale::classic(), new grouping_by_threes(native_char(separator)));
}

// A locale that groups as a platform::digit_grouping_facet says, as the
// user's locale does, with the decimal point `point` taking `point_width`
// places.
inline std::locale grouping_locale(native_string separator, std::size_t width,
                                   std::string grouping,
                                   native_string point = native_string(1, native_char('.')),
                                   std::size_t point_width = 1) {
  platform::digit_grouping digits;
  digits.separator = std::move(separator);
  digits.separator_width = width;
  digits.grouping = std::move(grouping);
  digits.decimal_point = std::move(point);
  digits.decimal_point_width = point_width;
  return std::locale(std::locale::classic(), new platform::digit_grouping_facet(digits));
}

// U+202F NARROW NO-BREAK SPACE, the separator of French, as text is
// written here: three bytes of UTF-8, or one unit of UTF-16.
inline native_string narrow_no_break_space() {
  if (sizeof(native_char) == 1) {
    const unsigned char utf8[] = {0xE2, 0x80, 0xAF};
    return native_string(utf8, utf8 + sizeof utf8);
  }
  const unsigned utf16 = 0x202F;
  return native_string(1, static_cast<native_char>(utf16));
}

// A stream like standard output at the start of the reports: fill ' ' and
// a user's locale that groups by threes with `separator`.
struct report_stream {
  explicit report_stream(char separator = ',') : report_stream(grouping_locale(separator)) {}
  explicit report_stream(const std::locale& user) : locale(user) {
    out.imbue(locale);
    out.fill(native_char(' '));
  }
  native_ostringstream out;
  std::locale locale;
};

// The lines of `text`, without their line ends.
inline std::vector<native_string> lines_of(const native_string& text) {
  std::vector<native_string> lines;
  native_string line;
  for (native_char c : text) {
    if (c == native_char('\n')) {
      lines.push_back(line);
      line.clear();
    } else {
      line += c;
    }
  }
  if (!line.empty())
    lines.push_back(line);
  return lines;
}

}  // namespace report_test

#endif  // TWINFIND_TESTING_REPORT_TEST_UTIL_H_
