// The form of a path that the file-system calls take.
//
// The paths the program prints are always the ones the walk builds from a
// PATH or -F as given. The calls may need another form of them: on Windows
// every call goes through the full "\\?\" path (see system_path-win32.cc);
// on POSIX the path itself serves.
#ifndef TWINFIND_FS_SYSTEM_PATH_H_
#define TWINFIND_FS_SYSTEM_PATH_H_

#include "base/text.h"

namespace platform {

// The system form of `path`, made once for a PATH, a -F path or pattern;
// the names listed below it are appended as they come. A last
// component with wildcards ('*', '?') is kept as written, so a pattern
// matches what it would match as given. A path already in the system form
// comes back as it is.
native_string system_path(const native_string& path);

}  // namespace platform

#endif  // TWINFIND_FS_SYSTEM_PATH_H_
