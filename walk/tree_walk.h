// The one walk of a directory tree, shared by the scan of every PATH and by
// the POSIX search for the names of a file.
//
// Each directory is listed completely first; then the per-entry work looks
// at its files, then at its subdirectories, each in listing order, and says
// which subdirectories to enter; then the walk enters each of those,
// finishing each one's whole tree before the next. The walk keeps its own
// stack instead of recursing, so no depth of tree can exhaust the program's
// stack, and everything it keeps per level (the pending subdirectories and
// their names, the levels of the cursor, the path) lives in a few buffers
// shared by all levels, so its memory grows with the depth of the tree.
//
// The per-entry work is a visitor, a plain struct with these members:
//   void before_entering();  // before each directory is entered
//   void not_entered(entering outcome, error_code error,
//                    const native_string& path);
//   void unreadable(error_code error, const native_string& path);
//   void listed(const listed_directory& directory);  // the directory just
//                                                    // listed
//   descent visit(walk_cursor& cursor, const listed_entry& entry,
//                 const native_string& path);  // `path`: the entry's own
//   bool finished() const;  // true ends the walk early
#ifndef TWINFIND_WALK_TREE_WALK_H_
#define TWINFIND_WALK_TREE_WALK_H_

#include <cstddef>
#include <memory>
#include <unordered_set>
#include <vector>

#include "fs/filesystem.h"
#include "base/text.h"

namespace platform {

// What the per-entry work makes of one listed entry: whether the walk goes
// into it once its directory is done, and its identity as examined (null
// when it could not be examined).
struct descent {
  bool enter = false;
  const file_identity* identity = nullptr;
  // A number the per-entry work hands itself across the wait: the walk keeps
  // it with the subdirectory and gives it back when it is listed.
  std::int64_t carried = 0;
};

// The directory the walk has just listed, before its entries are visited.
struct listed_directory {
  const file_identity* identity;  // null where not known
  const native_string& path;
  std::size_t depth;     // 0 for the top, 1 for its subdirectories, and so on
  std::int64_t carried;  // what its descent carried; 0 for the top
  bool complete;         // false for a listing cut short by an error
};

// The state of one walk.
struct tree_walk {
  // A subdirectory still to be entered; its name lies in `pending_names`.
  struct pending_directory {
    std::size_t name_offset;
    std::size_t name_length;
    file_identity identity;
    bool identity_known;
    std::int64_t carried;
  };
  // One directory of the stack, with the range of `pending` that is its own.
  struct frame {
    std::size_t path_length;
    std::size_t first_pending;
    std::size_t next_pending;
    std::size_t first_name;
    file_identity identity;
    bool identity_known;
    std::int64_t carried;
  };

  walk_cursor cursor;  // its `path` is the walk's one path buffer, its
                       // `listing` the current directory's
  std::vector<frame> frames;
  std::vector<pending_directory> pending;
  native_string pending_names;
  // The identities of the frames, where they tell cycles: one lookup per
  // subdirectory whatever the depth.
  std::unordered_multiset<file_identity, identity_hash> on_stack;

  // Enters the directory at the cursor's path: the PATH when the stack is
  // empty, else the subdirectory `next` of the deepest frame. Puts a frame
  // on the stack when entered.
  result<entering> enter(const pending_directory* next);
  // Keeps a subdirectory of the current directory to enter later, unless it
  // is one of the directories the walk is already inside of.
  void enter_later(native_string_view name, const file_identity* identity,
                   std::int64_t carried = 0);
  // Leaves finished directories and moves the path to the next one to
  // enter; null when the walk is over.
  const pending_directory* next_directory();
};

// Walks the tree at `top`, with `visitor` doing the work of every entry.
template <typename visitor_type>
void walk_tree(const native_string& top, visitor_type& visitor) {
  // On the heap, as a walk must run on the smallest stacks.
  const std::unique_ptr<tree_walk> state = std::make_unique<tree_walk>();
  tree_walk& walk = *state;
  native_string& path = walk.cursor.path;
  path = top;
  const tree_walk::pending_directory* next = nullptr;
  do {
    visitor.before_entering();
    const result<entering> entered = walk.enter(next);
    if (entered.outcome != entering::entered) {
      visitor.not_entered(entered.outcome, entered.error, path);
      continue;
    }
    // Here the directory is entered and, where the platform tells it, its
    // identity is known (the deepest frame's).
    const result<> listed = list_directory(walk.cursor, path);
    const directory_listing& listing = walk.cursor.listing;
    if (!listed.outcome) {
      visitor.unreadable(listed.error, path);
      // A listing cut short is an error too, and what it read is walked.
      if (!listing.cut_short) continue;
    }
    const tree_walk::frame& current = walk.frames.back();
    visitor.listed(listed_directory{current.identity_known ? &current.identity : nullptr, path,
                                    walk.frames.size() - 1, current.carried,
                                    static_cast<bool>(listed.outcome)});
    const std::size_t directory_length = path.size();
    path += path_separator;
    const std::size_t prefix = path.size();
    // Files first, then directories, each in listing order.
    for (const bool directories : {false, true}) {
      for (const listed_entry& entry : listing.entries) {
        if (entry.is_directory != directories) continue;
        const native_string_view name = listing.name(entry);
        path.resize(prefix);
        path += name;
        const descent step = visitor.visit(walk.cursor, entry, path);
        if (step.enter) walk.enter_later(name, step.identity, step.carried);
        if (visitor.finished()) return;
      }
    }
    path.resize(directory_length);
  } while (!visitor.finished() && (next = walk.next_directory()) != nullptr);
}

}  // namespace platform

#endif  // TWINFIND_WALK_TREE_WALK_H_
