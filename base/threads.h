// The threads that read ahead of the walk: started on a small stack of
// their own and joined by their owner, and the count of cores that decides
// whether there are any. One contract, a POSIX half (threads-posix.cc) and
// a Win32 half (threads-win32.cc).
//
// A thread of the C library's default size reserves 8 MiB of address space
// for a stack that reading ahead never fills (a few kilobytes: a stat
// buffer, a listing reply on the heap). Under a limit on address space
// (ulimit -v) a handful of them cost more than the whole walk, so each gets
// kHelperStackBytes, and a thread the system will not start is one fewer:
// the walk reads what it would have read.
#ifndef TWINFIND_BASE_THREADS_H_
#define TWINFIND_BASE_THREADS_H_

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

namespace platform {

// Room for the deepest call chain of a helper (a stat, a listing, the C++
// library's allocation and locking) many times over, sanitizers included.
constexpr std::size_t kHelperStackBytes = std::size_t{128} << 10;

// The cores this process may run on, read once: its CPU affinity where the
// system has one (else the cores online), and no more than the CPU time its
// control group allows (Linux, cgroup v2 `cpu.max` of its group and the
// groups above it): a container capped at 2 CPUs on a 32-core host has 2.
std::size_t online_cores();

// Of `cores`, those a `cpu.max` of `text` ("QUOTA PERIOD", or "max
// PERIOD" for none) allows: the quota over the period, rounded up, and 1
// at least.
std::size_t cores_within_quota(std::size_t cores, const char* text);

// Threads running `run(argument)`, joined when the group goes or on
// join(). Whoever owns the group tells the threads to end first.
class thread_group {
 public:
  thread_group();
  ~thread_group();
  thread_group(const thread_group&) = delete;
  thread_group& operator=(const thread_group&) = delete;

  // Starts one more thread; false when the system has no room for it (the
  // group keeps those it has).
  bool start(void* (*run)(void*), void* argument);
  // Waits for every thread to end; the group is then empty.
  void join();
  std::size_t size() const { return threads_.size(); }
  bool empty() const { return threads_.empty(); }

 private:
  struct running;  // the system's handle of one thread
  std::vector<std::unique_ptr<running>> threads_;
};

// A hold on the lock of the read-ahead queue, which the walk and its
// workers take for a few hundred instructions at a time, many thousand
// times a second. A thread that finds it held tries again a while before
// it sleeps: a sleep and a wake-up are two system calls and a switch of
// threads, which cost both threads more than the wait (a walk of 365,810
// entries made 20,000 futex calls with a plain lock, 1,400 with this). It
// is a std::unique_lock of a std::mutex, so std::condition_variable waits
// on it as on any.
class brief_lock : public std::unique_lock<std::mutex> {
 public:
  explicit brief_lock(std::mutex& mutex) : std::unique_lock<std::mutex>(mutex, std::defer_lock) {
    lock();
  }
  void lock() {
    for (int tries = 0; tries < kTriesBeforeSleeping; ++tries) {
      if (try_lock()) return;
      pause();
    }
    std::unique_lock<std::mutex>::lock();
  }

 private:
  // About 10 us of pauses at most.
  static constexpr int kTriesBeforeSleeping = 200;
  static void pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }
};

}  // namespace platform

#endif  // TWINFIND_BASE_THREADS_H_
