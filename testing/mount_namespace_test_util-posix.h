// Whether tests may make mounts of their own, in a private mount namespace,
// and the checks that run there.
#ifndef TWINFIND_TESTING_MOUNT_NAMESPACE_TEST_UTIL_POSIX_H_
#define TWINFIND_TESTING_MOUNT_NAMESPACE_TEST_UTIL_POSIX_H_

#include <errno.h>
#include <sched.h>
#include <sys/mount.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "testing/child_check_test_util-posix.h"

// True when a child process can take a mount namespace of its own (root, or
// a machine that lets users do so); tests that mount skip otherwise.
inline bool can_unshare_mounts() {
  return check_in_child([] { return unshare(CLONE_NEWNS) == 0 ? "" : "refused"; }).empty();
}

// Runs `body` in a child process with a mount namespace of its own, once
// `mount_it` has set up the file systems under test there; `body` returns
// what went wrong, empty when everything held. A result beginning with
// "skip: " says why the machine cannot (no namespace; what `mount_it`
// returned, when not empty).
inline std::string in_own_namespace(const std::function<std::string()>& mount_it,
                                    const std::function<std::string()>& body) {
  return check_in_child([&]() -> std::string {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      return "skip: no mount namespace of its own (" + std::string(std::strerror(errno)) + ")";
    const std::string unavailable = mount_it();
    if (!unavailable.empty()) return "skip: " + unavailable;
    return body();
  });
}

// Expects a check run in a child to have held, and skips the test where it
// says the machine cannot run it.
#define EXPECT_CHECKED(result)                                         \
  do {                                                                 \
    const std::string checked = (result);                              \
    if (checked.compare(0, 6, "skip: ") == 0) GTEST_SKIP() << checked; \
    EXPECT_EQ(checked, "");                                            \
  } while (0)

// Runs a shell command, its output and errors dropped; true when it
// succeeded.
inline bool run_quietly(const std::string& command) {
  return std::system(("{ " + command + "; } >/dev/null 2>&1").c_str()) == 0;
}

#endif  // TWINFIND_TESTING_MOUNT_NAMESPACE_TEST_UTIL_POSIX_H_
