// The process's set-up on POSIX: no system dialogs to silence, and the run
// on a stack of its own.
#include "program/process.h"

#include <pthread.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <cstddef>

namespace platform {
namespace {

// Far more than the deepest run takes (a few kilobytes, with the C
// library's locale loading and lazy binding); only the pages touched are
// ever mapped.
constexpr std::size_t kOwnStackBytes = std::size_t{1} << 20;

struct stack_run {
  int (*body)(void*);
  void* data;
  int result;
};

void* run_body(void* raw) {
  stack_run& run = *static_cast<stack_run*>(raw);
  run.result = run.body(run.data);
  return nullptr;
}

}  // namespace

void fail_critical_errors_without_dialogs() {}

int run_on_own_stack(int (*body)(void*), void* data) {
#if defined(__GLIBC__)
  // The C library gives each new thread that allocates an arena of its own,
  // reserving 64 MiB of address space for it: one arena is all the run
  // needs, and a limit on address space (ulimit -v) then bounds the same
  // memory as when the run was the main thread.
  mallopt(M_ARENA_MAX, 1);
  mallopt(M_MMAP_THRESHOLD, 64 * 1024);
#endif
  stack_run run{body, data, 0};
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return body(data);
  pthread_t thread;
  const bool started = pthread_attr_setstacksize(&attributes, kOwnStackBytes) == 0 &&
                       pthread_create(&thread, &attributes, run_body, &run) == 0;
  pthread_attr_destroy(&attributes);
  // Short of memory or of threads (a process limit), the run still fits
  // the stack it was given in all but the smallest.
  if (!started) return body(data);
  pthread_join(thread, nullptr);
  return run.result;
}

}  // namespace platform
