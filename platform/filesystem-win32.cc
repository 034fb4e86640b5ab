// The file-system operations on Windows: everything goes by path, through
// the Win32 search, open and information calls.
//
// An entry is found with a one-entry search (its attributes and reparse
// tag), then opened as itself, never as the target of a link, for
// attribute access only: its file index, link count and size come from the
// open handle.
#include "platform/filesystem.h"

#include <windows.h>

#include <climits>
#include <map>
#include <utility>

namespace platform {

const native_char path_separator = L'\\';

const bool identities_find_cycles = false;

// Everything goes by path: a walk keeps nothing of its own here.
struct walk_state {};

namespace {

const DWORD directory_bit = FILE_ATTRIBUTE_DIRECTORY;   // 0x10
const DWORD reparse_bit = FILE_ATTRIBUTE_REPARSE_POINT;  // 0x400

bool is_drive_letter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }
bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

// The form of a path that reaches the system. Plain paths are limited to
// MAX_PATH characters; deeper trees are only reachable through the "\\?\"
// prefix, which hands the path to the file system without the usual
// parsing. So a long path is first made full the way the system would parse
// a short one (the current directory for a relative path, "." and "..",
// doubled and forward separators), and then prefixed. Paths that are stored
// and printed stay as they were built; `storage` holds the long form, so a
// short path, the common case, costs no allocation.
const wchar_t* system_form(const native_string& path, std::wstring& storage) {
  if (path.size() < MAX_PATH) return path.c_str();
  if (path.compare(0, 4, L"\\\\?\\") == 0 || path.compare(0, 4, L"\\\\.\\") == 0) {
    return path.c_str();
  }
  DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) return path.c_str();
  std::wstring full(size, L'\0');
  DWORD length = GetFullPathNameW(path.c_str(), size, &full[0], nullptr);
  if (length == 0 || length >= size) return path.c_str();
  full.resize(length);
  if (full.size() >= 3 && is_drive_letter(full[0]) && full[1] == L':' && full[2] == L'\\') {
    storage = L"\\\\?\\" + full;
  } else if (full.size() >= 3 && full[0] == L'\\' && full[1] == L'\\' && full[2] != L'?' &&
             full[2] != L'.') {
    storage = L"\\\\?\\UNC\\" + full.substr(2);  // \\server\share\...
  } else {
    return path.c_str();
  }
  return storage.c_str();
}

entry_kind kind_of(const WIN32_FIND_DATAW& record) {
  if (!(record.dwFileAttributes & reparse_bit)) return entry_kind::normal;
  // The search record carries the reparse tag for a reparse point.
  return record.dwReserved0 == IO_REPARSE_TAG_SYMLINK ? entry_kind::symlink
                                                      : entry_kind::reparse;
}

examination examine(const native_string& path, entry_facts& facts, error_code& error) {
  std::wstring storage;
  const wchar_t* target = system_form(path, storage);
  WIN32_FIND_DATAW record;
  HANDLE search = FindFirstFileW(target, &record);
  if (search == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    return examination::not_found;
  }
  FindClose(search);

  // Attribute access only, sharing reading and writing: nothing is read,
  // and nobody else is kept from working with the file. Backup semantics
  // open directories too; the reparse-point flag opens a link as itself.
  HANDLE file = CreateFileW(target, FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    return examination::not_opened;
  }
  BY_HANDLE_FILE_INFORMATION information;
  // Without the information there is no identity to file the entry under:
  // it counts as an entry that could not be opened.
  if (!GetFileInformationByHandle(file, &information)) {
    error = GetLastError();
    CloseHandle(file);
    return examination::not_opened;
  }
  CloseHandle(file);

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
  return examination::examined;
}

// FindFirstFileNameW and FindNextFileNameW came with Windows Vista, and some
// systems that run Windows programs lack them still; looked up at run time,
// their absence costs the breakdowns their names and nothing else.
using find_first_name_function = HANDLE(WINAPI*)(LPCWSTR, DWORD, LPDWORD, PWSTR);
using find_next_name_function = BOOL(WINAPI*)(HANDLE, LPDWORD, PWSTR);

struct link_name_functions {
  find_first_name_function find_first = nullptr;
  find_next_name_function find_next = nullptr;
};

template <typename function_type>
function_type kernel32_function(const char* name) {
  HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  if (!kernel32) return nullptr;
  // Through the generic function type, which every function pointer may be
  // cast to and from.
  return reinterpret_cast<function_type>(
      reinterpret_cast<void (*)()>(GetProcAddress(kernel32, name)));
}

const link_name_functions& link_names() {
  static const link_name_functions functions = [] {
    link_name_functions found;
    found.find_first = kernel32_function<find_first_name_function>("FindFirstFileNameW");
    found.find_next = kernel32_function<find_next_name_function>("FindNextFileNameW");
    if (!found.find_first || !found.find_next) found = link_name_functions();
    return found;
  }();
  return functions;
}

// Appends the name in `buffer` without its terminating NUL, whether or not
// the reported length counts it.
void store_name(const std::wstring& buffer, DWORD length, std::vector<native_string>& names) {
  std::size_t end = length < buffer.size() ? length : buffer.size();
  std::size_t nul = buffer.find(L'\0');
  if (nul < end) end = nul;
  names.emplace_back(buffer.data(), end);
}

// A name longer than the buffer fails with ERROR_MORE_DATA and the length
// it needs; the buffer grows to it and the same call is made again. A
// length that does not grow the buffer ends the search, so it cannot spin.
bool grow_for_more_data(std::wstring& buffer, DWORD needed) {
  if (GetLastError() != ERROR_MORE_DATA || needed <= buffer.size()) return false;
  buffer.assign(needed, L'\0');
  return true;
}

void find_names(const link_name_functions& functions, const native_string& path,
                std::wstring& buffer, std::vector<native_string>& names) {
  std::wstring storage;
  const wchar_t* target = system_form(path, storage);
  HANDLE search = INVALID_HANDLE_VALUE;
  for (;;) {
    DWORD length = static_cast<DWORD>(buffer.size());
    search = functions.find_first(target, 0, &length, &buffer[0]);
    if (search != INVALID_HANDLE_VALUE) {
      store_name(buffer, length, names);
      break;
    }
    if (!grow_for_more_data(buffer, length)) return;
  }
  for (;;) {
    DWORD length = static_cast<DWORD>(buffer.size());
    if (functions.find_next(search, &length, &buffer[0])) {
      store_name(buffer, length, names);
    } else if (!grow_for_more_data(buffer, length)) {
      break;
    }
  }
  FindClose(search);
}

}  // namespace

walk_cursor::walk_cursor() : state(new walk_state) {}
walk_cursor::~walk_cursor() {}

directory_entry enter_directory(walk_cursor&, const native_string& path,
                                native_string_view, const file_identity*, error_code& error) {
  // Not followed when the last component is a link; a directory link keeps
  // the directory bit, and the search below then lists its target.
  std::wstring storage;
  DWORD attributes = GetFileAttributesW(system_form(path, storage));
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    error = GetLastError();
    return directory_entry::no_attributes;
  }
  if (!(attributes & directory_bit)) return directory_entry::not_a_directory;
  return directory_entry::entered;
}

// Knowing it would cost a call per directory, and the walk has no use for
// it here: it never enters a reparse point, so no directory can turn up
// below itself.
bool current_identity(const walk_cursor&, file_identity&) { return false; }

void leave_directory(walk_cursor&) {}

bool list_directory(walk_cursor&, const native_string& path, directory_listing& listing,
                    error_code& error) {
  // The pattern is built in the names' own storage, which the listing
  // reuses from directory to directory, so it costs no allocation.
  listing.names.assign(path);
  listing.names += L"\\*";
  std::wstring storage;
  WIN32_FIND_DATAW record;
  HANDLE search = FindFirstFileW(system_form(listing.names, storage), &record);
  listing.clear();
  if (search == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    // The root of an empty volume has not even "." to show.
    return error == ERROR_FILE_NOT_FOUND;
  }
  do {
    if (is_dot_or_dot_dot(record.cFileName)) continue;
    listed_entry entry;
    entry.name_offset = listing.names.size();
    listing.names += record.cFileName;
    entry.name_length = listing.names.size() - entry.name_offset;
    entry.is_directory = (record.dwFileAttributes & directory_bit) != 0;
    entry.is_reparse = (record.dwFileAttributes & reparse_bit) != 0;
    listing.entries.push_back(entry);
  } while (FindNextFileW(search, &record));
  // A failure other than the end of the listing ends it just the same: the
  // entries read so far are walked.
  FindClose(search);
  return true;
}

examination examine_entry(walk_cursor&, const native_string& path, const listed_entry&,
                          entry_facts& facts, error_code& error) {
  return examine(path, facts, error);
}

examination examine_path(const native_string& path, entry_facts& facts, error_code& error) {
  return examine(path, facts, error);
}

bool find_pattern_matches(const native_string& pattern, std::vector<pattern_match>& matches,
                          error_code& error) {
  matches.clear();
  std::wstring storage;
  WIN32_FIND_DATAW record;
  HANDLE search = FindFirstFileW(system_form(pattern, storage), &record);
  if (search == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    return false;
  }
  do {
    pattern_match match;
    match.name = record.cFileName;
    match.is_directory = (record.dwFileAttributes & directory_bit) != 0;
    matches.push_back(std::move(match));
  } while (FindNextFileW(search, &record));
  FindClose(search);
  return true;
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

void find_link_names(std::vector<link_name_request>& requests, link_name_lists& lists) {
  const link_name_functions& functions = link_names();
  // Room for any name of MAX_PATH characters; longer ones grow it.
  std::wstring buffer(MAX_PATH, L'\0');
  // One list per file, shared by every request for it. Index 0 tells no
  // file apart on the file systems that report it for every file.
  std::map<file_identity, std::size_t> list_of_file;
  native_string path;
  for (link_name_request& request : requests) {
    const file_identity& identity = request.facts.identity;
    const auto known = identity.key != 0 ? list_of_file.find(identity) : list_of_file.end();
    if (known != list_of_file.end()) {
      request.names = known->second;
      continue;
    }
    request.names = lists.size();
    lists.emplace_back();
    if (identity.key != 0) list_of_file.emplace(identity, request.names);
    path.assign(request.path);
    if (functions.find_first) find_names(functions, path, buffer, lists.back());
  }
}

}  // namespace platform
