// The numbers of the reports: whole numbers grouped as the user groups
// digits, and sizes, which -U shows in binary units.
#include <climits>
#include <cstdint>
#include <string>
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
  storage.decimal_point.assign(1, punctuation.decimal_point());
  storage.decimal_point_width = 1;
  return storage;
}

// Writes `text`, which takes `characters` places on screen, padded to the
// stream's width as its fill and adjustment say; the width is used up.
native_ostream& write_padded(native_ostream& stream, native_string& text,
                             std::size_t characters) {
  const std::streamsize width = stream.width();
  stream.width(0);
  const std::size_t padding =
      width > 0 && static_cast<std::size_t>(width) > characters
          ? static_cast<std::size_t>(width) - characters
          : 0;
  const bool left = (stream.flags() & std::ios_base::adjustfield) == std::ios_base::left;
  if (!left) text.insert(0, padding, stream.fill());
  if (left) text.append(padding, stream.fill());
  return stream << text;
}

void append_digits(std::uint64_t value, native_string& text) {
  native_char digits[20];
  std::size_t count = 0;
  do {
    digits[count++] = native_char('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count > 0) text += digits[--count];
}

// Appends `bytes` in the binary unit it is shown in: whole bytes below
// 1024, else tenths of the unit with `punctuation`'s decimal point. Returns
// the places on screen the appended text takes.
std::size_t append_in_units(std::uint64_t bytes, const platform::digit_grouping& punctuation,
                            native_string& text) {
  static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  const std::size_t start = text.size();
  std::size_t unit = 0;
  std::size_t extra_units = 0;  // of the point, beyond the places it takes
  if (bytes < 1024) {
    append_digits(bytes, text);
  } else {
    // In tenths of the unit, rounded half up, in whole numbers only, so that
    // no boundary depends on a floating-point rounding: the remainder is
    // below the unit (at most 2^60), so ten times it stays in 64 bits. The
    // unit moves up while the rounded size reaches 1024.0 of it; EiB is the
    // last (no 64-bit size reaches 16 of them).
    const std::size_t last = sizeof units / sizeof units[0] - 1;
    std::uint64_t tenths = 0;
    for (unit = 1;; ++unit) {
      const std::uint64_t one = std::uint64_t{1} << (10 * unit);
      tenths = bytes / one * 10 + ((bytes % one) * 10 + one / 2) / one;
      if (tenths < 10240 || unit == last) break;
    }
    append_digits(tenths / 10, text);
    text += punctuation.decimal_point;
    extra_units = punctuation.decimal_point.size() - punctuation.decimal_point_width;
    text += native_char('0' + tenths % 10);
  }
  text += native_char(' ');
  for (const char* c = units[unit]; *c != '\0'; ++c) text += native_char(*c);
  return text.size() - start - extra_units;
}

// The slot of the stream's words that holds whether sizes are in units.
int units_slot() {
  static const int slot = std::ios_base::xalloc();
  return slot;
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
  return write_padded(stream, reversed, characters);
}

void show_sizes_in_units(native_ostream& stream, bool in_units) {
  stream.iword(units_slot()) = in_units ? 1 : 0;
}

bool shows_sizes_in_units(native_ostream& stream) { return stream.iword(units_slot()) != 0; }

native_ostream& operator<<(native_ostream& stream, const size_figure& size) {
  if (!shows_sizes_in_units(stream)) {
    if (size.as_stream_number) return stream << size.bytes;
    return stream << grouped(size.bytes);
  }
  const grouped_number number = grouped(size.bytes);
  platform::digit_grouping storage;
  native_string text;
  if (number.negative) text += native_char('-');
  const std::size_t characters =
      text.size() + append_in_units(number.magnitude, grouping_of(stream.getloc(), storage), text);
  return write_padded(stream, text, characters);
}

}  // namespace report
