// The system form of a path on POSIX: the path itself. The walk reaches
// every entry through its open parent directory, so no length or form of
// path needs mending.
#include "fs/system_path.h"

namespace platform {

native_string system_path(const native_string& path) { return path; }

}  // namespace platform
