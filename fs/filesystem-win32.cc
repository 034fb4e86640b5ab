// The file-system operations on Windows: everything goes by path, through
// the Win32 search, open and information calls, each made through the table
// of filesystem_calls() (filesystem-win32.h) so that tests can stand in for
// them.
//
// Every call takes the system form of its path (system_path-win32.cc): the
// walk's PATH resolved once, and each listed name appended to its
// directory's form as listed, so the system looks at exactly the entry that
// was listed, whatever its name and however deep.
//
// An entry's kind comes from its listing record (its attributes and reparse
// tag), never from a second search by its name, which would cost a search of
// its directory and could find another entry in a case-sensitive one. Its
// identity, link count and sizes come from one moment of the entry itself,
// never the target of a link: from one GetFileInformationByName call where
// the system has it, else from one handle opened for attribute access only
// and asked at most twice (FileStandardInfo, then FileIdInfo).
#include "fs/filesystem-win32.h"

#include <windows.h>

#include <climits>
#include <cstring>
#include <map>
#include <utility>

#include "base/owners-win32.h"
#include "fs/system_path-win32.h"

namespace platform {

const native_char path_separator = L'\\';

const bool identities_find_cycles = false;

namespace {

const DWORD directory_bit = FILE_ATTRIBUTE_DIRECTORY;   // 0x10
const DWORD reparse_bit = FILE_ATTRIBUTE_REPARSE_POINT;  // 0x400

bool is_drive_letter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }
bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

template <typename function_type>
function_type system_function(const wchar_t* module_name, const char* name) {
  HMODULE module = GetModuleHandleW(module_name);
  if (!module) return nullptr;
  // Through the generic function type, which every function pointer may be
  // cast to and from.
  return reinterpret_cast<function_type>(
      reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

filesystem_functions system_filesystem_functions() {
  filesystem_functions found;
  found.find_first = FindFirstFileExW;
  found.find_next = FindNextFileW;
  found.find_close = FindClose;
  found.attributes = GetFileAttributesW;
  // Exported by kernel32 from Windows 11 24H2 on, implemented in kernelbase.
  using by_name = decltype(found.information_by_name);
  found.information_by_name = system_function<by_name>(L"kernel32.dll", "GetFileInformationByName");
  if (!found.information_by_name)
    found.information_by_name = system_function<by_name>(L"kernelbase.dll", "GetFileInformationByName");
  found.open = CreateFileW;
  found.information_by_handle = GetFileInformationByHandleEx;
  found.information = GetFileInformationByHandle;
  found.close = CloseHandle;
  return found;
}

// Owners that end a search or close a handle through the table, as they
// were opened.
struct table_search_closer {
  static void close(HANDLE search) { filesystem_calls().find_close(search); }
};
struct table_handle_closer {
  static void close(HANDLE file) { filesystem_calls().close(file); }
};
using table_search = owned_handle<table_search_closer>;
using table_handle = owned_handle<table_handle_closer>;

entry_kind kind_of(DWORD attributes, DWORD reparse_tag) {
  if (!(attributes & reparse_bit)) return entry_kind::normal;
  // Only a symbolic link is one; a junction, a mount point, a cloud file's
  // placeholder, a deduplicated file, a WSL link are other reparse points.
  return reparse_tag == IO_REPARSE_TAG_SYMLINK ? entry_kind::symlink : entry_kind::reparse;
}

bool is_not_found(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

std::int32_t link_count(DWORD links) {
  return links > static_cast<DWORD>(INT32_MAX) ? INT32_MAX : static_cast<std::int32_t>(links);
}

// A 128-bit file ID, little-endian as the volume gives it: the low half is
// the 64-bit file index where the volume has one (NTFS), so that is what
// identifies and is printed there. False for an ID of all zeros, which a
// volume without 128-bit IDs gives.
bool read_file_id(const BYTE (&id)[16], file_identity& identity) {
  std::uint64_t low = 0, high = 0;
  std::memcpy(&low, id, sizeof low);
  std::memcpy(&high, id + 8, sizeof high);
  if (low == 0 && high == 0) return false;
  identity.key = static_cast<std::int64_t>(low);
  identity.key_high = high;
  return true;
}

// The volume serial number as every call gives it: the low 32 bits of the
// 64-bit serial of FileIdInfo and of the examination by name are all that
// GetFileInformationByHandle gives, so an entry read one way and a PATH
// read another (path_identity) still name one volume alike.
std::uint64_t volume_serial(ULONGLONG serial) { return serial & 0xFFFFFFFFu; }

// Failures of GetFileInformationByName that say the volume's file system
// does not implement it, rather than anything about the entry.
bool volume_refuses(DWORD error) {
  return error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
         error == ERROR_INVALID_FUNCTION || error == ERROR_INVALID_LEVEL;
}

// One call and no handle. Taken only for an entry that its listing shows
// as no reparse point: the documentation does not say that the call stops
// at a link rather than follow it, and it must not follow one. True when it
// read the facts; otherwise `outcome` is set when the entry is not there,
// and left alone when the handle path should try.
bool examine_by_name(walk_state* walk, const wchar_t* target, entry_facts& facts,
                     result<examination>& outcome) {
  filesystem_functions& calls = filesystem_calls();
  if (!calls.information_by_name || (walk && walk->by_name_refused)) return false;
  file_stat_basic_information information;
  if (!calls.information_by_name(target, file_stat_basic_by_name_info, &information,
                                 sizeof information)) {
    const DWORD error = GetLastError();
    if (is_not_found(error)) {
      outcome = {examination::not_found, error};
    } else if (error == ERROR_CALL_NOT_IMPLEMENTED || error == ERROR_PROC_NOT_FOUND) {
      calls.information_by_name = nullptr;  // a stub: not asked again this run
    } else if (walk && volume_refuses(error)) {
      walk->by_name_refused = true;
    }
    return false;
  }
  // It became a reparse point since it was listed: what was read may be
  // its target's, so the handle path, which opens the entry itself, reads
  // it again.
  if (information.FileAttributes & reparse_bit) return false;
  // Every fact from this one reading, the directory bit too: the entry may
  // have changed between a file and a directory since it was listed.
  facts.is_directory = (information.FileAttributes & directory_bit) != 0;
  facts.identity.volume =
      volume_serial(static_cast<ULONGLONG>(information.VolumeSerialNumber.QuadPart));
  if (!read_file_id(information.FileId128, facts.identity)) {
    facts.identity.key = information.FileId.QuadPart;
    facts.identity.key_high = 0;
  }
  facts.links = link_count(information.NumberOfLinks);
  facts.size = information.EndOfFile.QuadPart;
  facts.allocated = information.AllocationSize.QuadPart;
  outcome = {examination::examined};
  return true;
}

// One open, two queries on the handle (three where the volume has no
// FileIdInfo), one close.
result<examination> examine_by_handle(const wchar_t* target, entry_facts& facts) {
  const filesystem_functions& calls = filesystem_calls();
  // Attribute access only, sharing reading and writing: nothing is read,
  // and nobody else is kept from working with the file. Backup semantics
  // open directories too; the reparse-point flag opens a link as itself.
  const table_handle file(calls.open(target, FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                     nullptr));
  if (!file.valid()) {
    const DWORD error = GetLastError();
    return {is_not_found(error) ? examination::not_found : examination::not_opened, error};
  }
  FILE_STANDARD_INFO standard;
  // Without the information there is no identity to file the entry under:
  // it counts as an entry that could not be opened.
  if (!calls.information_by_handle(file.get(), FileStandardInfo, &standard, sizeof standard) ||
      !handle_identity(file.get(), facts.identity)) {
    return {examination::not_opened, GetLastError()};
  }
  facts.is_directory = standard.Directory != 0;  // as read, not as listed
  facts.links = link_count(standard.NumberOfLinks);
  facts.size = standard.EndOfFile.QuadPart;
  facts.allocated = standard.AllocationSize.QuadPart;
  return {examination::examined};
}

// Examines the entry at `target` whose attributes and reparse tag its
// listing (or its own search) returned; `walk` is null outside a walk.
result<examination> examine_listed(walk_state* walk, const wchar_t* target, DWORD attributes,
                                   DWORD reparse_tag, entry_facts& facts) {
  // The kind is the listing's (its reparse tag is not read again); the
  // directory bit and the rest come from the one reading below.
  facts.kind = kind_of(attributes, reparse_tag);
  result<examination> outcome{examination::not_opened};
  if (!(attributes & reparse_bit) && examine_by_name(walk, target, facts, outcome))
    return outcome;
  if (outcome.outcome == examination::not_found) return outcome;
  return examine_by_handle(target, facts);
}

}  // namespace

filesystem_functions& filesystem_calls() {
  static filesystem_functions calls = system_filesystem_functions();
  return calls;
}

bool handle_identity(HANDLE file, file_identity& identity) {
  const filesystem_functions& calls = filesystem_calls();
  file_id_information id;
  if (calls.information_by_handle(file, file_id_info, &id, sizeof id) &&
      read_file_id(id.FileId, identity)) {
    identity.volume = volume_serial(id.VolumeSerialNumber);
    return true;
  }
  BY_HANDLE_FILE_INFORMATION information;
  if (!calls.information(file, &information)) return false;
  identity.volume = information.dwVolumeSerialNumber;
  identity.key = static_cast<std::int64_t>(
      (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) |
      information.nFileIndexLow);
  identity.key_high = 0;
  return true;
}

// The walk here reads alone: it goes by paths, with no open directory for
// a request to pin, and makes no queue.
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
  const DWORD attributes = filesystem_calls().attributes(directory.c_str());
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

result<> list_directory(walk_cursor& cursor, const native_string& path) {
  directory_listing& listing = cursor.listing;
  // The pattern is built in the names' own storage, which the listing
  // reuses from directory to directory, so it costs no allocation.
  if (cursor.state->levels.empty()) {
    listing.names.assign(system_path(path));  // outside a walk
  } else {
    listing.names.assign(cursor.state->system_path);
  }
  append_name(listing.names, L"*");
  listing.cut_short = false;
  const filesystem_functions& calls = filesystem_calls();
  // The basic record leaves out the short name, which nothing here needs;
  // the large fetch asks the file system for many records a call.
  WIN32_FIND_DATAW record;
  const table_search search(calls.find_first(listing.names.c_str(), FindExInfoBasic, &record,
                                             FindExSearchNameMatch, nullptr,
                                             FIND_FIRST_EX_LARGE_FETCH));
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
    // The record holds the reparse tag of a reparse point: kept, so that
    // the examination needs no second search.
    if (entry.is_reparse) entry.listed_facts = record.dwReserved0;
    listing.entries.push_back(entry);
  } while (calls.find_next(search.get(), &record));
  const error_code error = GetLastError();
  if (error == ERROR_NO_MORE_FILES) return succeeded();
  // Cut short (a share that dropped, a device error): a failed listing, of
  // which the entries read so far are walked all the same.
  listing.cut_short = true;
  return failed(error);
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
  const DWORD attributes = (entry.is_directory ? directory_bit : 0) |
                           (entry.is_reparse ? reparse_bit : 0);
  const result<examination> examined =
      examine_listed(cursor.state.get(), directory.c_str(), attributes, entry.listed_facts, facts);
  directory.resize(length);
  return examined;
}

result<examination> examine_path(const native_string& path, entry_facts& facts) {
  // No listing returned this one: its own search gives its attributes and
  // reparse tag.
  const native_string target = system_path(path);
  WIN32_FIND_DATAW record;
  if (!table_search(filesystem_calls().find_first(target.c_str(), FindExInfoBasic, &record,
                                                  FindExSearchNameMatch, nullptr, 0))
           .valid())
    return {examination::not_found, GetLastError()};
  return examine_listed(nullptr, target.c_str(), record.dwFileAttributes, record.dwReserved0,
                        facts);
}

result<> find_pattern_matches(const native_string& pattern, std::vector<pattern_match>& matches) {
  matches.clear();
  const filesystem_functions& calls = filesystem_calls();
  WIN32_FIND_DATAW record;
  const table_search search(calls.find_first(system_path(pattern).c_str(), FindExInfoBasic,
                                             &record, FindExSearchNameMatch, nullptr, 0));
  if (!search.valid()) return failed(GetLastError());
  do {
    pattern_match match;
    match.name = record.cFileName;
    match.is_directory = (record.dwFileAttributes & directory_bit) != 0;
    matches.push_back(std::move(match));
  } while (calls.find_next(search.get(), &record));
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

// ReFS can clone blocks between files, but its maps are not looked at:
// every volume counts as sharing nothing, and sizes are allocation sizes.
volume_extents read_volume_extents(walk_cursor&, const native_string&) {
  return volume_extents();
}

result<> read_extent_map(walk_cursor&, const native_string&, const listed_entry&,
                         const entry_facts&, const volume_extents&, std::vector<mapped_extent>&) {
  return failed(ERROR_NOT_SUPPORTED);
}

}  // namespace platform
