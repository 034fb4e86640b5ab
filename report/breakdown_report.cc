// The breakdown report: one block for each file collected for -F, with its
// identity, link count, sizes, kind and every name its volume knows it by.
//
// The values of a block end in one column: the unique ID's label is 14
// characters and its value 16, the other labels 20 and their values 10.
#include <cstdint>
#include <iomanip>
#include <limits>
#include <locale>
#include <ostream>
#include <vector>

#include "term/console.h"
#include "report/report_format.h"

namespace report {

// A sparse file can claim a size so large that this product leaves the
// 64-bit range; it is then held at the largest value.
std::int64_t naive_size_of(std::int32_t links, std::int64_t size) {
  const std::int64_t max = std::numeric_limits<std::int64_t>::max();
  const std::int64_t min = std::numeric_limits<std::int64_t>::min();
  if (links == 0 || size == 0)
    return 0;
  if ((links > 0) == (size > 0)) {
    if (links > 0 ? size > max / links : size < max / links)
      return max;
  } else if (links > 0 ? size < min / links : links < min / size) {
    return min;
  }
  return links * size;
}

namespace {

void print_block(native_ostream& out, const scan::_scandata_breakdown_fileinfo& info,
                 const std::vector<native_string>& names, bool allocated) {
  out << std::endl;
  out << "Breakdown for \"" << platform::shown(info.filename) << "\"" << std::endl;

  // The underline is as long as the heading: its 15 + 1 characters around
  // the name, and one fill character for each character of the name.
  const native_char fill = out.fill(native_char('='));
  out << "===============" << std::setw(static_cast<int>(info.filename.size())) << ""
      << "=" << std::endl;
  out.fill(fill);

  // An identity is no quantity: it is printed without the digit grouping of
  // the user's locale, and as the bit pattern of the key; a 128-bit index
  // whose high half is not 0 with all its 32 digits.
  const std::locale user = out.getloc();
  out.imbue(std::locale::classic());
  out << "  Unique ID:  " << std::hex;
  if (info.file_key_high != 0) {
    const native_char fill = out.fill(native_char('0'));
    out << std::setw(16) << info.file_key_high << std::setw(16)
        << static_cast<std::uint64_t>(info.file_key);
    out.fill(fill);
  } else {
    out << std::setw(16) << static_cast<std::uint64_t>(info.file_key);
  }
  out << std::dec << std::endl;
  out.imbue(user);

  out << "  Hardlink count:   " << std::setw(10) << grouped(info.file_links) << std::endl;
  // The sizes are in the run's measure, the labels saying which, in the
  // same widths.
  // In units, the unit takes the place of the word.
  const char* const bytes = shows_sizes_in_units(out) ? "" : " bytes";
  out << (allocated ? "  Naive allocated:  " : "  Naive file size:  ") << std::setw(10)
      << as_size(naive_size_of(info.file_links, info.file_size)) << bytes << std::endl;
  out << (allocated ? "  Unique allocated: " : "  Unique file size: ") << std::setw(10)
      << as_size(info.file_size) << bytes << std::endl;
  out << "  Kind of file:     " << std::setw(10) << scan::kind_name(info.kind) << std::endl;
  out << "  Filenames:" << std::endl;
  // Printed from the file's own list: a file with many names that stands
  // for many breakdowns keeps a single list of them.
  for (const native_string& name : names) out << "    " << platform::shown(name) << std::endl;
}

}  // namespace

void print_breakdowns(native_ostream& out, const scan::_scandata& scandata) {
  for (const scan::_scandata_breakdown_fileinfo& info : scandata.breakdowns)
    print_block(out, info, scandata.names_of(info),
                scandata.measure() == scan::size_measure::allocated);
}

}  // namespace report
