// The walk of one directory tree.
//
// Each directory is listed completely first; then its files are examined,
// then its subdirectories, each in listing order; then the walk descends
// into every subdirectory that is not a link or mount point, finishing each
// one's whole tree before the next. The walk keeps its own stack instead of
// recursing, so no depth of tree can exhaust the program's stack.
#include "scan/scandata.h"

namespace {

// A subdirectory still to be entered.
struct pending_subdirectory {
  std::size_t name_offset;
  std::size_t name_length;
  platform::file_identity identity;
  bool identity_known;
};

// One directory of the walk's stack.
struct walk_frame {
  native_string path;
  platform::file_identity identity;
  bool identity_known = false;
  native_string names;  // the names of `subdirectories`, one after another
  std::vector<pending_subdirectory> subdirectories;
  std::size_t next = 0;
};

bool is_ancestor(const std::vector<walk_frame>& frames, const platform::file_identity& id) {
  for (const walk_frame& frame : frames) {
    if (frame.identity_known && frame.identity == id) return true;
  }
  return false;
}

// Everything one walk needs, so the steps below can share it.
struct tree_walk {
  _scandata& scan;
  platform::walk_cursor cursor;
  platform::directory_listing listing;
  platform::entry_facts facts;
  native_string entry_path;  // reused for every entry, to spare allocations
  std::vector<walk_frame> frames;

  void enter(const native_string& path, native_string_view name,
             const pending_subdirectory* subdirectory);
  void examine_listing(walk_frame& frame);
  void run(const native_string& top);
};

void tree_walk::enter(const native_string& path, native_string_view name,
                      const pending_subdirectory* subdirectory) {
  scan.progress();
  platform::error_code error = 0;
  const platform::file_identity* identity =
      subdirectory && subdirectory->identity_known ? &subdirectory->identity : nullptr;
  switch (platform::enter_directory(cursor, path, name, identity, error)) {
    case platform::directory_entry::no_attributes:
      scan.scan_error(error, quoted_message("Error getting attributes for ", path));
      return;
    case platform::directory_entry::not_a_directory:
      scan.not_a_directory(path);
      return;
    case platform::directory_entry::entered:
      break;
  }
  frames.emplace_back();
  walk_frame& frame = frames.back();
  frame.path = path;
  if (identity) {
    frame.identity = *identity;
    frame.identity_known = true;
  } else {
    frame.identity_known = platform::current_identity(cursor, frame.identity);
  }
  if (!platform::list_directory(cursor, path, listing, error)) {
    scan.scan_error(error, quoted_message("Error searching ", path));
    return;  // entered but unreadable: left again by run()
  }
  scan.directory_listed(frame.identity_known ? &frame.identity : nullptr);
  examine_listing(frame);
}

void tree_walk::examine_listing(walk_frame& frame) {
  entry_path = frame.path;
  entry_path += platform::path_separator;
  const std::size_t prefix = entry_path.size();
  // Files first, then directories, each in listing order.
  for (int pass = 0; pass < 2; ++pass) {
    const bool directories = pass == 1;
    for (const platform::listed_entry& entry : listing.entries) {
      if (entry.is_directory != directories) continue;
      const native_string_view name = listing.name(entry);
      entry_path.resize(prefix);
      entry_path += name;
      ++(directories ? scan.dirs_total : scan.files_total);
      const bool examined = scan.scan_file(cursor, entry_path, entry, facts);
      if (!examined) ++(directories ? scan.dirs_skipped : scan.files_skipped);
      if (!directories || entry.is_reparse) continue;
      // A directory already on the stack (a bind mount of an ancestor that
      // the system does not flag as a mount) is counted but not entered.
      if (examined && is_ancestor(frames, facts.identity)) continue;
      frame.subdirectories.push_back(
          pending_subdirectory{frame.names.size(), name.size(), facts.identity, examined});
      frame.names += name;
    }
  }
}

void tree_walk::run(const native_string& top) {
  enter(top, native_string_view(), nullptr);
  while (!frames.empty()) {
    walk_frame& frame = frames.back();
    if (frame.next == frame.subdirectories.size()) {
      frames.pop_back();
      platform::leave_directory(cursor);
      continue;
    }
    // Copied out: entering pushes a frame, which may move this one.
    const pending_subdirectory subdirectory = frame.subdirectories[frame.next++];
    native_string path = frame.path;
    path += platform::path_separator;
    const std::size_t name_start = path.size();
    path.append(frame.names, subdirectory.name_offset, subdirectory.name_length);
    const native_string_view name(path.data() + name_start, subdirectory.name_length);
    enter(path, name, &subdirectory);
  }
}

}  // namespace

void _scandata::scan_directory(const native_string& path) {
  tree_walk walk{*this, {}, {}, {}, {}, {}};
  walk.run(path);
}
