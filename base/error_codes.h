// System error codes that the program names itself, rather than passing on
// from a failed call.
#ifndef TWINFIND_BASE_ERROR_CODES_H_
#define TWINFIND_BASE_ERROR_CODES_H_

#include "base/result.h"

#ifndef _WIN32
#include <cerrno>
#endif

namespace platform {

// A PATH that is no directory: ERROR_DIRECTORY on Windows, ENOTDIR on POSIX.
#ifdef _WIN32
constexpr error_code not_a_directory_error = 267;
#else
constexpr error_code not_a_directory_error = ENOTDIR;
#endif

// An entry that is no longer there: ERROR_FILE_NOT_FOUND on Windows,
// ENOENT on POSIX, as a failed examination of a vanished entry reports.
#ifdef _WIN32
constexpr error_code no_such_entry = 2;
#else
constexpr error_code no_such_entry = ENOENT;
#endif

}  // namespace platform

#endif  // TWINFIND_BASE_ERROR_CODES_H_
