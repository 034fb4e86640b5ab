// Wildcard patterns of -F on POSIX.
//
// Only the last component of a pattern holds wildcards; the directory part
// before its last '/' is taken literally, and its listing is matched name by
// name. A shell has usually expanded patterns already, so these are the ones
// quoted on purpose: they match the way the Windows search does, where a
// leading dot and '[' mean nothing special and '?' is one character, here
// one of the encoding of the user's locale.
#include "fs/patterns-posix.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <wchar.h>

#include <algorithm>

#include "fs/filesystem.h"
#include "fs/long_paths-posix.h"
#include "base/owners-posix.h"
#include "fs/paths-posix.h"
#include "fs/stat-posix.h"
#include "fs/wildcard.h"

namespace platform {

namespace {

// The bytes of the character that begins `text` in the calling thread's
// locale; 1 for a byte that begins none.
std::size_t character_in_thread_locale(native_string_view text) {
  std::mbstate_t state{};
  const std::size_t length = mbrlen(text.data(), text.size(), &state);
  if (length == static_cast<std::size_t>(-1) || length == static_cast<std::size_t>(-2) ||
      length == 0)
    return 1;
  return length;
}

// The user's encoding, read at the first pattern, as masking reads it.
const locale_encoding& user_encoding() {
  static const locale_encoding user("");
  return user;
}

// Opens the directory of a pattern to list it, by its last name from its
// parent, as opening it by its path would: listing it then takes read
// permission on it and search permission on its parent, as ls does, and
// never search permission on the directory itself, which looking up "."
// inside it would take. The parent is reached a piece at a time where the
// path is longer than the system takes. Fails with errno set.
unique_fd open_to_list(native_string directory) {
  // Slashes at the end name the directory before them; "/" stays itself.
  while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
  const char* name = nullptr;
  const unique_fd parent = open_parent(directory, name);
  if (!parent.valid()) return unique_fd();
  return unique_fd(openat(parent.get(), name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

}  // namespace

bool matches_in_encoding(native_string_view pattern, native_string_view name,
                         const locale_encoding& encoding) {
  // A byte is a character in a single-byte encoding: no decoding at all.
  if (encoding.kind == locale_encoding::form::single_byte) return matches_wildcard(pattern, name);
  // The locale is the thread's only while matching: the process's own
  // stays as it is.
  const locale_t previous = uselocale(encoding.locale);
  const bool matched = matches_wildcard(pattern, name, character_in_thread_locale);
  uselocale(previous);
  return matched;
}

result<> find_pattern_matches(const native_string& pattern, std::vector<pattern_match>& matches) {
  matches.clear();
  const std::size_t slash = pattern.rfind('/');
  const native_string directory = directory_part(pattern);
  const native_string_view wildcard = slash == native_string::npos
                                          ? native_string_view(pattern)
                                          : native_string_view(pattern).substr(slash + 1);

  const unique_dir dir{open_to_list(directory)};
  if (!dir) return failed(static_cast<error_code>(errno));
  int failure = 0;
  for (;;) {
    errno = 0;
    const struct dirent* record = readdir(dir.get());
    if (!record) {
      failure = errno;  // 0 at the end of the listing
      break;
    }
    // "." and ".." match like any name, as the Windows search lists them:
    // a pattern that fits only them finds directories, which give no
    // record, rather than nothing, which is an error.
    if (!matches_in_encoding(wildcard, record->d_name, user_encoding())) continue;
    pattern_match match;
    match.name = record->d_name;
    match.is_directory = record->d_type == DT_DIR;  // until the entry is read
    matches.push_back(std::move(match));
  }
  // Byte order of the names, as the walk lists them, so that the records
  // come out the same from run to run.
  std::sort(matches.begin(), matches.end(),
            [](const pattern_match& a, const pattern_match& b) { return a.name < b.name; });
  // A link to a directory is skipped like a directory, unless the scan
  // counts it as a file (counts_as_directory): then it has a breakdown from
  // every name. An entry that cannot be read keeps the bit of the listing;
  // its breakdown then reports why it cannot be read.
  entry_facts facts;
  for (pattern_match& match : matches) {
    if (read_entry(dirfd(dir.get()), match.name.c_str(), 0, facts).outcome)
      match.is_directory = counts_as_directory(facts);
  }
  // A listing that broke off says why; one that ended says nothing matched.
  if (matches.empty()) return failed(static_cast<error_code>(failure != 0 ? failure : ENOENT));
  // A listing that broke off after some matches keeps them, as a search
  // whose next step fails ends with the matches found so far.
  return succeeded();
}

native_string join_pattern_match(const native_string& pattern, native_string_view name) {
  const std::size_t slash = pattern.rfind('/');
  native_string joined;
  if (slash != native_string::npos) joined.assign(pattern, 0, slash + 1);
  joined += name;
  return joined;
}

}  // namespace platform
