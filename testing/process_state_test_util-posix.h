// The working directory and the environment, changed for one test: each
// record makes its change while it lives and puts back what was there when
// it goes, however the test ends (a failed ASSERT returns early), so that
// no later test runs in a directory or with a variable a former one left.
#ifndef TWINFIND_TESTING_PROCESS_STATE_TEST_UTIL_POSIX_H_
#define TWINFIND_TESTING_PROCESS_STATE_TEST_UTIL_POSIX_H_

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

// Runs in the directory `to` while it lives, then back where it was.
struct working_directory {
  explicit working_directory(const std::string& to) : previous(open(".", O_RDONLY)) {
    EXPECT_EQ(chdir(to.c_str()), 0) << to;
  }
  ~working_directory() {
    EXPECT_EQ(fchdir(previous), 0);
    close(previous);
  }
  working_directory(const working_directory&) = delete;
  working_directory& operator=(const working_directory&) = delete;

  int previous;
};

// Sets an environment variable (for the programs a test starts, as much as
// for the test), and puts back what was there when the test ends.
struct scoped_environment {
  scoped_environment(const char* name, const char* value) : name(name) {
    const char* previous = getenv(name);
    had = previous != nullptr;
    if (had) before = previous;
    setenv(name, value, 1);
  }
  ~scoped_environment() {
    if (had) {
      setenv(name, before.c_str(), 1);
    } else {
      unsetenv(name);
    }
  }
  scoped_environment(const scoped_environment&) = delete;
  scoped_environment& operator=(const scoped_environment&) = delete;

  const char* name;
  bool had;
  std::string before;
};

#endif  // TWINFIND_TESTING_PROCESS_STATE_TEST_UTIL_POSIX_H_
