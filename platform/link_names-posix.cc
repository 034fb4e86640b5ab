// Every name of a file, on POSIX.
//
// A POSIX file knows how many names it has but not what they are. A file
// with a single name is named by its own path. The names of any other file
// are found by walking its file system from the mount point, never into
// another mount and never through a symbolic link, and matching each entry's
// device and inode against the files wanted. Such a walk may read a whole
// volume, so all the files wanted on one file system share a single walk,
// and the walk ends as soon as every one of them has shown as many names as
// it has links.
//
// Names are paths from the mount point through which the file was reached:
// a file reached through a bind mount of a subtree is named from the top of
// that subtree, and its names outside the subtree are not seen.
#include "platform/link_names-posix.h"

#include <fcntl.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <unordered_map>
#include <utility>

#include "platform/filesystem.h"
#include "platform/stat-posix.h"

namespace platform {
namespace {

std::size_t searches_made = 0;

// A directory itself, as opposed to a link to one: only these are walked
// into, and only files that are no directory can have several names.
bool is_real_directory(const entry_facts& facts) {
  return facts.is_directory && facts.kind != entry_kind::symlink;
}

native_string parent_of(const native_string& absolute) {
  const std::size_t slash = absolute.rfind('/');
  return slash == 0 || slash == native_string::npos ? native_string("/")
                                                    : absolute.substr(0, slash);
}

bool resolve(const native_string& path, native_string& resolved) {
  char* full = realpath(path.c_str(), nullptr);
  if (!full) return false;
  resolved = full;
  std::free(full);
  return true;
}

// The absolute path of `path`, its directory part resolved but its last
// component kept as written, so that a symbolic link is named as itself and
// not as its target. A path ending in '/', "." or ".." stands for the
// directory it leads to and is resolved whole.
bool absolute_path(const native_string& path, native_string& absolute) {
  if (path.empty()) return false;
  const std::size_t slash = path.rfind('/');
  const native_string_view last = slash == native_string::npos
                                      ? native_string_view(path)
                                      : native_string_view(path).substr(slash + 1);
  if (last.empty() || last == "." || last == "..") return resolve(path, absolute);
  const native_string directory = slash == native_string::npos ? native_string(".")
                                  : slash == 0                 ? native_string("/")
                                                               : path.substr(0, slash);
  if (!resolve(directory, absolute)) return false;
  if (absolute.back() != '/') absolute += '/';
  absolute += last;
  return true;
}

// The mount point of the file system that holds `directory` (absolute, no
// links in it): the first directory upward that the system flags as the root
// of a mount, or whose parent lies on another device, or "/". The flag also
// tells the top of a bind mount, which shares its device with its parent.
native_string mount_point_of(native_string directory) {
  entry_facts facts;
  entry_facts parent_facts;
  while (directory != "/") {
    native_string parent = parent_of(directory);
    if (read_entry(AT_FDCWD, parent.c_str(), 0, parent_facts) != 0 ||
        read_entry(AT_FDCWD, directory.c_str(), parent_facts.identity.volume, facts) != 0 ||
        facts.kind == entry_kind::reparse)
      break;
    directory = std::move(parent);
  }
  return directory;
}

// A file wanted by one or more requests, with the names found so far.
struct wanted_file {
  std::int32_t links = 0;
  std::size_t own_paths = 0;  // the first names: the requests' own paths
  std::vector<native_string> names;
};

// Everything wanted from one file system, reached through one mount point.
struct volume_search {
  std::uint64_t volume = 0;
  native_string mount_point;
  std::unordered_map<std::int64_t, wanted_file> files;  // by inode
  // How many of `files` have fewer names than links: the walk ends at 0.
  std::size_t incomplete = 0;
};

// A subdirectory still to be entered.
struct pending_subdirectory {
  std::size_t name_offset;
  std::size_t name_length;
  file_identity identity;
};

// One directory on the walk's stack.
struct search_frame {
  std::size_t path_length = 0;  // of its path below the mount point
  file_identity identity;
  native_string names;  // the names of `subdirectories`, one after another
  std::vector<pending_subdirectory> subdirectories;
  std::size_t next = 0;
};

// One walk of a file system. It keeps its own stack rather than recursing,
// and the cursor keeps a bounded number of directories open, so no depth of
// tree exhausts the program's stack or its descriptors. Frames are reused
// from level to level, so the walk allocates little once it has seen its
// deepest and widest directories.
struct volume_walk {
  volume_search& search;
  walk_cursor cursor;
  directory_listing listing;
  std::vector<search_frame> frames;
  std::size_t depth = 0;
  native_string path;        // of the current directory below the mount point
  native_string name;        // of a match, reused
  std::uint64_t device = 0;  // of the mount point: the walk stays on it

  explicit volume_walk(volume_search& s) : search(s) {}
  void run();
  void read_current(const file_identity& identity);
  void record(std::int64_t inode, native_string_view entry_name);
  bool on_stack(const file_identity& identity) const;
};

bool volume_walk::on_stack(const file_identity& identity) const {
  for (std::size_t i = 0; i < depth; ++i) {
    if (frames[i].identity == identity) return true;
  }
  return false;
}

void volume_walk::record(std::int64_t inode, native_string_view entry_name) {
  const auto found = search.files.find(inode);
  if (found == search.files.end()) return;
  wanted_file& file = found->second;
  if (file.names.size() >= static_cast<std::size_t>(file.links)) return;
  name = path;
  name += '/';
  name += entry_name;
  // The requests' own paths are names already; every other path is met
  // only once.
  for (std::size_t i = 0; i < file.own_paths; ++i) {
    if (file.names[i] == name) return;
  }
  file.names.push_back(name);
  if (file.names.size() == static_cast<std::size_t>(file.links)) --search.incomplete;
}

// Lists the directory just entered, takes the names of the files wanted and
// puts it on the stack with the subdirectories to walk into.
void volume_walk::read_current(const file_identity& identity) {
  if (frames.size() == depth) frames.emplace_back();
  search_frame& frame = frames[depth++];
  frame.path_length = path.size();
  frame.identity = identity;
  frame.names.clear();
  frame.subdirectories.clear();
  frame.next = 0;
  error_code error = 0;
  // Names in a directory that cannot be read are simply not found.
  if (!list_directory(cursor, path, listing, error)) return;
  for (const listed_entry& entry : listing.entries) {
    if (entry.outcome != examination::examined) continue;
    const entry_facts& facts = entry.facts;
    const native_string_view entry_name = listing.name(entry);
    if (is_real_directory(facts)) {
      // A mount point is a "reparse" directory; the device check also
      // catches one the system does not flag, and the stack check a bind
      // mount of an ancestor, which would otherwise loop.
      if (facts.kind != entry_kind::normal || facts.identity.volume != device ||
          on_stack(facts.identity))
        continue;
      frame.subdirectories.push_back(
          pending_subdirectory{frame.names.size(), entry_name.size(), facts.identity});
      frame.names += entry_name;
    } else if (facts.links > 1 && facts.identity.volume == search.volume) {
      record(facts.identity.key, entry_name);
      if (search.incomplete == 0) return;
    }
  }
}

void volume_walk::run() {
  error_code error = 0;
  if (enter_directory(cursor, search.mount_point, native_string_view(), nullptr, error) !=
      directory_entry::entered)
    return;
  file_identity top;
  if (!current_identity(cursor, top)) return;
  device = top.volume;
  path.clear();
  read_current(top);
  while (depth > 0 && search.incomplete > 0) {
    search_frame& frame = frames[depth - 1];
    if (frame.next == frame.subdirectories.size()) {
      --depth;
      leave_directory(cursor);
      continue;
    }
    const pending_subdirectory subdirectory = frame.subdirectories[frame.next++];
    path.resize(frame.path_length);
    path += '/';
    const std::size_t name_start = path.size();
    path.append(frame.names, subdirectory.name_offset, subdirectory.name_length);
    const native_string_view child(path.data() + name_start, subdirectory.name_length);
    if (enter_directory(cursor, path, child, nullptr, error) != directory_entry::entered) continue;
    // Entered as listed, or something else now stands there (say, a file
    // system mounted since): then it is left alone.
    file_identity entered;
    if (!current_identity(cursor, entered) || !(entered == subdirectory.identity)) {
      leave_directory(cursor);
      continue;
    }
    read_current(entered);
  }
}

// The mount point of the last directory asked about: the matches of one
// pattern all share their directory.
struct mount_point_cache {
  native_string directory;
  native_string mount_point;

  const native_string& of(const native_string& absolute_directory) {
    if (mount_point.empty() || directory != absolute_directory) {
      directory = absolute_directory;
      mount_point = mount_point_of(absolute_directory);
    }
    return mount_point;
  }
};

}  // namespace

std::size_t link_name_searches() { return searches_made; }

void find_link_names(std::vector<link_name_request>& requests) {
  constexpr std::size_t no_search = static_cast<std::size_t>(-1);
  std::vector<volume_search> searches;
  std::map<std::pair<std::uint64_t, native_string>, std::size_t> search_index;
  std::vector<std::size_t> search_of(requests.size(), no_search);
  mount_point_cache mount_points;
  native_string absolute;

  for (std::size_t i = 0; i < requests.size(); ++i) {
    link_name_request& request = requests[i];
    request.names.clear();
    if (!absolute_path(request.path, absolute)) continue;
    native_string own_name = absolute;
    native_string mount_point("/");
    if (absolute != "/") {
      mount_point = mount_points.of(parent_of(absolute));
      if (mount_point != "/") own_name.erase(0, mount_point.size());
    }
    // A directory's link count also counts the ".." of its subdirectories,
    // which are no names of it: a directory has just its own.
    if (request.facts.links <= 1 || is_real_directory(request.facts)) {
      request.names.push_back(std::move(own_name));
      continue;
    }
    const auto key = std::make_pair(request.facts.identity.volume, mount_point);
    auto known = search_index.find(key);
    if (known == search_index.end()) {
      known = search_index.emplace(key, searches.size()).first;
      searches.emplace_back();
      searches.back().volume = request.facts.identity.volume;
      searches.back().mount_point = mount_point;
    }
    search_of[i] = known->second;
    // Its own path is a name whether or not the walk can reach it (it may
    // lie below a directory that can be passed through but not listed).
    wanted_file& file = searches[known->second].files[request.facts.identity.key];
    file.links = std::max(file.links, request.facts.links);
    if (std::find(file.names.begin(), file.names.end(), own_name) == file.names.end()) {
      file.names.push_back(std::move(own_name));
      ++file.own_paths;
    }
  }

  for (volume_search& search : searches) {
    for (const auto& file : search.files) {
      if (file.second.names.size() < static_cast<std::size_t>(file.second.links))
        ++search.incomplete;
    }
    if (search.incomplete == 0) continue;
    ++searches_made;
    volume_walk walk(search);
    walk.run();
  }

  for (std::size_t i = 0; i < requests.size(); ++i) {
    if (search_of[i] == no_search) continue;
    const wanted_file& file = searches[search_of[i]].files[requests[i].facts.identity.key];
    requests[i].names = file.names;
    // The order in which a walk meets names is its own; sorted, the same
    // file gives the same list on every run.
    std::sort(requests[i].names.begin(), requests[i].names.end());
  }
}

}  // namespace platform
