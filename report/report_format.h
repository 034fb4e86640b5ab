// The reports: the summary of the scan and the breakdowns of single files,
// and the formatting they share.
//
// Every report prints on a stream whose fill character is ' ' and which is
// imbued with the user's locale (platform::user_locale), so numbers carry
// the user's digit grouping, and which says whether sizes are in units.
#ifndef TWINFIND_REPORT_REPORT_FORMAT_H_
#define TWINFIND_REPORT_REPORT_FORMAT_H_

#include <cstdint>
#include <type_traits>
#include <vector>

#include "base/text.h"
#include "scan/scandata.h"

namespace report {

// The system's text types, by their own names.
using namespace platform::text_types;

// A whole number with the digit grouping of the stream's locale: its
// digit_grouping_facet where it has one, else its numpunct. The stream's
// width, fill and left or right adjustment apply as to any number, but the
// width counts characters, so a separator of several bytes (U+202F in
// UTF-8) takes one place like any other.
struct grouped_number {
  bool negative;
  std::uint64_t magnitude;
};

template <typename integer>
grouped_number grouped(integer value) {
  static_assert(std::is_integral_v<integer>, "grouped() prints whole numbers");
  // Negated in unsigned arithmetic, which also covers the most negative value.
  if constexpr (std::is_signed_v<integer>) {
    if (value < 0) return grouped_number{true, 0 - static_cast<std::uint64_t>(value)};
  }
  return grouped_number{false, static_cast<std::uint64_t>(value)};
}

native_ostream& operator<<(native_ostream& stream, const grouped_number& number);

// Whether the sizes printed on `stream` are in units (-U). The stream
// carries the choice, as it carries the user's locale, so that every size
// of every text report is printed one way without each report being told.
void show_sizes_in_units(native_ostream& stream, bool in_units);
bool shows_sizes_in_units(native_ostream& stream);

// A size in bytes as the text reports print it, the one way every size
// column goes. In units: the binary unit (B, KiB, MiB, GiB, TiB, PiB, EiB)
// that the size rounded to one decimal stays below 1024.0 in, with that
// decimal and the locale's decimal point, bytes without one: "743.9 MiB",
// "512 B"; width, fill and adjustment apply as to a grouped number.
// Otherwise the whole number of bytes, grouped as grouped() groups it or,
// in the space sections, as the stream prints any number (its numpunct's
// grouping), as those sections always have.
struct size_figure {
  std::int64_t bytes;
  bool as_stream_number;
};

inline size_figure as_size(std::int64_t bytes) { return size_figure{bytes, false}; }
inline size_figure as_space_size(std::int64_t bytes) { return size_figure{bytes, true}; }

native_ostream& operator<<(native_ostream& stream, const size_figure& size);

// Opens a section: a blank line, `title` (ASCII), a line of '=' as long,
// and a blank line.
void print_heading(native_ostream& out, const char* title);

// Prints `part` of `whole` as a whole-number percentage, right-aligned in
// three places, then '%'. A whole of 0 prints 0; a half rounds up.
void print_percent(native_ostream& stream, std::int64_t part, std::int64_t whole);

// The manipulator that `percent` returns, so that a share is written in a
// line like any other value: out << percent(part, whole).
struct percent_manip {
  std::int64_t part;
  std::int64_t whole;
};

inline percent_manip percent(std::int64_t part, std::int64_t whole) {
  return percent_manip{part, whole};
}

inline native_ostream& operator<<(native_ostream& stream, const percent_manip& manip) {
  print_percent(stream, manip.part, manip.whole);
  return stream;
}

// The summary: directories scanned, kinds, hard links, the -C listings and
// the sizes.
void print_summary(native_ostream& out, const scan::_scandata& scandata,
                   const std::vector<native_string>& directories,
                   const std::vector<std::int32_t>& list_files_for_hardlinkcount);

// The space by path: one row for each PATH and one for the run, then what
// names outside the PATHs hold (space_report.cc).
void print_space_by_path(native_ostream& out, const scan::_scandata& scandata,
                         const std::vector<native_string>& directories);

// The space by path in order: one row for each PATH, with what it adds to
// those before it and what deleting it with them would free, and one for
// the run (space_report.cc).
void print_space_in_order(native_ostream& out, const scan::_scandata& scandata,
                          const std::vector<native_string>& directories);

// The space by directory: one row for each directory the walks listed down
// to the depth asked for, in walk order (space_report.cc).
void print_space_by_directory(native_ostream& out, const scan::_scandata& scandata);

// What a file's names would take on the volume if each were a file of its
// own: links times size, held within the 64-bit range.
std::int64_t naive_size_of(std::int32_t links, std::int64_t size);

// The whole report as one JSON document, for scripts (json_report.cc).
void print_json_report(native_ostream& out, const scan::_scandata& scandata,
                       const std::vector<native_string>& directories,
                       const std::vector<std::int32_t>& list_files_for_hardlinkcount);

// One block for each collected breakdown.
void print_breakdowns(native_ostream& out, const scan::_scandata& scandata);

}  // namespace report

#endif  // TWINFIND_REPORT_REPORT_FORMAT_H_
