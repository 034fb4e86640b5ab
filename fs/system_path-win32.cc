// The system form of a path on Windows: "\\?\" and the full path.
//
// Without the prefix, every call parses its path the DOS way: it drops the
// trailing dots and spaces of the last name ("x." is "x", "sub." is "sub"),
// takes "nul", "COM1" or "con.txt" for devices in any directory, and stops
// at MAX_PATH characters. Listed names are none of that: they are the
// names themselves. So a PATH (or -F path) is parsed the DOS way once, by
// GetFullPathNameW, as the user meant it (relative to the current
// directory, "C:foo" relative to drive C's, "." and ".." resolved), and
// then prefixed: "\\?\C:\...", or "\\?\UNC\server\share\..." for a share.
// Listed names are appended to that as they come, and the system looks at
// exactly the entry listed.
#include "fs/system_path-win32.h"

#include <windows.h>

#include <cwchar>
#include <string>

#include "fs/filesystem.h"

namespace platform {

namespace {

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }
bool is_drive_letter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

bool starts_with(const std::wstring& text, const wchar_t* prefix) {
  return text.compare(0, std::wcslen(prefix), prefix) == 0;
}

// The prefixed form hands the path to the file system unparsed, so a
// doubled separator (a PATH "\\?\C:\" with a name joined to it) would reach
// it as an empty name. Collapsed here, after the prefix, and only here: the
// printed path keeps what the walk built.
std::wstring collapse_separators(const std::wstring& prefixed) {
  std::wstring collapsed(prefixed, 0, 4);
  for (std::size_t i = 4; i < prefixed.size(); ++i) {
    if (prefixed[i] == L'\\' && collapsed.size() > 4 && collapsed.back() == L'\\') continue;
    collapsed += prefixed[i];
  }
  return collapsed;
}

// The path parsed as the system parses a path it is given: full, with its
// "." and ".." resolved and its separators made single. Empty on failure.
std::wstring full_path(const std::wstring& path) {
  DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  for (int attempt = 0; size != 0 && attempt < 3; ++attempt) {
    std::wstring full(size, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), size, &full[0], nullptr);
    if (length == 0) break;
    if (length < size) {
      full.resize(length);
      return full;
    }
    size = length + 1;  // the current directory changed in between
  }
  return std::wstring();
}

// "\\?\" and the full form of `path`, which has no wildcards in its last
// component.
std::wstring prefixed_full_path(const std::wstring& path) {
  if (starts_with(path, L"\\\\?\\")) return collapse_separators(path);
  const std::wstring full = full_path(path);
  if (full.empty()) return path;  // no better form to give
  if (starts_with(full, L"\\\\?\\")) return collapse_separators(full);
  if (starts_with(full, L"\\\\.\\")) return collapse_separators(L"\\\\?\\" + full.substr(4));
  if (full.size() >= 2 && full[0] == L'\\' && full[1] == L'\\')
    return collapse_separators(L"\\\\?\\UNC\\" + full.substr(2));  // \\server\share\...
  if (full.size() >= 3 && is_drive_letter(full[0]) && full[1] == L':' && full[2] == L'\\')
    return collapse_separators(L"\\\\?\\" + full);
  return full;
}

}  // namespace

native_string system_path(const native_string& path) {
  // Where the last component begins: after the last separator, or after a
  // drive's colon ("C:*.txt").
  std::size_t last = path.size();
  while (last > 0 && !is_separator(path[last - 1])) --last;
  if (last == 0 && path.size() >= 2 && is_drive_letter(path[0]) && path[1] == L':') last = 2;
  const native_string_view name = native_string_view(path).substr(last);
  if (!has_wildcards(name)) return prefixed_full_path(path);
  // A pattern: GetFullPathNameW would drop the dot that ends "*.", and the
  // search gives "*." a meaning of its own. Only its directory is resolved.
  std::wstring directory =
      prefixed_full_path(last == 0 ? std::wstring(L".") : path.substr(0, last));
  append_name(directory, name);
  return directory;
}

void append_name(native_string& directory, native_string_view name) {
  if (directory.empty() || directory.back() != L'\\') directory += L'\\';
  directory += name;
}

}  // namespace platform
