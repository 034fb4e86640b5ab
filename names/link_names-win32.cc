// The names of a file on Windows: every name its volume knows it by, as
// FindFirstFileNameW and FindNextFileNameW list them.
#include "names/link_names-win32.h"

#include <map>
#include <string>
#include <vector>

#include "fs/filesystem.h"
#include "fs/system_path.h"
#include "names/link_names.h"

namespace platform {

namespace {

template <typename function_type>
function_type kernel32_function(const char* name) {
  HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  if (!kernel32) return nullptr;
  // Through the generic function type, which every function pointer may be
  // cast to and from.
  return reinterpret_cast<function_type>(
      reinterpret_cast<void (*)()>(GetProcAddress(kernel32, name)));
}

link_name_functions kernel32_link_name_functions() {
  link_name_functions found;
  found.find_first = kernel32_function<decltype(found.find_first)>("FindFirstFileNameW");
  found.find_next = kernel32_function<decltype(found.find_next)>("FindNextFileNameW");
  found.close = FindClose;
  if (!found.find_first || !found.find_next) found = link_name_functions();
  return found;
}

// Appends the name in `buffer` without its terminating NUL, whether or not
// the reported length counts it.
void store_name(const std::wstring& buffer, DWORD length, std::vector<native_string>& names) {
  std::size_t end = length < buffer.size() ? length : buffer.size();
  std::size_t nul = buffer.find(L'\0');
  if (nul < end) end = nul;
  names.emplace_back(buffer.data(), end);
}

// No name on a volume is longer than 32,767 characters; a reply that asks
// for more is no length to allocate.
const DWORD longest_reply = 32768;

// A name longer than the buffer fails with ERROR_MORE_DATA and the length
// it needs. The buffer grows to that and one more, for a terminating NUL
// the reply may not count, and the same call is made again. A reply that
// does not grow the buffer ends the search, so it cannot spin.
bool grow_for_more_data(std::wstring& buffer, DWORD needed) {
  if (GetLastError() != ERROR_MORE_DATA || needed > longest_reply) return false;
  if (std::size_t{needed} + 1 <= buffer.size()) return false;
  buffer.assign(std::size_t{needed} + 1, L'\0');
  return true;
}

void find_names(const link_name_functions& calls, const native_string& path,
                std::wstring& buffer, std::vector<native_string>& names) {
  const native_string target = system_path(path);
  HANDLE search = INVALID_HANDLE_VALUE;
  for (;;) {
    DWORD length = static_cast<DWORD>(buffer.size());
    search = calls.find_first(target.c_str(), 0, &length, &buffer[0]);
    if (search != INVALID_HANDLE_VALUE) {
      store_name(buffer, length, names);
      break;
    }
    if (!grow_for_more_data(buffer, length)) return;
  }
  for (;;) {
    DWORD length = static_cast<DWORD>(buffer.size());
    if (calls.find_next(search, &length, &buffer[0])) {
      store_name(buffer, length, names);
    } else if (!grow_for_more_data(buffer, length)) {
      break;  // the end of the list, or a failure: the names so far stand
    }
  }
  calls.close(search);
}

}  // namespace

link_name_functions& link_name_calls() {
  static link_name_functions calls = kernel32_link_name_functions();
  return calls;
}

void find_link_names(std::vector<link_name_request>& requests, link_name_lists& lists) {
  const link_name_functions& calls = link_name_calls();
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
    if (calls.find_first && calls.find_next && calls.close)
      find_names(calls, path, buffer, lists.back());
  }
}

}  // namespace platform
