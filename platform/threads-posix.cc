// Threads on small stacks of their own, and the cores online.
#include "platform/threads-posix.h"

#include <unistd.h>

#include <new>

namespace platform {

std::size_t online_cores() {
  static const long cores = sysconf(_SC_NPROCESSORS_ONLN);
  return cores < 1 ? 1 : static_cast<std::size_t>(cores);
}

bool thread_group::start(void* (*run)(void*), void* argument) {
  // Room for the handle first: a thread started and then lost could never
  // be joined.
  if (threads_.size() == threads_.capacity()) {
    try {
      threads_.reserve(threads_.size() + 4);
    } catch (const std::bad_alloc&) {
      return false;
    }
  }
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  pthread_t thread;
  const bool started = pthread_attr_setstacksize(&attributes, kHelperStackBytes) == 0 &&
                       pthread_create(&thread, &attributes, run, argument) == 0;
  pthread_attr_destroy(&attributes);
  if (started) threads_.push_back(thread);
  return started;
}

void thread_group::join() {
  for (const pthread_t thread : threads_) pthread_join(thread, nullptr);
  threads_.clear();
}

}  // namespace platform
