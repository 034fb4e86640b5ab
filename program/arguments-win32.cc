// The argument array on Windows: the process's own command line, split by
// the system's quoting rules.
//
// The arguments that the C runtime hands to main() are in the ANSI code
// page and lose every character outside it; the command line itself is
// UTF-16, as file names are.
#include "program/arguments.h"

#include <windows.h>
#include <shellapi.h>

#include <ostream>

namespace platform {

const native_char option_prefix = L'/';

bool read_arguments(int, char**, std::vector<native_string>& arguments, native_ostream& err) {
  arguments.clear();
  int count = 0;
  LPWSTR* array = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!array) {
    const DWORD error = GetLastError();
    err << "CommandLineToArgvW failed: " << error << std::endl;
    return false;
  }
  // Element 0 names the program itself.
  for (int i = 1; i < count; ++i) arguments.emplace_back(array[i]);
  LocalFree(array);
  return true;
}

}  // namespace platform
