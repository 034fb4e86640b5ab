// The calls that list a file's names on Windows, replaceable by tests.
//
// FindFirstFileNameW and FindNextFileNameW came with Windows Vista, and some
// systems that run Windows programs lack them still (wine); they are looked
// up at run time, and their absence costs the breakdowns their names and
// nothing else. Tests install calls of their own in their place, to drive
// the search through what a real volume rarely shows: many names, names
// beyond MAX_PATH, buffers too small, failures in mid-list.
#ifndef TWINFIND_NAMES_LINK_NAMES_WIN32_H_
#define TWINFIND_NAMES_LINK_NAMES_WIN32_H_

#include <windows.h>

namespace platform {

struct link_name_functions {
  HANDLE(WINAPI* find_first)(LPCWSTR, DWORD, LPDWORD, PWSTR) = nullptr;
  BOOL(WINAPI* find_next)(HANDLE, LPDWORD, PWSTR) = nullptr;
  BOOL(WINAPI* close)(HANDLE) = nullptr;  // ends a search
};

// The calls find_link_names makes: kernel32's, looked up on first use (all
// null where it lacks them), or whatever was assigned here since.
link_name_functions& link_name_calls();

}  // namespace platform

#endif  // TWINFIND_NAMES_LINK_NAMES_WIN32_H_
