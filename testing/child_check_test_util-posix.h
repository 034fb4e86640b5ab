// Runs a check in a child process: the one way the tests do what a test
// must not do to itself (drop privileges, lower a limit, take a mount
// namespace of its own, filter a system call, or set what the C library
// keeps for good).
#ifndef TWINFIND_TESTING_CHILD_CHECK_TEST_UTIL_POSIX_H_
#define TWINFIND_TESTING_CHILD_CHECK_TEST_UTIL_POSIX_H_

#include <errno.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

// Runs `check` in a child process. `check` returns what went wrong, empty
// when everything held; the child's text comes back through a pipe, with a
// line added when the child did not finish as it should. So a test says
// EXPECT_EQ(check_in_child(...), "") and a failure shows what broke.
inline std::string check_in_child(const std::function<std::string()>& check) {
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  std::fflush(nullptr);  // nothing buffered is written twice
  const pid_t child = fork();
  if (child < 0) return "fork failed";
  if (child == 0) {
    close(fds[0]);
    const std::string problems = check();
    std::size_t done = 0;
    while (done < problems.size()) {
      const ssize_t written = write(fds[1], problems.data() + done, problems.size() - done);
      if (written <= 0 && errno != EINTR) _exit(1);
      if (written > 0) done += static_cast<std::size_t>(written);
    }
    _exit(0);
  }
  close(fds[1]);
  std::string problems;
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(fds[0], buffer, sizeof buffer);
    if (got > 0) {
      problems.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      break;
    }
  }
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    problems += "the child process ended with status " + std::to_string(status) + "\n";
  return problems;
}

#endif  // TWINFIND_TESTING_CHILD_CHECK_TEST_UTIL_POSIX_H_
