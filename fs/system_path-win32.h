// What the Windows half builds on the system form of paths.
#ifndef TWINFIND_FS_SYSTEM_PATH_WIN32_H_
#define TWINFIND_FS_SYSTEM_PATH_WIN32_H_

#include "fs/system_path.h"

namespace platform {

// Appends `name` to the system form `directory`, with one separator
// between them even where `directory` ends in one (a root: "\\?\C:\").
void append_name(native_string& directory, native_string_view name);

}  // namespace platform

#endif  // TWINFIND_FS_SYSTEM_PATH_WIN32_H_
