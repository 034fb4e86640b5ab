// The system's words for an errno value.
#include "base/error_message.h"

#include <cstring>
#include <string>

namespace platform {

native_string error_message(error_code code) {
  // Called when the run is over and no other thread is left to call it.
  const char* text = std::strerror(static_cast<int>(code));
  if (text == nullptr || *text == '\0') return "error " + std::to_string(code);
  return text;
}

}  // namespace platform
