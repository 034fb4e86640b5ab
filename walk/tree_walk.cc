// The stack of the one directory walk.
#include "walk/tree_walk.h"

namespace platform {
namespace {

// Whether the identity of a frame can tell a cycle. Index 0 is no identity
// at all.
bool tells_cycles(const tree_walk::frame& frame) {
  return identities_find_cycles && frame.identity_known && frame.identity.key != 0;
}

}  // namespace

result<entering> tree_walk::enter(const pending_directory* next) {
  const native_string_view name =
      next ? native_string_view(cursor.path).substr(cursor.path.size() - next->name_length)
           : native_string_view();
  const file_identity* listed = next && next->identity_known ? &next->identity : nullptr;
  const result<entering> attempt = enter_directory(cursor, cursor.path, name, listed);
  if (attempt.outcome != entering::entered) return attempt;
  frame entered{cursor.path.size(), pending.size(), pending.size(), pending_names.size(), {}, false,
                next ? next->carried : 0};
  entered.identity_known = current_identity(cursor, entered.identity);
  if (!entered.identity_known && listed) {
    entered.identity = *listed;
    entered.identity_known = true;
  }
  frames.push_back(entered);
  if (tells_cycles(entered)) on_stack.insert(entered.identity);
  return attempt;
}

void tree_walk::enter_later(native_string_view name, const file_identity* identity,
                            std::int64_t carried) {
  // A directory already on the stack (a bind mount of an ancestor that the
  // system does not flag as a mount) is not entered again: the walk would
  // never end. Index 0 is no identity at all.
  if (identities_find_cycles && identity && identity->key != 0 && on_stack.count(*identity) != 0)
    return;
  pending.push_back(pending_directory{pending_names.size(), name.size(),
                                      identity ? *identity : file_identity(), identity != nullptr,
                                      carried});
  pending_names += name;
}

const tree_walk::pending_directory* tree_walk::next_directory() {
  while (!frames.empty()) {
    frame& deepest = frames.back();
    // Deeper frames have given their pending directories back: all that is
    // left from `next_pending` on belongs to this one.
    if (deepest.next_pending < pending.size()) {
      const pending_directory& next = pending[deepest.next_pending++];
      cursor.path.resize(deepest.path_length);
      cursor.path += path_separator;
      cursor.path.append(pending_names, next.name_offset, next.name_length);
      return &next;
    }
    leave_directory(cursor);
    if (tells_cycles(deepest)) on_stack.erase(on_stack.find(deepest.identity));
    pending.resize(deepest.first_pending);
    pending_names.resize(deepest.first_name);
    frames.pop_back();
  }
  return nullptr;
}

}  // namespace platform
