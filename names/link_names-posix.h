// What the POSIX search for link names shows of itself, for its tests.
#ifndef TWINFIND_NAMES_LINK_NAMES_POSIX_H_
#define TWINFIND_NAMES_LINK_NAMES_POSIX_H_

#include <cstddef>

namespace platform {

// How many walks of a file system find_link_names has made in this process.
std::size_t link_name_searches();

}  // namespace platform

#endif  // TWINFIND_NAMES_LINK_NAMES_POSIX_H_
