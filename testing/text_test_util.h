// The one shorthand every test uses for its texts, which are all ASCII: the
// same text as the platform's native text.
#ifndef TWINFIND_TESTING_TEXT_TEST_UTIL_H_
#define TWINFIND_TESTING_TEXT_TEST_UTIL_H_

#include <string_view>

#include "base/text.h"

inline platform::native_string T(std::string_view ascii) { return platform::native_from_ascii(ascii); }

#endif  // TWINFIND_TESTING_TEXT_TEST_UTIL_H_
