// Whether tests may make mounts of their own, in a private mount namespace.
#ifndef TWINFIND_TESTING_MOUNT_NAMESPACE_TEST_UTIL_POSIX_H_
#define TWINFIND_TESTING_MOUNT_NAMESPACE_TEST_UTIL_POSIX_H_

#include <sched.h>

#include "testing/child_check_test_util-posix.h"

// True when a child process can take a mount namespace of its own (root, or
// a machine that lets users do so); tests that mount skip otherwise.
inline bool can_unshare_mounts() {
  return check_in_child([] { return unshare(CLONE_NEWNS) == 0 ? "" : "refused"; }).empty();
}

#endif  // TWINFIND_TESTING_MOUNT_NAMESPACE_TEST_UTIL_POSIX_H_
