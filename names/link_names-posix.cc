// Every name of a file, on POSIX.
//
// A POSIX file knows how many names it has but not what they are. A file
// with a single name is named by its own path. The names of any other file
// are found by walking the mount it lives on from its mount point, never
// into another mount and never through a symbolic link, and matching each
// entry's identity against the files wanted (name_search.h). Such a walk
// may read a whole volume, so all the files wanted on one mount share a
// single walk, and the walk ends as soon as every one of them has shown as
// many names as it has links. Directories it could not read are reported
// where names are missing.
//
// Names are paths from the mount point through which the file was reached:
// a file reached through a bind mount of a subtree is named from the top of
// that subtree, and its names outside the subtree are not seen.
#include "names/link_names-posix.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <utility>

#include "fs/filesystem.h"
#include "fs/long_paths-posix.h"
#include "names/name_search.h"
#include "base/owners-posix.h"
#include "fs/paths-posix.h"
#include "fs/stat-posix.h"
#include "names/link_names.h"

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

// The mount a search is for: its mount ID, where the system tells it (from
// Linux 5.8), else the device of the file, as where the system cannot tell
// mounts apart, directories of another device are taken for other mounts
// (stat-posix.h). With its mount point's path, which tells apart mounts
// whose IDs are not known.
std::uint64_t mount_key(const native_string& mount_point, std::uint64_t device) {
#if defined(__linux__) && defined(STATX_MNT_ID)
  struct statx sx;
  if (statx(AT_FDCWD, mount_point.c_str(), AT_NO_AUTOMOUNT, STATX_MNT_ID, &sx) == 0 &&
      (sx.stx_mask & STATX_MNT_ID))
    return sx.stx_mnt_id | (std::uint64_t{1} << 63);
#else
  (void)mount_point;
#endif
  return device;
}

}  // namespace

std::size_t link_name_searches() { return searches_made; }

void find_link_names(std::vector<link_name_request>& requests, link_name_lists& lists) {
  std::vector<mount_search> searches;
  std::vector<std::size_t> first_request;  // of each search
  std::map<std::pair<std::uint64_t, native_string>, std::size_t> search_index;
  location_cache locations;
  native_string own_name;
  native_string mount_point;

  for (std::size_t r = 0; r < requests.size(); ++r) {
    link_name_request& request = requests[r];
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
    const auto key = std::make_pair(mount_key(mount_point, facts.identity.volume), mount_point);
    auto known = search_index.find(key);
    if (known == search_index.end()) {
      known = search_index.emplace(key, searches.size()).first;
      searches.emplace_back();
      searches.back().top = mount_point;
      first_request.push_back(r);
    }
    request.names = searches[known->second].want(facts, own_name, lists);
  }

  for (std::size_t i = 0; i < searches.size(); ++i) {
    search_mount(searches[i], lists, searches_made);
    requests[first_request[i]].unsearched = std::move(searches[i].unsearched);
  }
}

}  // namespace platform
