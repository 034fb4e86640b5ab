// The program's arguments, as the platform splits its command line.
#ifndef TWINFIND_PROGRAM_ARGUMENTS_H_
#define TWINFIND_PROGRAM_ARGUMENTS_H_

#include <vector>

#include "base/text.h"

namespace platform {

// The character that begins an option: '/' on Windows, '-' on POSIX, where
// '/' begins every absolute path.
extern const native_char option_prefix;

// Fills `arguments` with the program's arguments, its own name left out.
// Windows splits its own command line (argc and argv are not used there);
// POSIX takes argv as given. When the split fails, prints one line on `err`
// saying why, with the system's code, and returns false.
bool read_arguments(int argc, char** argv, std::vector<native_string>& arguments,
                    native_ostream& err);

}  // namespace platform

#endif  // TWINFIND_PROGRAM_ARGUMENTS_H_
