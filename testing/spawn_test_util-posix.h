// Starts the real twinfind program for the tests that run it as users do.
#ifndef TWINFIND_TESTING_SPAWN_TEST_UTIL_POSIX_H_
#define TWINFIND_TESTING_SPAWN_TEST_UTIL_POSIX_H_

#include <signal.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

// Forks and runs twinfind with `arguments`, its standard output on `out_fd`
// and its standard error on `err_fd`, no other descriptor inherited.
// `setup`, if given, runs in the child just before the program starts (to
// lower a limit or install a filter); like everything after the fork it must
// not allocate, as another thread of the test may have held the allocator's
// lock at the fork. So the argument vector is built before it. Returns the
// child's pid, or -1.
inline pid_t spawn_twinfind(const std::vector<std::string>& arguments, int out_fd, int err_fd,
                            bool ignore_sigpipe = false,
                            const std::function<void()>& setup = nullptr) {
  std::vector<char*> argv{const_cast<char*>(TWINFIND_BINARY)};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const pid_t child = fork();
  if (child != 0) return child;
  dup2(out_fd, 1);
  dup2(err_fd, 2);
  if (ignore_sigpipe) signal(SIGPIPE, SIG_IGN);
  for (int fd = 3; fd < 1024; ++fd) close(fd);
  if (setup) setup();
  execv(TWINFIND_BINARY, argv.data());
  _exit(127);
}

#endif  // TWINFIND_TESTING_SPAWN_TEST_UTIL_POSIX_H_
