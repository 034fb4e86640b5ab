// The walk of one mount for the names of the files wanted there.
#include "names/name_search.h"

#include <algorithm>

namespace platform {
namespace {

// A directory itself, as opposed to a link to one: only these are walked
// into.
bool is_real_directory(const entry_facts& facts) {
  return facts.is_directory && facts.kind != entry_kind::symlink;
}

// The per-entry work of the walk: the names of the files wanted are taken,
// and every real directory of the mount entered.
struct name_visitor {
  mount_search& search;
  link_name_lists& lists;
  std::size_t top_length;  // of the mount point's path in the walk's path
  entry_facts facts;       // of the entry visited last

  void before_entering() {}
  // A directory of another kind now is no place for names; one that is
  // gone or cannot be read may have held some.
  void not_entered(entering outcome, error_code error, const native_string& path) {
    if (outcome != entering::not_a_directory) unsearched(error, path);
  }
  void unreadable(error_code error, const native_string& path) { unsearched(error, path); }
  void listed(const listed_directory&) {}

  descent visit(walk_cursor& cursor, const listed_entry& entry, const native_string& path) {
    if (examine_entry(cursor, path, entry, facts).outcome != examination::examined)
      return descent();
    if (is_real_directory(facts)) {
      // The root of another mount is a "reparse" directory; every other
      // directory belongs to this mount, whatever its device.
      if (facts.kind != entry_kind::normal) return descent();
      return descent{true, &facts.identity};
    }
    // Only files of several links have names to find: a lookup for those
    // alone keeps the walk's cost per file at a comparison.
    if (facts.links > 1) record(native_string_view(path).substr(top_length));
    return descent();
  }

  bool finished() const { return search.incomplete == 0; }

  void record(native_string_view name) {
    const auto found = search.files.find(facts.identity);
    if (found == search.files.end()) return;
    wanted_file& file = found->second;
    std::vector<native_string>& names = lists[file.list];
    if (names.size() >= static_cast<std::size_t>(file.links)) return;
    // The requests' own paths are names already; every other path is met
    // only once.
    for (std::size_t i = 0; i < file.own_paths; ++i) {
      if (names[i] == name) return;
    }
    names.emplace_back(name);
    if (names.size() == static_cast<std::size_t>(file.links)) --search.incomplete;
  }

  // Named as the names are, from the mount point, with the mount point's
  // own path before it (none for the root), as the user would reach it.
  void unsearched(error_code error, const native_string& path) {
    native_string shown = search.top.size() > 1 ? search.top : native_string();
    if (path.size() > top_length) shown.append(path, top_length, native_string::npos);
    if (shown.empty()) shown = search.top;
    search.unsearched.push_back(unsearched_directory{std::move(shown), error});
  }
};

}  // namespace

std::size_t mount_search::want(const entry_facts& facts, native_string_view own_name,
                               link_name_lists& lists) {
  auto file = files.find(facts.identity);
  if (file == files.end()) {
    file = files.emplace(facts.identity, wanted_file()).first;
    file->second.list = lists.size();
    lists.emplace_back();
  }
  wanted_file& wanted = file->second;
  wanted.links = std::max(wanted.links, facts.links);
  std::vector<native_string>& names = lists[wanted.list];
  if (std::find(names.begin(), names.end(), own_name) == names.end()) {
    names.emplace_back(own_name);
    ++wanted.own_paths;
  }
  return wanted.list;
}

void search_mount(mount_search& search, link_name_lists& lists, std::size_t& searches) {
  search.incomplete = 0;
  for (const auto& file : search.files) {
    if (lists[file.second.list].size() < static_cast<std::size_t>(file.second.links))
      ++search.incomplete;
  }
  if (search.incomplete > 0) {
    ++searches;
    // From the root the walk's paths begin with two separators: the names
    // begin after the mount point's own path either way.
    name_visitor visitor{search, lists, search.top.size(), {}};
    walk_tree(search.top, visitor);
  }
  // What could not be searched matters only where names are missing.
  if (search.incomplete == 0) search.unsearched.clear();
  for (const auto& file : search.files)
    std::sort(lists[file.second.list].begin(), lists[file.second.list].end());
}

}  // namespace platform
