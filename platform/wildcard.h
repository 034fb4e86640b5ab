// The wildcard test behind find_pattern_matches where the program matches
// names itself rather than asking the system to: on POSIX, and in the
// in-memory file system of the tests.
#ifndef TWINFIND_PLATFORM_WILDCARD_H_
#define TWINFIND_PLATFORM_WILDCARD_H_

#include "platform/text.h"

namespace platform {

// True when `name` matches `pattern`: '*' stands for any run of bytes, none
// included, '?' for exactly one byte, and every other byte for itself. A
// leading dot and '[' have no special meaning. Names are compared as code
// units (bytes on POSIX), whatever their encoding.
bool matches_wildcard(native_string_view pattern, native_string_view name);

}  // namespace platform

#endif  // TWINFIND_PLATFORM_WILDCARD_H_
