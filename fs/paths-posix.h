// Taking POSIX paths apart, as the halves of the file-system seam do.
#ifndef TWINFIND_FS_PATHS_POSIX_H_
#define TWINFIND_FS_PATHS_POSIX_H_

#include "base/text.h"

namespace platform {

// The directory that holds the last component of `path`: everything before
// its last '/', "/" for a component at the root, "." for a path without a
// '/'.
inline native_string directory_part(native_string_view path) {
  const std::size_t slash = path.rfind('/');
  if (slash == native_string_view::npos) return native_string(".");
  if (slash == 0) return native_string("/");
  return native_string(path.substr(0, slash));
}

}  // namespace platform

#endif  // TWINFIND_FS_PATHS_POSIX_H_
