// The space by directory: for each directory a walk lists down to the depth
// asked for, the files of its subtree, their distinct sizes, and what
// deleting the subtree would free, all from the one scan.
//
// The rows of a walk form a tree, its PATH at the root; a directory deeper
// than the rows go belongs to the row of its nearest ancestor that has one.
// Each row first gathers only what lies in its own directories, then, when
// the walk ends, every row's figures are added into its ancestors once.
//
// A file of one link adds its size to the row of its one name. A file of
// several links must count once in every row that holds any of its names,
// and in no other: the walk meets directories in pre-order (a directory's
// files before its subdirectories, each subtree whole before the next), so
// the names of a file held by one subtree come one after another, and
// adding its size at every name and taking it back at the lowest common row
// of each name and the one before leaves it counted exactly once in every
// subtree holding any of them. That needs only the row of the file's last
// name. Freed, the file counts in the lowest common row of all its names
// (and so in every row above) once the walk met as many of its names as it
// has links: then no name lies outside that row's subtree.
//
// Names are counted as the space by path counts them, each once per walk
// (space_by_path.cc calls here), and a file's places in the rows start
// afresh with each walk: a PATH given twice or inside another has rows of
// its own with the figures of its own walk.
#include <limits>

#include "scan/scandata.h"

namespace scan {

namespace {

std::int64_t saturated(wide_figure figure) {
  const std::int64_t max = std::numeric_limits<std::int64_t>::max();
  if (figure <= 0) return 0;
  return figure > max ? max : static_cast<std::int64_t>(figure);
}

// A size below 0 counts as none, as everywhere else.
std::int64_t counted(std::int64_t size) { return size > 0 ? size : 0; }

}  // namespace

void _scandata::collect_directories(std::int32_t depth) {
  directories.depth = depth < 0 ? 0 : depth;
  space.enabled = true;
  filenames_by_key.keep_row_tallies();
  linked_directories_.keep_row_tallies();
}

void _scandata::directory_row(const platform::listed_directory& directory) {
  _scandata_directories& rows = directories;
  // The files listed since the last listing were the last directory's.
  if (rows.current != rows.none) rows.walked[rows.current].files += files_total - rows.files_counted;
  rows.files_counted = files_total;
  // Those the walk has left are no ancestors of this one: the walk enters
  // a directory only after its parent, and leaves it for good.
  while (!rows.open.empty() && rows.walked[rows.open.back()].depth >= directory.depth)
    rows.open.pop_back();
  const std::uint32_t parent = rows.open.empty() ? rows.none : rows.open.back();
  if (directory.depth > static_cast<std::size_t>(rows.depth) || rows.walked.size() >= rows.none) {
    rows.current = parent;
    return;
  }
  _scandata_walked_directory walked{parent, static_cast<std::uint32_t>(directory.depth), rows.none};
  // A listing cut short shows no row, but what it read still counts above.
  if (directory.complete) {
    walked.row = static_cast<std::uint32_t>(rows.rows.size());
    _scandata_directory_row row;
    row.path = directory.path;
    row.depth = static_cast<std::int32_t>(directory.depth);
    rows.rows.push_back(std::move(row));
  }
  // The directory's own space (counted by allocation) is its row's: the
  // parent's row took it when the parent listed it, and gives it over; the
  // PATH's was counted before the walk.
  const std::int64_t allocated = directory.depth == 0 ? rows.top_allocated : directory.carried;
  walked.unique_size = allocated;
  walked.freed = allocated;
  if (parent != rows.none) {
    rows.walked[parent].unique_size -= allocated;
    rows.walked[parent].freed -= allocated;
  }
  rows.current = static_cast<std::uint32_t>(rows.walked.size());
  rows.walked.push_back(walked);
  rows.open.push_back(rows.current);
}

void _scandata::settle_directory_rows() {
  _scandata_directories& rows = directories;
  if (rows.walked.empty()) return;
  if (rows.current != rows.none) rows.walked[rows.current].files += files_total - rows.files_counted;
  // A row comes after its parent: from the last one back, each holds its
  // whole subtree when it is added into its parent.
  for (std::size_t i = rows.walked.size(); i-- > 1;) {
    const _scandata_walked_directory& child = rows.walked[i];
    if (child.parent == rows.none) continue;
    _scandata_walked_directory& parent = rows.walked[child.parent];
    parent.files += child.files;
    parent.unique_size += child.unique_size;
    parent.freed += child.freed;
  }
  for (const _scandata_walked_directory& walked : rows.walked) {
    if (walked.row == rows.none) continue;
    _scandata_directory_row& row = rows.rows[walked.row];
    row.files = walked.files;
    row.unique_size = saturated(walked.unique_size);
    row.freed = saturated(walked.freed);
  }
  rows.walked.clear();
  rows.open.clear();
  rows.current = rows.none;
}

void _scandata::first_name_in_rows(std::int64_t size, _scandata_row_tally& tally) {
  tally.last_row = directories.current;
  tally.common_row = directories.current;
  directories.walked[directories.current].unique_size += counted(size);
}

void _scandata::further_name_in_rows(std::int64_t size, _scandata_row_tally& tally) {
  _scandata_directories& rows = directories;
  const std::uint32_t here = rows.current;
  // The size as read at this name, added here and taken back where this
  // subtree meets the last name's: every subtree counts the file once, at
  // the size read at the first of its names that it holds.
  if (here != tally.last_row) {
    rows.walked[here].unique_size += counted(size);
    rows.walked[rows.common(tally.last_row, here)].unique_size -= counted(size);
    tally.common_row = rows.common(tally.common_row, here);
    tally.last_row = here;
  }
}

void _scandata::freed_in_rows(std::int64_t size, const _scandata_row_tally& tally) {
  directories.walked[tally.common_row].freed += counted(size);
}

void _scandata::directory_in_rows(std::int64_t allocated) {
  if (directories.depth < 0) return;
  // Kept for the directory's own row, or for the PATH's, which is counted
  // before its walk lists it and has no row to go to before.
  directories.entered_allocated = counted(allocated);
  if (!directories.collecting()) return;
  directories.walked[directories.current].unique_size += counted(allocated);
  directories.walked[directories.current].freed += counted(allocated);
}

}  // namespace scan
