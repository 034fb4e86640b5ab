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

#ifdef __linux__
std::vector<int> cores_of(const cpu_set_t& set) {
  std::vector<int> cores;
  for (int c = 0; c < CPU_SETSIZE; ++c)
    if (CPU_ISSET(c, &set)) cores.push_back(c);
  return cores;
}

struct placing {
  std::function<void()> steps;
  cpu_set_t after;
};

void* place_and_note(void* raw) {
  placing& p = *static_cast<placing*>(raw);
  p.steps();
  sched_getaffinity(0, sizeof p.after, &p.after);
  return nullptr;
}

// A worker that keeps off the walk's core may run on every other core the
// process may use, and only keeps off the last one it was told: the walk
// moves. Each case runs in a thread of its own, which starts with the
// process's cores.
TEST(KeepOffCore, AThreadLeavesOneCoreAndKeepsTheRest) {
  cpu_set_t process;
  ASSERT_EQ(sched_getaffinity(0, sizeof process, &process), 0);
  const std::vector<int> all = cores_of(process);
  if (all.size() < 2) GTEST_SKIP() << "one core: nothing to keep off";
  const int first = all[0];
  const int second = all[1];
  const auto without = [&all](int gone) {
    std::vector<int> kept;
    for (const int c : all)
      if (c != gone) kept.push_back(c);
    return kept;
  };
  struct placing_case {
    const char* what;
    std::function<void()> steps;
    std::vector<int> cores;
  };
  const std::vector<placing_case> cases = {
      {"one core kept off", [&] { keep_off_core(first); }, without(first)},
      {"the newest core only", [&] { keep_off_core(first); keep_off_core(second); },
       without(second)},
      {"a core beyond the set: no change", [] { keep_off_core(CPU_SETSIZE + 5); }, all},
      {"a thread of one core keeps it",
       [&] {
         cpu_set_t one;
         CPU_ZERO(&one);
         CPU_SET(first, &one);
         sched_setaffinity(0, sizeof one, &one);
         keep_off_core(first);
       },
       std::vector<int>{first}},
  };
  for (const placing_case& c : cases) {
    SCOPED_TRACE(c.what);
    placing p{c.steps, {}};
    thread_group group;
    ASSERT_TRUE(group.start(place_and_note, &p));
    group.join();
    EXPECT_EQ(cores_of(p.after), c.cores);
  }
}
#endif

}  // namespace
}  // namespace platform
