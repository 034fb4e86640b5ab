// The digit grouping of a POSIX locale, apart from user_locale.h so that
// tests can read it from any locale the system has, not only the user's.
#ifndef TWINFIND_TERM_USER_LOCALE_POSIX_H_
#define TWINFIND_TERM_USER_LOCALE_POSIX_H_

#include "term/user_locale.h"

namespace platform {

// Reads the group separator, grouping and decimal point of the C library's
// locale `name` ("" for the one the environment names), the separator and
// the point in that locale's own encoding. False when the system has no such locale.
bool locale_digit_grouping(const char* name, digit_grouping& grouping);

}  // namespace platform

#endif  // TWINFIND_TERM_USER_LOCALE_POSIX_H_
