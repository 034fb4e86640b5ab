// How the walk reads ahead, set for one test: each record sets one of the
// process-wide switches while it lives and puts the default back when it
// goes, however the test ends (a failed ASSERT returns early), so that no
// later test runs with a switch a former one left behind.
#ifndef TWINFIND_PLATFORM_READ_AHEAD_TEST_UTIL_POSIX_H_
#define TWINFIND_PLATFORM_READ_AHEAD_TEST_UTIL_POSIX_H_

#include <cstddef>

#include "platform/directory_prefetch-posix.h"
#include "platform/stat_prefetch-posix.h"
#include "platform/subdirectory_prefetch-posix.h"

namespace platform {

// The helpers reading stats ahead: `helpers` of them, 0 for none.
struct stat_helpers_for_test {
  explicit stat_helpers_for_test(std::size_t helpers) { stat_prefetch::set_helpers(helpers); }
  ~stat_helpers_for_test() { stat_prefetch::set_helpers(static_cast<std::size_t>(-1)); }
  stat_helpers_for_test(const stat_helpers_for_test&) = delete;
  stat_helpers_for_test& operator=(const stat_helpers_for_test&) = delete;
};

// The helper reading subdirectories beside the walk: used or not.
struct subdirectory_helper_for_test {
  explicit subdirectory_helper_for_test(bool enabled) {
    subdirectory_prefetch::set_enabled(enabled ? 1 : 0);
  }
  ~subdirectory_helper_for_test() { subdirectory_prefetch::set_enabled(-1); }
  subdirectory_helper_for_test(const subdirectory_helper_for_test&) = delete;
  subdirectory_helper_for_test& operator=(const subdirectory_helper_for_test&) = delete;
};

// The threads reading directories ahead: `threads` of them, started on
// every listing rather than once listings keep waiting for the disk; 0 for
// none.
struct directory_threads_for_test {
  explicit directory_threads_for_test(std::size_t threads) {
    directory_prefetch::set_threads(threads);
    directory_prefetch::set_every_listing_cold(threads != 0);
  }
  ~directory_threads_for_test() {
    directory_prefetch::set_threads(static_cast<std::size_t>(-1));
    directory_prefetch::set_every_listing_cold(false);
  }
  directory_threads_for_test(const directory_threads_for_test&) = delete;
  directory_threads_for_test& operator=(const directory_threads_for_test&) = delete;
};

}  // namespace platform

#endif  // TWINFIND_PLATFORM_READ_AHEAD_TEST_UTIL_POSIX_H_
