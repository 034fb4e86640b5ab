// How many threads read ahead of a walk, set for one test: the process-wide
// switch holds while the record lives and goes back to the default when it
// goes, however the test ends (a failed ASSERT returns early).
#ifndef TWINFIND_TESTING_READ_AHEAD_TEST_UTIL_H_
#define TWINFIND_TESTING_READ_AHEAD_TEST_UTIL_H_

#include <cstddef>

#include "fs/read_ahead.h"

namespace platform {

struct read_ahead_threads_for_test {
  explicit read_ahead_threads_for_test(std::size_t threads) { set_read_ahead_threads(threads); }
  ~read_ahead_threads_for_test() { set_read_ahead_threads(static_cast<std::size_t>(-1)); }
  read_ahead_threads_for_test(const read_ahead_threads_for_test&) = delete;
  read_ahead_threads_for_test& operator=(const read_ahead_threads_for_test&) = delete;
};

}  // namespace platform

#endif  // TWINFIND_TESTING_READ_AHEAD_TEST_UTIL_H_
