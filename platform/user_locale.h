// The user's preferred locale, for the numbers of the reports.
#ifndef TWINFIND_PLATFORM_USER_LOCALE_H_
#define TWINFIND_PLATFORM_USER_LOCALE_H_

#include <locale>

namespace platform {

// Builds the locale named by the empty name, all categories. Never throws:
// where the environment names a locale that cannot be built, it falls back
// to the classic locale (on Windows, to the classic locale with the digit
// grouping of the user's Windows settings).
std::locale user_locale();

}  // namespace platform

#endif  // TWINFIND_PLATFORM_USER_LOCALE_H_
