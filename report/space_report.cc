// The space by path: what each PATH holds and what deleting it would free,
// one row per PATH in command-line order, then the row of the whole run and
// what stays held by names outside every PATH.
//
// Each row is Files (12 places), Unique Files (12) and the two sizes (20
// each), two spaces apart, then the PATH.
//
// The space by path in order follows, when asked for: one row per PATH in
// command-line order, each counting the PATHs before it, then the run's.
// Each row is Files (11 places), Added size (20), Files (11) and Freed with
// those before (23, its heading's width), then the PATH: 77 columns before
// the PATH.
//
// The space by directory follows, when asked for: rows of Files (12
// places) and the two sizes (20 each), then the directory.
#include <cstdint>
#include <iomanip>
#include <ostream>

#include "term/console.h"
#include "report/report_format.h"

namespace report {

namespace {

void print_figures(native_ostream& out, std::int64_t files, std::int64_t unique_files,
                   std::int64_t unique_size, std::int64_t freed) {
  out << std::setw(12) << files << "  " << std::setw(12) << unique_files << "  "
      << std::setw(20) << as_space_size(unique_size) << "  " << std::setw(20)
      << as_space_size(freed) << "  ";
}

void print_series_figures(native_ostream& out, std::int64_t added_files, std::int64_t added_size,
                          std::int64_t freed_files, std::int64_t freed) {
  out << std::setw(11) << added_files << "  " << std::setw(20) << as_space_size(added_size) << "  "
      << std::setw(11) << freed_files << "  " << std::setw(23) << as_space_size(freed) << "  ";
}

// What the figures of -E leave out, said at the end of each section where
// something is: deleting then frees at least what the rows show.
void print_not_counted(native_ostream& out, const scan::_scandata& scandata) {
  if (!scandata.counts_shared_extents()) return;
  const bool metadata = scandata.metadata_not_counted();
  const bool compressed = scandata.compressed_counted_at_least();
  if (!metadata && !compressed) return;
  out << std::endl;
  if (metadata)
    out << "btrfs metadata is not counted: deleting frees at least the sizes shown."
        << std::endl;
  if (compressed)
    out << "Compressed data is counted at its least, one block per extent." << std::endl;
}

}  // namespace

void print_space_by_path(native_ostream& out, const scan::_scandata& scandata,
                         const std::vector<native_string>& directories) {
  const scan::_scandata_space& space = scandata.space;
  print_heading(out, "Space by Path");
  out << "       Files  Unique Files           Unique size      Freed if deleted  Path"
      << std::endl;
  for (std::size_t i = 0; i < directories.size() && i < space.paths.size(); ++i) {
    const scan::_scandata_path_space& path = space.paths[i];
    print_figures(out, path.files, path.unique_files, path.unique_size, path.freed);
    out << platform::shown(directories[i]) << std::endl;
  }
  print_figures(out, scandata.files_total, static_cast<std::int64_t>(scandata.unique_files),
                space.unique_size, space.freed);
  out << "<all paths>" << std::endl;

  const std::int64_t held = scan::held_outside(space);
  out << std::endl;
  out << "Held by names outside the paths: " << std::setw(20) << as_space_size(held) << " ("
      << percent(held, space.unique_size) << ")" << std::endl;
  print_not_counted(out, scandata);
}

void print_space_in_order(native_ostream& out, const scan::_scandata& scandata,
                          const std::vector<native_string>& directories) {
  const scan::_scandata_space& space = scandata.space;
  print_heading(out, "Space by Path in Order");
  out << "      Files            Added size        Files  Freed with those before  Path"
      << std::endl;
  for (std::size_t i = 0; i < directories.size() && i < space.paths.size(); ++i) {
    const scan::_scandata_path_space& path = space.paths[i];
    print_series_figures(out, path.added_files, path.added_size,
                         path.freed_with_those_before_files, path.freed_with_those_before);
    out << platform::shown(directories[i]) << std::endl;
  }
  print_series_figures(out, static_cast<std::int64_t>(scandata.unique_files), space.unique_size,
                       space.freed_files, space.freed);
  out << "<all paths>" << std::endl;
}

void print_space_by_directory(native_ostream& out, const scan::_scandata& scandata) {
  print_heading(out, "Space by Directory");
  out << "       Files           Unique size      Freed if deleted  Directory" << std::endl;
  for (const scan::_scandata_directory_row& row : scandata.directories.rows) {
    if (!row.shown) continue;
    out << std::setw(12) << row.files << "  " << std::setw(20) << as_space_size(row.unique_size())
        << "  " << std::setw(20) << as_space_size(row.freed()) << "  "
        << platform::shown(scandata.directories.path_of(row)) << std::endl;
  }
  print_not_counted(out, scandata);
}

}  // namespace report
