// Threads on small stacks of their own, and the cores the process may use,
// with pthreads.
#include "base/threads.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <new>
#include <string>

namespace platform {

struct thread_group::running {
  pthread_t thread;
};

std::size_t cores_within_quota(std::size_t cores, const char* text) {
  long long quota = 0;
  long long period = 0;
  if (std::sscanf(text, "%lld %lld", &quota, &period) != 2 || quota <= 0 || period <= 0)
    return cores;  // "max": no quota
  const long long allowed = (quota + period - 1) / period;
  return std::max<std::size_t>(1, std::min(cores, static_cast<std::size_t>(allowed)));
}

namespace {

#ifdef __linux__
// The first line of the file at `path`, or "" where it cannot be read.
std::string first_line(const std::string& path) {
  std::string line;
  if (FILE* file = std::fopen(path.c_str(), "re")) {
    char buffer[256];
    if (std::fgets(buffer, sizeof buffer, file)) line = buffer;
    std::fclose(file);
  }
  return line;
}

// The cores the `cpu.max` of this process's cgroup (v2) and of every group
// above it allow.
std::size_t cores_of_cgroup(std::size_t cores) {
  const std::string own = first_line("/proc/self/cgroup");
  if (own.compare(0, 3, "0::") != 0) return cores;  // no cgroup v2
  std::string group = own.substr(3, own.find_last_not_of("\n") - 2);
  for (;;) {
    const std::string limit = first_line("/sys/fs/cgroup" + group + "/cpu.max");
    if (!limit.empty()) cores = cores_within_quota(cores, limit.c_str());
    const std::size_t slash = group.find_last_of('/');
    if (slash == std::string::npos || group.size() <= 1) return cores;
    group.resize(slash);
  }
}
#endif

}  // namespace

std::size_t online_cores() {
  static const std::size_t cores = [] {
    std::size_t count = 0;
#ifdef __linux__
    // The cores this process may run on: `taskset -c 0 twinfind` has one,
    // however many the machine has.
    cpu_set_t usable;
    if (sched_getaffinity(0, sizeof usable, &usable) == 0 && CPU_COUNT(&usable) > 0)
      count = static_cast<std::size_t>(CPU_COUNT(&usable));
#endif
    if (count == 0) {
      const long online = sysconf(_SC_NPROCESSORS_ONLN);
      count = online < 1 ? std::size_t{1} : static_cast<std::size_t>(online);
    }
#ifdef __linux__
    count = cores_of_cgroup(count);
#endif
    return count;
  }();
  return cores;
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
