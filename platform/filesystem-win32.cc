// The file-system operations on Windows: everything goes by path, through
// the Win32 search, open and information calls.
//
// Every call takes the system form of its path (system_path-win32.cc): the
// walk's PATH resolved once, and each listed name appended to its
// directory's form as listed, so the system looks at exactly the entry that
// was listed, whatever its name and however deep.
//
// An entry is found with a one-entry search (its attributes and reparse
// tag), then opened as itself, never as the target of a link, for
// attribute access only: its file index, link count and size come from the
// open handle.
#include "platform/filesystem-win32.h"

#include <windows.h>

#include <climits>
#include <map>
#include <utility>

#include "platform/owners-win32.h"
#include "platform/system_path-win32.h"

namespace platform {

const native_char path_separator = L'\\';

const bool identities_find_cycles = false;

namespace {

const DWORD directory_bit = FILE_ATTRIBUTE_DIRECTORY;   // 0x10
const DWORD reparse_bit = FILE_ATTRIBUTE_REPARSE_POINT;  // 0x400

bool is_drive_letter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }
bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

entry_kind kind_of(const WIN32_FIND_DATAW& record) {
  if (!(record.dwFileAttributes & reparse_bit)) return entry_kind::normal;
  // The search record carries the reparse tag for a reparse point.
  return record.dwReserved0 == IO_REPARSE_TAG_SYMLINK ? entry_kind::symlink
                                                      : entry_kind::reparse;
}

result<examination> examine(const wchar_t* target, entry_facts& facts) {
  WIN32_FIND_DATAW record;
  if (!unique_search(FindFirstFileW(target, &record)).valid())
    return {examination::not_found, GetLastError()};

  // Attribute access only, sharing reading and writing: nothing is read,
  // and nobody else is kept from working with the file. Backup semantics
  // open directories too; the reparse-point flag opens a link as itself.
  const unique_handle file(CreateFileW(target, FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                       nullptr));
  if (!file.valid()) return {examination::not_opened, GetLastError()};
  BY_HANDLE_FILE_INFORMATION information;
  // Without the information there is no identity to file the entry under:
  // it counts as an entry that could not be opened.
  if (!GetFileInformationByHandle(file.get(), &information))
    return {examination::not_opened, GetLastError()};

  facts.is_directory = (record.dwFileAttributes & directory_bit) != 0;
  facts.kind = kind_of(record);
  facts.identity.volume = information.dwVolumeSerialNumber;
  facts.identity.key = static_cast<std::int64_t>(
      (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) |
      information.nFileIndexLow);
  facts.links = information.nNumberOfLinks > static_cast<DWORD>(INT32_MAX)
                    ? INT32_MAX
                    : static_cast<std::int32_t>(information.nNumberOfLinks);
  facts.size = static_cast<std::int64_t>(
      (static_cast<std::uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow);
  return {examination::examined};
}

}  // namespace

walk_cursor::walk_cursor() : state(new walk_state) {}
walk_cursor::~walk_cursor() {}

result<entering> enter_directory(walk_cursor& cursor, const native_string& path,
                                 native_string_view name, const file_identity*) {
  walk_state& walk = *cursor.state;
  native_string& directory = walk.system_path;
  const std::size_t parent_length = directory.size();
  if (walk.levels.empty()) {
    directory = system_path(path);
  } else {
    append_name(directory, name);
  }
  // Not followed when the last component is a link; a directory link keeps
  // the directory bit, and the search below then lists its target.
  const DWORD attributes = GetFileAttributesW(directory.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & directory_bit)) {
    const result<entering> failure =
        attributes == INVALID_FILE_ATTRIBUTES
            ? result<entering>{entering::no_attributes, GetLastError()}
            : result<entering>{entering::not_a_directory};
    directory.resize(walk.levels.empty() ? 0 : parent_length);
    return failure;
  }
  walk.levels.push_back(walk_level{directory.size()});
  return {entering::entered};
}

// Knowing it would cost a call per directory, and the walk has no use for
// it here: it never enters a reparse point, so no directory can turn up
// below itself.
bool current_identity(const walk_cursor&, file_identity&) { return false; }

void leave_directory(walk_cursor& cursor) {
  walk_state& walk = *cursor.state;
  if (walk.levels.empty()) return;
  walk.levels.pop_back();
  walk.system_path.resize(walk.levels.empty() ? 0 : walk.levels.back().system_length);
}

result<> list_directory(walk_cursor& cursor, const native_string& path,
                        directory_listing& listing) {
  // The pattern is built in the names' own storage, which the listing
  // reuses from directory to directory, so it costs no allocation.
  if (cursor.state->levels.empty()) {
    listing.names.assign(system_path(path));  // outside a walk
  } else {
    listing.names.assign(cursor.state->system_path);
  }
  append_name(listing.names, L"*");
  WIN32_FIND_DATAW record;
  const unique_search search(FindFirstFileW(listing.names.c_str(), &record));
  listing.clear();
  if (!search.valid()) {
    const error_code error = GetLastError();
    // The root of an empty volume has not even "." to show.
    return error == ERROR_FILE_NOT_FOUND ? succeeded() : failed(error);
  }
  do {
    if (is_dot_or_dot_dot(record.cFileName)) continue;
    listed_entry entry;
    entry.name_offset = listing.names.size();
    listing.names += record.cFileName;
    entry.name_length = static_cast<std::uint16_t>(listing.names.size() - entry.name_offset);
    entry.is_directory = (record.dwFileAttributes & directory_bit) != 0;
    entry.is_reparse = (record.dwFileAttributes & reparse_bit) != 0;
    listing.entries.push_back(entry);
  } while (FindNextFileW(search.get(), &record));
  // A failure other than the end of the listing ends it just the same: the
  // entries read so far are walked.
  return succeeded();
}

result<examination> examine_entry(walk_cursor& cursor, const native_string& path,
                                  const listed_entry& entry, entry_facts& facts) {
  if (cursor.state->levels.empty() || entry.name_length > path.size())
    return examine_path(path, facts);  // outside a walk
  // The name is appended to the directory's system form for the calls and
  // taken off again, so an entry costs no allocation.
  native_string& directory = cursor.state->system_path;
  const std::size_t length = directory.size();
  append_name(directory, native_string_view(path).substr(path.size() - entry.name_length));
  const result<examination> examined = examine(directory.c_str(), facts);
  directory.resize(length);
  return examined;
}

result<examination> examine_path(const native_string& path, entry_facts& facts) {
  return examine(system_path(path).c_str(), facts);
}

result<> find_pattern_matches(const native_string& pattern, std::vector<pattern_match>& matches) {
  matches.clear();
  WIN32_FIND_DATAW record;
  const unique_search search(FindFirstFileW(system_path(pattern).c_str(), &record));
  if (!search.valid()) return failed(GetLastError());
  do {
    pattern_match match;
    match.name = record.cFileName;
    match.is_directory = (record.dwFileAttributes & directory_bit) != 0;
    matches.push_back(std::move(match));
  } while (FindNextFileW(search.get(), &record));
  return succeeded();
}

native_string join_pattern_match(const native_string& pattern, native_string_view name) {
  // The system takes '/' for a separator too, so "C:/data/*.txt" searches
  // C:/data; its matches must be joined to that directory as well.
  std::size_t last = pattern.size();
  while (last > 0 && !is_separator(pattern[last - 1])) --last;
  native_string joined;
  if (last > 0) {
    joined.assign(pattern, 0, last - 1);
    joined += path_separator;
  } else if (pattern.size() >= 2 && is_drive_letter(pattern[0]) && pattern[1] == L':') {
    // "C:*.txt" searches the current directory of drive C:, and so must
    // the matches.
    joined.assign(pattern, 0, 2);
  }
  joined += name;
  return joined;
}

}  // namespace platform
