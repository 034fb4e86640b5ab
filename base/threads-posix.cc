// Threads on small stacks of their own, and the cores online, with pthreads.
#include "base/threads.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <new>

namespace platform {

struct thread_group::running {
  pthread_t thread;
};

std::size_t online_cores() {
  static const std::size_t cores = [] {
#ifdef __linux__
    // The cores this process may run on: `taskset -c 0 twinfind` has one,
    // however many the machine has.
    cpu_set_t usable;
    if (sched_getaffinity(0, sizeof usable, &usable) == 0 && CPU_COUNT(&usable) > 0)
      return static_cast<std::size_t>(CPU_COUNT(&usable));
#endif
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online < 1 ? std::size_t{1} : static_cast<std::size_t>(online);
  }();
  return cores;
}

int current_core() {
#ifdef __linux__
  return sched_getcpu();  // from the vDSO: no system call
#else
  return -1;
#endif
}

void keep_off_core(int core) {
#ifdef __linux__
  // The cores the thread started with, which a thread inherits from the
  // one that made it: those the process may use.
  static thread_local cpu_set_t allowed;
  static thread_local bool known = false;
  if (!known) {
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return;
    known = true;
  }
  if (core < 0 || core >= CPU_SETSIZE) return;
  cpu_set_t others = allowed;
  CPU_CLR(core, &others);
  // Refused (a container's filter), it runs where it ran.
  if (CPU_COUNT(&others) > 0) (void)sched_setaffinity(0, sizeof others, &others);
#else
  (void)core;
#endif
}

thread_group::thread_group() = default;
thread_group::~thread_group() { join(); }

bool thread_group::start(void* (*run)(void*), void* argument) {
  // Room for the handle first: a thread started and then lost could never
  // be joined.
  std::unique_ptr<running> handle;
  try {
    threads_.reserve(threads_.size() + 1);
    handle.reset(new running);
  } catch (const std::bad_alloc&) {
    return false;
  }
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  const bool started = pthread_attr_setstacksize(&attributes, kHelperStackBytes) == 0 &&
                       pthread_create(&handle->thread, &attributes, run, argument) == 0;
  pthread_attr_destroy(&attributes);
  if (started) threads_.push_back(std::move(handle));
  return started;
}

void thread_group::join() {
  for (const std::unique_ptr<running>& one : threads_) pthread_join(one->thread, nullptr);
  threads_.clear();
}

}  // namespace platform
