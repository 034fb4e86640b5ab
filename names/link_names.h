// Every name of a file: what the scan asks for a breakdown, answered by
// the half of the system the program runs on (link_names-posix.cc, by
// walks of the file system; link_names-win32.cc, by the system's own list
// of a file's names), or by the fake file system in the tests.
#ifndef TWINFIND_NAMES_LINK_NAMES_H_
#define TWINFIND_NAMES_LINK_NAMES_H_

#include <cstddef>
#include <vector>

#include "fs/filesystem.h"
#include "base/text.h"

namespace platform {

// A directory that a search for names could not read or enter, where names
// may lie: its path as the search reached it, and the system's code.
struct unsearched_directory {
  native_string path;
  error_code error = 0;
};

// A file whose every name is wanted: the path it was examined under (kept
// by the asker while the search runs) and what the examination read.
struct link_name_request {
  native_string_view path;  // best in its system form, as examine_path had it
  entry_facts facts;
  std::size_t names = 0;  // set by find_link_names: its list in the lists
  // Set by find_link_names, where it searches directories, on the first
  // request of each search that ended with names still missing: the
  // directories it could not search, in the order met.
  std::vector<unsearched_directory> unsearched;
};

// The names of files, one list per file: every request for the same file
// shares its list, however many there are.
using link_name_lists = std::vector<std::vector<native_string>>;

// Finds the names of every request, appending one list for each file to
// `lists`: paths from the root of the file's volume (Windows: "\dir\name"
// without a drive; POSIX: "/dir/name" from the file system's mount point). A
// name that cannot be found is left out; where a search could not read a
// directory, the request says which (`unsearched`). Requests on one volume
// (on POSIX, one mount) share a single search.
void find_link_names(std::vector<link_name_request>& requests, link_name_lists& lists);

}  // namespace platform

#endif  // TWINFIND_NAMES_LINK_NAMES_H_
