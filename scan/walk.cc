// The scan of one directory tree: the walk of walk/tree_walk.h, with
// every entry examined and tallied, and every failure a counted scan error.
//
// The run remembers every directory its walks listed, so that a name met
// again (a PATH given twice, a PATH inside another, a directory reached
// twice) is known as such without remembering every file.
#include "base/error_codes.h"
#include "fs/path_identity.h"
#include "walk/tree_walk.h"
#include "scan/scandata.h"

namespace scan {

namespace {

struct scan_visitor {
  _scandata& scan;
  platform::entry_facts facts;  // reused for every entry
  // Until the PATH's own directory is listed: what went wrong with it, if
  // anything. A PATH that could not be entered or read at all ends the walk
  // with nothing listed; one whose listing was cut short is listed after
  // all, and was scanned in part.
  bool at_top = true;
  bool top_failed = false;
  platform::error_code top_error = 0;

  void before_entering() { scan.progress(); }

  void not_entered(platform::entering outcome, platform::error_code error,
                   const native_string& path) {
    if (outcome == platform::entering::not_a_directory) {
      scan.not_a_directory(path);
      top_failed_with(platform::not_a_directory_error);
    } else {
      scan.scan_error(error, quoted_message("Error getting attributes for ", path));
      top_failed_with(error);
    }
  }

  void unreadable(platform::error_code error, const native_string& path) {
    scan.scan_error(error, quoted_message("Error searching ", path));
    top_failed_with(error);
  }

  void listed(const platform::listed_directory& directory) {
    at_top = false;
    top_failed = false;
    scan.directory_listed(directory);
  }

  void top_failed_with(platform::error_code error) {
    if (!at_top) return;
    top_failed = true;
    top_error = error;
  }

  // Every fact of an entry is its reading's: where the reading disagrees
  // with the listing (the entry changed kind in between), the entry is
  // counted as what the reading found, and entered only where both saw a
  // directory, so that what is counted and what is walked are one moment's.
  platform::descent visit(platform::walk_cursor& cursor, const platform::listed_entry& entry,
                          const native_string& path) {
    const bool examined = scan.examine_listed(cursor, path, entry, facts);
    const bool directory = examined ? facts.is_directory : entry.is_directory;
    ++(directory ? scan.dirs_total : scan.files_total);
    if (examined) {
      const _scandata_entry_place place{cursor, entry, path};
      scan.record_entry(path, facts, &place);
    } else {
      ++(directory ? scan.dirs_skipped : scan.files_skipped);
    }
    // Links and mount points are counted, never entered; a directory that
    // could not be examined is still entered, and says itself why not.
    const bool reparse = examined ? facts.kind != platform::entry_kind::normal : entry.is_reparse;
    if (!entry.is_directory || !directory || reparse) return platform::descent();
    // The space the directory takes went to the row of this one; its own
    // row, if it gets one, takes it over once it is listed.
    if (!examined) return platform::descent{true, nullptr};
    return platform::descent{true, &facts.identity, scan.take_entered_allocated()};
  }

  bool finished() const { return false; }
};

}  // namespace

void _scandata::scan_directory(const native_string& path) {
  ++walks;
  walk_top = &path;
  // Counted by allocation, the PATH's own directory takes space too; the
  // walk reads only what lies below it.
  if (measure_ == size_measure::allocated) count_top_directory(path);
  directories.top_allocated = take_entered_allocated();
  scan_visitor visitor{*this, {}};
  platform::walk_tree(path, visitor);
  // A walk that met no entry has only the volumes asked before to go by.
  if (top_pending_) note_top_inode(known_volume(top_identity_.volume));
  if (visitor.top_failed) unscanned_paths.push_back(_scandata_error{path, visitor.top_error});
  walk_top = nullptr;
  settle_directory_rows();
}

void _scandata::directory_listed(const platform::listed_directory& directory) {
  if (directories.depth >= 0) directory_row(directory);
  const platform::file_identity* identity = directory.identity;
  listed_before_by_walk = false;
  listed_before_by_run = false;
  // Only needed where the identity map does not tell a file met again, or
  // for the space by path and by directory, which count names.
  if (keeps_single_link_files() && !space.enabled && directories.depth < 0) return;
  // Where the walk does not know its PATH's identity (Windows), it is read
  // here, once per PATH: the first directory a walk lists is its PATH.
  platform::file_identity top;
  if (!identity && walk_top && platform::path_identity(*walk_top, top)) identity = &top;
  walk_top = nullptr;
  // Unknown, or index 0, which some file systems give every file: its
  // names count as new.
  if (!identity || identity->key == 0) return;
  const identity_table::inserted listed = listed_directories.insert(*identity, walks);
  if (listed.added) return;
  listed_before_by_run = true;
  listed_before_by_walk = *listed.value == walks;
  *listed.value = walks;
}

}  // namespace scan
