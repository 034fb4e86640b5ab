// The threads reading ahead: small stacks of their own, and every one joined.
#include "base/threads.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <vector>

namespace platform {
namespace {

struct seen {
  std::atomic<int> ran{0};
  std::atomic<std::size_t> largest_stack{0};
};

void* note_stack(void* raw) {
  seen& what = *static_cast<seen*>(raw);
  pthread_attr_t attributes;
  std::size_t size = 0;
  if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
    pthread_attr_getstacksize(&attributes, &size);
    pthread_attr_destroy(&attributes);
  }
  std::size_t largest = what.largest_stack.load();
  while (size > largest && !what.largest_stack.compare_exchange_weak(largest, size)) {
  }
  what.ran.fetch_add(1);
  return nullptr;
}

// The C library's default would reserve 8 MiB of address space a thread:
// under `ulimit -v` the threads reading ahead would cost more than the walk.
TEST(ThreadGroup, EveryThreadRunsOnASmallStackAndIsJoined) {
  seen what;
  {
    thread_group group;
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(group.start(note_stack, &what));
    EXPECT_EQ(group.size(), 6u);
    group.join();
    EXPECT_TRUE(group.empty());
    EXPECT_EQ(what.ran.load(), 6);
    ASSERT_TRUE(group.start(note_stack, &what));  // joined by its end
  }
  EXPECT_EQ(what.ran.load(), 7);
  EXPECT_GT(what.largest_stack.load(), 0u);
#ifndef __SANITIZE_THREAD__  // ThreadSanitizer sizes the stacks of threads itself
  // Far below the C library's default of 8 MiB, whatever the constant says.
  EXPECT_LE(what.largest_stack.load(), std::size_t{256} << 10);
#endif
}

// A container's CPU quota bounds the cores a walk counts on, whatever
// the machine has: "200000 100000" is two CPUs' time on a host of 32.
TEST(ThreadGroup, TheCoresCountedAreThoseTheQuotaAllows) {
  struct quota_case {
    const char* cpu_max;
    std::size_t cores;
    std::size_t counted;
  };
  const quota_case cases[] = {
      {"max 100000\n", 32, 32},     {"200000 100000\n", 32, 2}, {"150000 100000", 32, 2},
      {"50000 100000", 32, 1},       {"400000 100000", 2, 2},     {"", 8, 8},
      {"garbage", 8, 8},             {"0 100000", 8, 8},
  };
  for (const quota_case& c : cases) {
    SCOPED_TRACE(c.cpu_max);
    EXPECT_EQ(cores_within_quota(c.cores, c.cpu_max), c.counted);
  }
  EXPECT_GE(online_cores(), 1u);
}


}  // namespace
}  // namespace platform
