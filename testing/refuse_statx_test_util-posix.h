// A process that the system refuses statx, as some container runtimes'
// seccomp profiles do, for the tests of the fallback to fstatat.
#ifndef TWINFIND_TESTING_REFUSE_STATX_TEST_UTIL_POSIX_H_
#define TWINFIND_TESTING_REFUSE_STATX_TEST_UTIL_POSIX_H_

#include <errno.h>
#include <stddef.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif

#if defined(__linux__) && defined(__NR_statx) && \
    (defined(__x86_64__) || defined(__aarch64__) || defined(__i386__))
#define TWINFIND_CAN_REFUSE_STATX 1
#if defined(__x86_64__)
#define TWINFIND_AUDIT_ARCH AUDIT_ARCH_X86_64
#elif defined(__aarch64__)
#define TWINFIND_AUDIT_ARCH AUDIT_ARCH_AARCH64
#else
#define TWINFIND_AUDIT_ARCH AUDIT_ARCH_I386
#endif
#endif

// Makes every later statx of this process and of the programs it runs fail
// with `error`; every other call is allowed. For a child process only: the
// filter can never be removed. Makes no allocation, so it may run between
// fork and exec. Returns false where this system has no such filter.
inline bool refuse_statx(int error = EPERM) {
#ifdef TWINFIND_CAN_REFUSE_STATX
  sock_filter program[] = {
      // Calls of another architecture's numbering pass untouched.
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, TWINFIND_AUDIT_ARCH, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_statx, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<unsigned>(error) & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog filter = {static_cast<unsigned short>(sizeof program / sizeof program[0]), program};
  // Without this only a privileged process may install a filter.
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
  return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
#else
  (void)error;
  return false;
#endif
}

#endif  // TWINFIND_TESTING_REFUSE_STATX_TEST_UTIL_POSIX_H_
