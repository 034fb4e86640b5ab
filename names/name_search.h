// The search of one mount for every name of the files wanted there, on the
// one walk of tree_walk.h: the POSIX half's search for link names, and the
// in-memory file system's, which the scanner's tests use in its place.
//
// A mount is searched whole, whatever device its directories and files
// report: a btrfs subvolume has a device of its own below the mount point,
// and an overlay reports its directories on one device and the files of its
// lower layer on another. So every directory that is not the root of
// another mount is entered (the system flags mount roots as reparse
// points), and names are matched by each file's own identity, as its own
// examination read it.
#ifndef TWINFIND_NAMES_NAME_SEARCH_H_
#define TWINFIND_NAMES_NAME_SEARCH_H_

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "fs/filesystem.h"
#include "names/link_names.h"
#include "walk/tree_walk.h"

namespace platform {

// A file wanted by one or more requests, with the names found so far.
struct wanted_file {
  std::int32_t links = 0;
  std::size_t own_paths = 0;  // the first names: the requests' own paths
  std::size_t list = 0;       // its list of names
};

// Everything wanted from one mount.
struct mount_search {
  native_string top;  // the mount point: names are the walk's paths below it
  std::unordered_map<file_identity, wanted_file, identity_hash> files;
  // How many of `files` have fewer names than links: the walk ends at 0.
  std::size_t incomplete = 0;
  // The directories the walk could not read or enter, kept only when the
  // search ended with names missing, which they may hold.
  std::vector<unsearched_directory> unsearched;

  // The list of the file `facts` names, made on its first request; a
  // request's own name, given as a path below the mount, is a name whether
  // or not the walk can reach it.
  std::size_t want(const entry_facts& facts, native_string_view own_name, link_name_lists& lists);
};

// Walks the mount from its top, never into another mount and never through
// a link, until every file wanted has all its names; then sorts each list,
// so that a file gives the same list on every run. `searches` counts the
// walks made.
void search_mount(mount_search& search, link_name_lists& lists, std::size_t& searches);

}  // namespace platform

#endif  // TWINFIND_NAMES_NAME_SEARCH_H_
