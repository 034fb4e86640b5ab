// The names of a file on Windows: every name its volume knows it by, as
// FindFirstFileNameW and FindNextFileNameW list them.
#include <windows.h>

#include <string>
#include <vector>

#include "platform/filesystem.h"
#include "platform/system_path.h"

namespace platform {

namespace {

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
  const native_string target = system_path(path);
  HANDLE search = INVALID_HANDLE_VALUE;
  for (;;) {
    DWORD length = static_cast<DWORD>(buffer.size());
    search = functions.find_first(target.c_str(), 0, &length, &buffer[0]);
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

void find_link_names(std::vector<link_name_request>& requests) {
  const link_name_functions& functions = link_names();
  // Room for any name of MAX_PATH characters; longer ones grow it.
  std::wstring buffer(MAX_PATH, L'\0');
  for (link_name_request& request : requests) {
    request.names.clear();
    if (functions.find_first) find_names(functions, request.path, buffer, request.names);
  }
}

}  // namespace platform
