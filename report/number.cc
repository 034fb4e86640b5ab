// The whole numbers of the reports, grouped as the user groups digits.
#include <climits>
#include <locale>
#include <ostream>

#include "term/user_locale.h"
#include "report/report_format.h"

namespace report {

namespace {

// The grouping of `locale`: its own facet, or one made from its numpunct
// (the classic locale's, or one a test installs).
const platform::digit_grouping& grouping_of(const std::locale& locale,
                                            platform::digit_grouping& storage) {
  if (std::has_facet<platform::digit_grouping_facet>(locale))
    return std::use_facet<platform::digit_grouping_facet>(locale).grouping();
  const auto& punctuation = std::use_facet<std::numpunct<native_char>>(locale);
  storage.separator.assign(1, punctuation.thousands_sep());
  storage.separator_width = 1;
  storage.grouping = punctuation.grouping();
  return storage;
}

bool ends_grouping(char size) { return size <= 0 || size == CHAR_MAX; }

// Writes the digits of `magnitude` into `text` with the separator between
// the groups. Built from the right: the digits of the group being filled,
// then a separator whenever a group is full and digits remain. Returns how
// many separators were written.
std::size_t group_digits(std::uint64_t magnitude, const platform::digit_grouping& grouping,
                         native_string& text) {
  const bool grouped = !grouping.separator.empty() && !grouping.grouping.empty() &&
                       !ends_grouping(grouping.grouping[0]);
  // Reversed while being built, then turned around once.
  native_string reversed_separator(grouping.separator.rbegin(), grouping.separator.rend());
  std::size_t group = 0;      // index into grouping.grouping
  int left_in_group = grouped ? grouping.grouping[0] : -1;
  std::size_t separators = 0;
  do {
    if (left_in_group == 0) {
      text += reversed_separator;
      ++separators;
      if (group + 1 < grouping.grouping.size()) ++group;  // else the last size repeats
      const char size = grouping.grouping[group];
      left_in_group = ends_grouping(size) ? -1 : size;
    }
    text += native_char('0' + magnitude % 10);
    magnitude /= 10;
    if (left_in_group > 0) --left_in_group;
  } while (magnitude != 0);
  return separators;
}

}  // namespace

native_ostream& operator<<(native_ostream& stream, const grouped_number& number) {
  platform::digit_grouping storage;
  const platform::digit_grouping& grouping = grouping_of(stream.getloc(), storage);
  native_string text;
  const std::size_t separators = group_digits(number.magnitude, grouping, text);
  if (number.negative) text += native_char('-');
  std::size_t characters = text.size();
  if (separators > 0) {
    characters -= separators * grouping.separator.size();
    characters += separators * grouping.separator_width;
  }
  native_string reversed(text.rbegin(), text.rend());

  const std::streamsize width = stream.width();
  stream.width(0);
  const std::size_t padding =
      width > 0 && static_cast<std::size_t>(width) > characters
          ? static_cast<std::size_t>(width) - characters
          : 0;
  const bool left = (stream.flags() & std::ios_base::adjustfield) == std::ios_base::left;
  if (!left) reversed.insert(0, padding, stream.fill());
  if (left) reversed.append(padding, stream.fill());
  return stream << reversed;
}

}  // namespace report
