// The system's own words for an error code, as its tools print them.
#ifndef TWINFIND_BASE_ERROR_MESSAGE_H_
#define TWINFIND_BASE_ERROR_MESSAGE_H_

#include "base/result.h"
#include "base/text.h"

namespace platform {

// "No such file or directory" on POSIX (strerror), "The system cannot find
// the file specified." on Windows (FormatMessageW), without a line end;
// "error N" where the system has no text for the code.
native_string error_message(error_code code);

}  // namespace platform

#endif  // TWINFIND_BASE_ERROR_MESSAGE_H_
