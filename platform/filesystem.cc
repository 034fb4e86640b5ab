// The platform-free parts of the file-system contract.
#include "platform/filesystem.h"

namespace platform {

bool has_wildcards(native_string_view path) {
  return path.find(native_char('*')) != native_string_view::npos ||
         path.find(native_char('?')) != native_string_view::npos;
}

}  // namespace platform
