// The wildcard test behind find_pattern_matches where the program matches
// names itself rather than asking the system to: on POSIX, and in the
// in-memory file system of the tests.
#ifndef TWINFIND_FS_WILDCARD_H_
#define TWINFIND_FS_WILDCARD_H_

#include <cstddef>

#include "base/text.h"

namespace platform {

// How many code units the character that begins `text` (never empty) takes
// in the names' encoding: at least 1, and 1 for a unit that begins no valid
// character, so that every unit belongs to exactly one character.
using character_length = std::size_t (*)(native_string_view text);

// True when `name` matches `pattern`: '*' stands for any run of characters,
// none included, '?' for exactly one character, and every other character
// for itself. A leading dot and '[' have no special meaning. Characters are
// told apart by `length`, and compared unit by unit (bytes on POSIX).
bool matches_wildcard(native_string_view pattern, native_string_view name,
                      character_length length);

// The same with every code unit a character of its own.
bool matches_wildcard(native_string_view pattern, native_string_view name);

}  // namespace platform

#endif  // TWINFIND_FS_WILDCARD_H_
