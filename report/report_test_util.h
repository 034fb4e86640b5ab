// What the tests of the reports share: a stream set up as the run sets up
// standard output for the reports, but with a digit grouping of the test's
// choosing, so that the expected texts do not depend on the machine's
// locales.
#ifndef TWINFIND_REPORT_REPORT_TEST_UTIL_H_
#define TWINFIND_REPORT_REPORT_TEST_UTIL_H_

#include <locale>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text.h"
#include "platform/text_test_util.h"

namespace report_test {

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

// A stream like standard output at the start of the reports: fill ' ' and
// a user's locale that groups by threes with `separator`.
struct report_stream {
  explicit report_stream(char separator = ',') : locale(grouping_locale(separator)) {
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

#endif  // TWINFIND_REPORT_REPORT_TEST_UTIL_H_
