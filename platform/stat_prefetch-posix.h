// Stats read ahead of the walk: while the walk visits the entries of a
// listing one by one, a bounded number of helper threads read the stats of
// the entries it will visit next, so that reads overlap (on a cold cache
// the disk works on several at once; on a warm one a second core shares
// the calls).
//
// The walk still takes every entry in its own order and the facts of each
// are what one read of it gives, whichever thread read it: the output is
// that of a walk without helpers. The helpers read only the current
// listing, at most a window ahead of the walk, and are stopped before the
// listing or the walk's descriptors change.
#ifndef TWINFIND_PLATFORM_STAT_PREFETCH_POSIX_H_
#define TWINFIND_PLATFORM_STAT_PREFETCH_POSIX_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/filesystem.h"
#include "platform/threads-posix.h"

namespace platform {

class stat_prefetch {
 public:
  stat_prefetch() = default;
  ~stat_prefetch();
  stat_prefetch(const stat_prefetch&) = delete;
  stat_prefetch& operator=(const stat_prefetch&) = delete;

  // Whether a listing with `count` entries to read is worth handing over.
  bool worth_it(std::size_t count) const;
  // Hands over entries of `listing` (whose names each end in a NUL, kept
  // as they are until stop) in the order the walk will take them: ticket i
  // is the entry at `order[i]`, in the directory `dir_fd` on `device`.
  void start(int dir_fd, std::uint64_t device, const directory_listing& listing,
             std::vector<std::uint32_t>& order);
  // The facts of ticket `ticket`, taken in increasing order: read by a
  // helper or here; while a helper reads it, the entries after it that
  // nobody has claimed are read here.
  result<> take(std::size_t ticket, entry_facts& facts);
  // No more reads; returns once no helper is reading.
  void stop();

  // How many helpers a walk may use; 0 reads every entry on the walk's own
  // thread. For tests, which compare a walk with helpers to one without.
  static void set_helpers(std::size_t helpers);

 private:
  struct slot {
    std::atomic<std::size_t> ticket{0};  // 1 + the ticket it holds, 0: none
    entry_facts facts;
    error_code error = 0;
  };

  void read_into(std::size_t ticket);
  void helper_loop();
  static void* run_helper(void* self);

  std::unique_ptr<slot[]> slots_;
  const directory_listing* listing_ = nullptr;
  std::vector<std::uint32_t> order_;  // four bytes a ticket
  int dir_fd_ = -1;
  std::uint64_t device_ = 0;
  std::atomic<std::size_t> next_{0};      // the next ticket to read
  std::atomic<std::size_t> end_{0};       // tickets of the listing; 0 when stopped
  std::atomic<std::size_t> consumed_{0};  // tickets the walk has taken
  std::atomic<int> busy_{0};              // helpers between a claim and its result

  std::mutex mutex_;
  std::condition_variable wake_;
  std::uint64_t listings_ = 0;  // listings handed over, to wake the helpers
  bool quit_ = false;
  // The helpers started, on the first listing handed over; fewer than
  // wanted (none at all) where the system has no room for a thread.
  thread_group helpers_;
  bool helpers_started_ = false;
};

}  // namespace platform

#endif  // TWINFIND_PLATFORM_STAT_PREFETCH_POSIX_H_
