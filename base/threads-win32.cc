// Threads on small stacks of their own, and the cores online, with Win32.
#include "base/threads.h"

#include <windows.h>

#include <new>

namespace platform {
namespace {

// What a new thread runs; it lives with the thread's handle.
struct thread_start {
  void* (*run)(void*) = nullptr;
  void* argument = nullptr;
};

DWORD WINAPI run_thread(void* raw) {
  const thread_start& start = *static_cast<const thread_start*>(raw);
  start.run(start.argument);
  return 0;
}

}  // namespace

struct thread_group::running {
  HANDLE thread = nullptr;
  thread_start start;
};

std::size_t online_cores() {
  static const std::size_t cores = [] {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors < 1 ? std::size_t{1}
                                         : static_cast<std::size_t>(info.dwNumberOfProcessors);
  }();
  return cores;
}


thread_group::thread_group() = default;
thread_group::~thread_group() { join(); }

bool thread_group::start(void* (*run)(void*), void* argument) {
  std::unique_ptr<running> handle;
  try {
    threads_.reserve(threads_.size() + 1);
    handle.reset(new running);
  } catch (const std::bad_alloc&) {
    return false;
  }
  handle->start.run = run;
  handle->start.argument = argument;
  // The size reserved, not only committed: the default reservation is the
  // program's, 1 MiB or more.
  handle->thread = CreateThread(nullptr, kHelperStackBytes, run_thread, &handle->start,
                                STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (!handle->thread) return false;
  threads_.push_back(std::move(handle));
  return true;
}

void thread_group::join() {
  for (const std::unique_ptr<running>& one : threads_) {
    WaitForSingleObject(one->thread, INFINITE);
    CloseHandle(one->thread);
  }
  threads_.clear();
}

}  // namespace platform
