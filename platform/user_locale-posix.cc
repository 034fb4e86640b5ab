// The user's locale on POSIX.
#include "platform/user_locale.h"

#include <stdexcept>

namespace platform {

std::locale user_locale() {
  // An unknown LANG or LC_ALL makes the named locale throw; the reports then
  // print with the classic locale's numbers.
  try {
    return std::locale("");
  } catch (const std::runtime_error&) {
    return std::locale::classic();
  }
}

}  // namespace platform
