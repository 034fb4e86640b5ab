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

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <unordered_map>
#include <utility>

#include "platform/filesystem.h"
#include "platform/long_paths-posix.h"
#include "platform/owners-posix.h"
#include "platform/paths-posix.h"
#include "platform/stat-posix.h"
#include "platform/tree_walk.h"

namespace platform {
namespace {

std::size_t searches_made = 0;

// A directory itself, as opposed to a link to one: only these are walked
// into, and only files that are no directory can have several names.
bool is_real_directory(const entry_facts& facts) {
  return facts.is_directory && facts.kind != entry_kind::symlink;
}

#ifdef O_PATH
// Enough to name a directory and reach below it: passing through is all
// that is asked of it, as of the directories of a path.
constexpr int kLookupFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int kLookupFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The name of the directory `child` in its parent, read from the parent's
// listing, and what reading it there shows (a mount point shows as one).
// The inode of the listing finds it at once; a mount point lists the inode
// of the directory it covers, so then every directory is read.
bool name_in_parent(int parent, const struct stat& parent_st, const struct stat& child,
                    native_string& name, entry_facts& facts) {
  const unique_dir dir{unique_fd(openat(parent, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC))};
  if (!dir) return false;
  const std::uint64_t device = static_cast<std::uint64_t>(parent_st.st_dev);
  for (int pass = 0; pass < 2; ++pass) {
    rewinddir(dir.get());
    while (const struct dirent* record = readdir(dir.get())) {
      const char* entry = record->d_name;
      if (is_dot_or_dot_dot(entry)) continue;
      if (pass == 0 ? record->d_ino != child.st_ino
                    : record->d_type != DT_DIR && record->d_type != DT_UNKNOWN)
        continue;
      if (read_entry(dirfd(dir.get()), entry, device, facts).outcome &&
          facts.identity.volume == static_cast<std::uint64_t>(child.st_dev) &&
          facts.identity.key == static_cast<std::int64_t>(child.st_ino)) {
        name = entry;
        return true;
      }
    }
  }
  return false;
}

// The absolute path of the directory open as `fd` and the mount point of
// its file system (of its parent's, when `from_parent`), found by climbing
// through ".." to the root and naming each directory from its parent's
// listing: no path the system handles whole is ever needed, so no length
// limits it.
bool climb_to_root(int fd, bool from_parent, native_string& absolute,
                   native_string& mount_point) {
  std::vector<native_string> names;  // from the directory up
  std::size_t mount_names = 0;       // how many of them name the mount point
  bool mount_found = false;
  struct stat st;
  unique_fd current(openat(fd, ".", kLookupFlags));
  bool ok = current.valid() && fstat(current.get(), &st) == 0;
  while (ok) {
    unique_fd parent(openat(current.get(), "..", kLookupFlags));
    struct stat parent_st;
    if (!parent.valid() || fstat(parent.get(), &parent_st) != 0) {
      ok = false;
      break;
    }
    if (same_file(parent_st, st)) break;  // the root is its own parent
    native_string name;
    entry_facts facts;
    ok = name_in_parent(parent.get(), parent_st, st, name, facts);
    const bool counts = !from_parent || !names.empty();
    if (ok && counts && !mount_found && facts.kind == entry_kind::reparse) {
      mount_found = true;
      mount_names = names.size();  // the names above this one, and its own
    }
    names.push_back(std::move(name));
    current = std::move(parent);
    st = parent_st;
  }
  if (!ok) return false;
  absolute.clear();
  mount_point = "/";
  for (std::size_t i = names.size(); i-- > 0;) {
    absolute += '/';
    absolute += names[i];
    if (mount_found && i == mount_names) mount_point = absolute;
  }
  if (absolute.empty()) absolute = "/";
  return true;
}

bool resolve(const native_string& path, native_string& resolved) {
  char* full = realpath(path.c_str(), nullptr);
  if (!full) return false;
  resolved = full;
  std::free(full);
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
    native_string parent = directory_part(directory);
    if (!read_entry(AT_FDCWD, parent.c_str(), 0, parent_facts).outcome ||
        !read_entry(AT_FDCWD, directory.c_str(), parent_facts.identity.volume, facts).outcome ||
        facts.kind == entry_kind::reparse)
      break;
    directory = std::move(parent);
  }
  return directory;
}

// Where the directory `path` lies: its absolute path with no link in it, and
// the mount point of its file system (of its parent's, when `from_parent`).
// The system resolves paths it can take whole; longer ones are climbed.
bool locate(const native_string& path, bool from_parent, native_string& absolute,
            native_string& mount_point) {
  if (resolve(path, absolute)) {
    mount_point = mount_point_of(from_parent ? directory_part(absolute) : absolute);
    return true;
  }
  if (errno != ENAMETOOLONG) return false;
  const unique_fd fd = open_directory(path);
  return fd.valid() && climb_to_root(fd.get(), from_parent, absolute, mount_point);
}

// Where the directory of the last request lies: the matches of one pattern
// all share their directory.
struct location_cache {
  native_string directory;
  bool valid = false;
  bool found = false;
  native_string absolute;
  native_string mount_point;

  bool of(const native_string& path) {
    if (!valid || directory != path) {
      directory = path;
      valid = true;
      found = locate(path, false, absolute, mount_point);
    }
    return found;
  }
};

// The path of `path` from the mount point of its file system, its directory
// part resolved but its last component kept as written, so that a symbolic
// link is named as itself and not as its target; `mount_point` is set too.
// A path ending in '/', "." or ".." stands for the directory it leads to,
// named from its parent's file system.
bool own_name_of(native_string_view path, location_cache& locations, native_string& name,
                 native_string& mount_point) {
  if (path.empty()) return false;
  const std::size_t slash = path.rfind('/');
  const native_string_view last = slash == native_string::npos ? path : path.substr(slash + 1);
  if (last.empty() || last == "." || last == "..") {
    if (!locate(native_string(path), true, name, mount_point)) return false;
  } else {
    if (!locations.of(directory_part(path))) return false;
    name = locations.absolute;
    if (name.back() != '/') name += '/';
    name += last;
    mount_point = locations.mount_point;
  }
  if (mount_point != "/" && name != "/") name.erase(0, mount_point.size());
  return true;
}

// A file wanted by one or more requests, with the names found so far.
struct wanted_file {
  std::int32_t links = 0;
  std::size_t own_paths = 0;  // the first names: the requests' own paths
  std::size_t list = 0;       // its list of names
};

// Everything wanted from one file system, reached through one mount point.
struct volume_search {
  std::uint64_t volume = 0;
  native_string mount_point;
  std::unordered_map<std::int64_t, wanted_file> files;  // by inode
  // How many of `files` have fewer names than links: the walk ends at 0.
  std::size_t incomplete = 0;
};

// The per-entry work of the walk of one file system: the names of the files
// wanted are taken, and only real directories of the file system entered.
struct name_visitor {
  volume_search& search;
  link_name_lists& lists;
  std::size_t top_length;  // of the mount point's path in the walk's path

  // Names in a directory that cannot be read or entered are simply not
  // found.
  void before_entering() {}
  void not_entered(entering, error_code, const native_string&) {}
  void unreadable(error_code, const native_string&) {}
  void listed(const file_identity*) {}

  entry_facts facts;  // of the entry visited last

  descent visit(walk_cursor& cursor, const listed_entry& entry, const native_string& path) {
    if (examine_entry(cursor, path, entry, facts).outcome != examination::examined)
      return descent();
    if (is_real_directory(facts)) {
      // A mount point is a "reparse" directory; the device check also
      // catches one the system does not flag.
      if (facts.kind != entry_kind::normal || facts.identity.volume != search.volume)
        return descent();
      return descent{true, &facts.identity};
    }
    if (facts.links > 1 && facts.identity.volume == search.volume)
      record(facts.identity.key, native_string_view(path).substr(top_length));
    return descent();
  }

  bool finished() const { return search.incomplete == 0; }

  void record(std::int64_t inode, native_string_view name) {
    const auto found = search.files.find(inode);
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
};

// Walks the file system from its mount point, never into another mount and
// never through a link, until every file wanted has all its names.
void search_volume(volume_search& search, link_name_lists& lists) {
  // From the root the walk's paths begin with "//": the names begin after
  // the mount point's own path either way.
  name_visitor visitor{search, lists, search.mount_point.size(), {}};
  walk_tree(search.mount_point, visitor);
}

}  // namespace

std::size_t link_name_searches() { return searches_made; }

void find_link_names(std::vector<link_name_request>& requests, link_name_lists& lists) {
  std::vector<volume_search> searches;
  std::map<std::pair<std::uint64_t, native_string>, std::size_t> search_index;
  location_cache locations;
  native_string own_name;
  native_string mount_point;

  for (link_name_request& request : requests) {
    const entry_facts& facts = request.facts;
    request.names = lists.size();
    // A directory's link count also counts the ".." of its subdirectories,
    // which are no names of it: a directory has just its own.
    if (facts.links <= 1 || is_real_directory(facts)) {
      lists.emplace_back();
      if (own_name_of(request.path, locations, own_name, mount_point))
        lists.back().push_back(own_name);
      continue;
    }
    if (!own_name_of(request.path, locations, own_name, mount_point)) {
      lists.emplace_back();  // no place to search from
      continue;
    }
    const auto key = std::make_pair(facts.identity.volume, mount_point);
    auto known = search_index.find(key);
    if (known == search_index.end()) {
      known = search_index.emplace(key, searches.size()).first;
      searches.emplace_back();
      searches.back().volume = facts.identity.volume;
      searches.back().mount_point = mount_point;
    }
    volume_search& search = searches[known->second];
    auto file = search.files.find(facts.identity.key);
    if (file == search.files.end()) {
      file = search.files.emplace(facts.identity.key, wanted_file()).first;
      file->second.list = lists.size();
      lists.emplace_back();
    }
    wanted_file& wanted = file->second;
    request.names = wanted.list;
    wanted.links = std::max(wanted.links, facts.links);
    // Its own path is a name whether or not the walk can reach it (it may
    // lie below a directory that can be passed through but not listed).
    std::vector<native_string>& names = lists[wanted.list];
    if (std::find(names.begin(), names.end(), own_name) == names.end()) {
      names.push_back(own_name);
      ++wanted.own_paths;
    }
  }

  for (volume_search& search : searches) {
    for (const auto& file : search.files) {
      if (lists[file.second.list].size() < static_cast<std::size_t>(file.second.links))
        ++search.incomplete;
    }
    if (search.incomplete > 0) {
      ++searches_made;
      search_volume(search, lists);
    }
    // The order in which a walk meets names is its own; sorted, the same
    // file gives the same list on every run.
    for (const auto& file : search.files)
      std::sort(lists[file.second.list].begin(), lists[file.second.list].end());
  }
}

}  // namespace platform
