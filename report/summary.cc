// The summary report: the directories scanned, the kinds of the entries met,
// the files by hard-link count, the names of the files with the link counts
// asked for, and what the hard links save.
//
// The two tables share one column layout: 14-character row labels, a first
// number in positions 15 to 24 and a second in positions 34 to 43. The
// "<total>" rows put nine spaces where the other rows put a share, so their
// second number lines up with the others.
#include <cstdint>
#include <iomanip>
#include <limits>
#include <ostream>

#include "term/console.h"
#include "report/report_format.h"

namespace report {

namespace {

void print_kind_row(native_ostream& out, const char* label, std::int64_t files,
                    std::int64_t files_total, std::int64_t dirs, std::int64_t dirs_total) {
  out << label << std::setw(10) << grouped(files) << " (" << percent(files, files_total)
      << ")  " << std::setw(10) << grouped(dirs) << " (" << percent(dirs, dirs_total) << ")"
      << std::endl;
}

void print_kinds(native_ostream& out, const scan::_scandata& scan) {
  out << "Attributes:   Files              Directories      " << std::endl;
  out << "  <total>     " << std::setw(10) << grouped(scan.files_total) << "         "
      << std::setw(10) << grouped(scan.dirs_total) << std::endl;
  print_kind_row(out, "  Normal      ", scan.files_normal, scan.files_total,
                 scan.dirs_normal, scan.dirs_total);
  print_kind_row(out, "  Symlink     ", scan.files_symlink, scan.files_total,
                 scan.dirs_symlink, scan.dirs_total);
  print_kind_row(out, "  Reparse     ", scan.files_reparse, scan.files_total,
                 scan.dirs_reparse, scan.dirs_total);
  print_kind_row(out, "  Skipped     ", scan.files_skipped, scan.files_total,
                 scan.dirs_skipped, scan.dirs_total);
}

void print_hardlinks(native_ostream& out, const scan::_scandata& scan) {
  const std::int64_t unique_files = static_cast<std::int64_t>(scan.unique_files);
  out << "Hardlinks:    Files              Unique Files     " << std::endl;
  out << "  <total>     " << std::setw(10) << grouped(scan.files_total) << "         "
      << std::setw(10) << grouped(scan.unique_files) << " ("
      << percent(unique_files, scan.files_total) << ")" << std::endl;
  for (const auto& [links, info] : scan.hardlinkcounts) {
    const std::int64_t files = info.distinct_files;
    // The link count heads its row, so it alone is left-aligned.
    out << "  " << std::setw(10) << std::left << grouped(links) << std::right << "  "
        << std::setw(10) << grouped(info.file_count) << " ("
        << percent(info.file_count, scan.files_total) << ")  " << std::setw(10)
        << grouped(files) << " ("
        << percent(files, unique_files) << ")"
        << std::endl;
  }
}

// The names of every file with `links` links, file by file in the order the
// files were first met. A count that no file has prints nothing at all.
void print_listing(native_ostream& out, const scan::_scandata& scan, std::int32_t links) {
  const auto count = scan.hardlinkcounts.find(links);
  if (count == scan.hardlinkcounts.end())
    return;
  out << std::endl;
  out << "Files with " << grouped(links) << " hardlinks:" << std::endl;
  bool first = true;
  for (const platform::file_identity& id : count->second.file_ids) {
    if (!first)
      out << "  ----------------------------------------" << std::endl;
    first = false;
    // Names are kept only for the link counts the run was asked to list,
    // so a file may have none to show.
    for (const native_string& name : scan::kept_names(scan.filenames_by_key.find(id)))
      out << "  " << platform::shown(name) << std::endl;
  }
}

// What the hard links save: the naive total less the unique one. Both are
// held at the end of the 64-bit range when their sums leave it, so this is
// the difference of the totals shown; a negative size (which no volume
// should report) must not make it wrap either.
std::int64_t saved_size(std::int64_t naive, std::int64_t unique) {
  const std::int64_t max = std::numeric_limits<std::int64_t>::max();
  const std::int64_t min = std::numeric_limits<std::int64_t>::min();
  if (unique < 0 && naive > max + unique) return max;
  if (unique > 0 && naive < min + unique) return min;
  return naive - unique;
}

void print_sizes(native_ostream& out, const scan::_scandata& scan) {
  const std::int64_t saved = saved_size(scan.naive_size, scan.unique_size);
  // The labels say which measure the figures are in, in the same widths.
  const bool allocated = scan.measure() == scan::size_measure::allocated;
  out << (allocated ? "Naive allocated:  " : "Naive file size:  ") << std::setw(20)
      << as_size(scan.naive_size) << std::endl;
  out << (allocated ? "Unique allocated: " : "Unique file size: ") << std::setw(20)
      << as_size(scan.unique_size) << " ("
      << percent(scan.unique_size, scan.naive_size) << ")" << std::endl;
  out << "Difference:       " << std::setw(20) << as_size(saved) << " ("
      << percent(saved, scan.naive_size) << ")" << std::endl;
}

}  // namespace

void print_summary(native_ostream& out, const scan::_scandata& scandata,
                   const std::vector<native_string>& directories,
                   const std::vector<std::int32_t>& list_files_for_hardlinkcount) {
  // The first line end also closes a progress line left open.
  print_heading(out, "Summary of Directories");
  out << "Directories scanned:" << std::endl;
  for (const native_string& directory : directories)
    out << "  " << platform::shown(directory) << std::endl;
  out << std::endl;

  print_kinds(out, scandata);
  out << std::endl;
  print_hardlinks(out, scandata);

  for (std::int32_t links : list_files_for_hardlinkcount)
    print_listing(out, scandata, links);

  out << std::endl;
  print_sizes(out, scandata);
}

}  // namespace report
