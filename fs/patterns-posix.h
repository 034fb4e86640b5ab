// How -F patterns match names on POSIX: '?' is one character of the
// encoding of the user's locale (LC_ALL, LC_CTYPE, LANG), as it is one
// character on Windows; a byte that begins no character of it is one.
#ifndef TWINFIND_FS_PATTERNS_POSIX_H_
#define TWINFIND_FS_PATTERNS_POSIX_H_

#include "term/masking-posix.h"
#include "base/text.h"

namespace platform {

// matches_wildcard (wildcard.h) with the characters of `encoding`.
bool matches_in_encoding(native_string_view pattern, native_string_view name,
                         const locale_encoding& encoding);

}  // namespace platform

#endif  // TWINFIND_FS_PATTERNS_POSIX_H_
