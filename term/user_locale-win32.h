// The number format of the user's Windows settings, as a C++ locale.
//
// Apart from user_locale.h so that tests can build it from any settings,
// not only from those of the machine they run on.
#ifndef TWINFIND_TERM_USER_LOCALE_WIN32_H_
#define TWINFIND_TERM_USER_LOCALE_WIN32_H_

#include <locale>
#include <string>
#include <string_view>

#include "term/user_locale.h"

namespace platform {

// Converts a Windows digit grouping ("3;0": threes throughout; "3;2;0":
// three, then twos; "3": one group of three, then no more; "0": none) to
// the grouping string of std::numpunct.
std::string grouping_from_windows(std::wstring_view grouping);

// The digit grouping of the settings' group separator (LOCALE_STHOUSAND,
// kept whole), grouping (LOCALE_SGROUPING) and decimal point
// (LOCALE_SDECIMAL, kept whole; '.' where the settings give none).
digit_grouping windows_digit_grouping(std::wstring_view thousands, std::wstring_view grouping,
                                      std::wstring_view decimal = L".");

// The classic locale with the wide numbers of a Windows locale: its group
// separator (LOCALE_STHOUSAND), its grouping (LOCALE_SGROUPING) and its
// decimal point (LOCALE_SDECIMAL), each as the settings write it, and
// with their windows_digit_grouping.
std::locale windows_number_locale(std::wstring_view thousands, std::wstring_view grouping,
                                  std::wstring_view decimal);

}  // namespace platform

#endif  // TWINFIND_TERM_USER_LOCALE_WIN32_H_
