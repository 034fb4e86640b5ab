// How many threads read ahead of a walk, set for one test as a user sets
// it (TWINFIND_THREADS): it holds while the record lives and goes back to
// what it was when it goes, however the test ends (a failed ASSERT returns
// early). It changes the count alone, nothing of how the queue reads.
#ifndef TWINFIND_TESTING_READ_AHEAD_TEST_UTIL_H_
#define TWINFIND_TESTING_READ_AHEAD_TEST_UTIL_H_

#include <cstddef>
#include <cstdlib>
#include <string>

namespace platform {

class read_ahead_threads_for_test {
 public:
  explicit read_ahead_threads_for_test(std::size_t threads) {
    if (const char* before = std::getenv(kVariable)) before_ = before, had_ = true;
    setenv(kVariable, std::to_string(threads).c_str(), 1);
  }
  ~read_ahead_threads_for_test() {
    if (had_) {
      setenv(kVariable, before_.c_str(), 1);
    } else {
      unsetenv(kVariable);
    }
  }
  read_ahead_threads_for_test(const read_ahead_threads_for_test&) = delete;
  read_ahead_threads_for_test& operator=(const read_ahead_threads_for_test&) = delete;

 private:
  static constexpr const char* kVariable = "TWINFIND_THREADS";
  std::string before_;
  bool had_ = false;
};

}  // namespace platform

#endif  // TWINFIND_TESTING_READ_AHEAD_TEST_UTIL_H_
