// The platform-free parts of the file-system contract.
#include "fs/filesystem.h"

namespace platform {

bool has_wildcards(native_string_view path) {
  return path.find(native_char('*')) != native_string_view::npos ||
         path.find(native_char('?')) != native_string_view::npos;
}

}  // namespace platform

namespace platform {

// A listing of a million entries must stay near 16 MB beside its names.
static_assert(sizeof(listed_entry) <= 16, "listed_entry grew past sixteen bytes");

}  // namespace platform
