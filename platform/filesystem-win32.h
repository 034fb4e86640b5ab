// What a walk keeps on Windows (see walk_state in filesystem.h), for the
// Windows half and its tests.
#ifndef TWINFIND_PLATFORM_FILESYSTEM_WIN32_H_
#define TWINFIND_PLATFORM_FILESYSTEM_WIN32_H_

#include <cstddef>
#include <vector>

#include "platform/filesystem.h"

namespace platform {

// One directory the walk is inside of.
struct walk_level {
  std::size_t system_length = 0;  // of its system form, in `system_path`
};

struct walk_state {
  std::vector<walk_level> levels;
  // The system form ("\\?\" and the full path) of the current directory,
  // with an entry's name appended while that entry is looked at: one buffer
  // for the whole walk, as the path is.
  native_string system_path;
};

}  // namespace platform

#endif  // TWINFIND_PLATFORM_FILESYSTEM_WIN32_H_
