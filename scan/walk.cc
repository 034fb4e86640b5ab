// The scan of one directory tree: the walk of platform/tree_walk.h, with
// every entry examined and tallied, and every failure a counted scan error.
#include "platform/tree_walk.h"
#include "scan/scandata.h"

namespace scan {

namespace {

struct scan_visitor {
  _scandata& scan;
  platform::entry_facts facts;  // reused for every entry

  void before_entering() { scan.progress(); }

  void not_entered(platform::entering outcome, platform::error_code error,
                   const native_string& path) {
    if (outcome == platform::entering::not_a_directory) {
      scan.not_a_directory(path);
    } else {
      scan.scan_error(error, quoted_message("Error getting attributes for ", path));
    }
  }

  void unreadable(platform::error_code error, const native_string& path) {
    scan.scan_error(error, quoted_message("Error searching ", path));
  }

  void listed(const platform::file_identity* identity) { scan.directory_listed(identity); }

  platform::descent visit(platform::walk_cursor& cursor, const platform::listed_entry& entry,
                          const native_string& path) {
    const bool directory = entry.is_directory;
    ++(directory ? scan.dirs_total : scan.files_total);
    const bool examined = scan.scan_file(cursor, path, entry, facts);
    if (!examined) ++(directory ? scan.dirs_skipped : scan.files_skipped);
    // Links and mount points are counted, never entered; a directory that
    // could not be examined is still entered, and says itself why not.
    if (!directory || entry.is_reparse) return platform::descent();
    return platform::descent{true, examined ? &facts.identity : nullptr};
  }

  bool finished() const { return false; }
};

}  // namespace

void _scandata::scan_directory(const native_string& path) {
  scan_visitor visitor{*this, {}};
  platform::walk_tree(path, visitor);
}

}  // namespace scan
