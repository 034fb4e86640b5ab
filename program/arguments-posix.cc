// The argument array on POSIX: argv as the shell gave it.
#include "program/arguments.h"

namespace platform {

const native_char option_prefix = '-';

bool read_arguments(int argc, char** argv, std::vector<native_string>& arguments,
                    native_ostream&) {
  arguments.clear();
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
  return true;
}

}  // namespace platform
