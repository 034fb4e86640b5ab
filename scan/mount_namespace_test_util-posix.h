// Whether tests may make mounts of their own, in a private mount namespace.
#ifndef TWINFIND_SCAN_MOUNT_NAMESPACE_TEST_UTIL_POSIX_H_
#define TWINFIND_SCAN_MOUNT_NAMESPACE_TEST_UTIL_POSIX_H_

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

// True when a child process can take a mount namespace of its own (root, or
// a machine that lets users do so); tests that mount skip otherwise.
inline bool can_unshare_mounts() {
  const pid_t child = fork();
  if (child == 0) _exit(unshare(CLONE_NEWNS) == 0 ? 0 : 1);
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

#endif  // TWINFIND_SCAN_MOUNT_NAMESPACE_TEST_UTIL_POSIX_H_
