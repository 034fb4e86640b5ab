// The helpers that read stats ahead of the walk: tickets claimed from one
// counter, results published per slot of a ring as wide as the window.
#include "platform/stat_prefetch-posix.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/stat-posix.h"

namespace platform {
namespace {

// How far ahead of the walk the helpers read: the ring of results.
constexpr std::size_t kWindow = 1024;
// Smaller listings are read on the walk's own thread: waking a helper
// costs more than it saves there.
constexpr std::size_t kFewestEntries = 32;

std::atomic<std::size_t> helpers_wanted{static_cast<std::size_t>(-1)};  // -1: by the cores

std::size_t helper_count() {
  const std::size_t wanted = helpers_wanted.load();
  if (wanted != static_cast<std::size_t>(-1)) return wanted;
  // One core fewer than the machine has, the walk's thread taking the last
  // one (a helper more only takes turns with the walk on a core), and two
  // at most: enough to keep a disk busy, few enough for a shared machine.
  const std::size_t cores = online_cores();
  return cores <= 1 ? 0 : std::min<std::size_t>(2, cores - 1);
}

// Waits a little for another thread: first without a system call (a warm
// stat takes a microsecond or two), then giving the core away, then
// sleeping (a cold one waits for the disk).
constexpr unsigned kSpins = 8192;  // loads of one atomic: a few microseconds
void pause_briefly(unsigned& spins) {
  ++spins;
  if (spins < kSpins) return;
  if (spins < kSpins + 64) {
    std::this_thread::yield();
  } else {
    std::this_thread::sleep_for(std::chrono::microseconds(20));
  }
}

// A helper a whole window ahead of the walk: the walk needs a millisecond
// or more to take that many, so the helper sleeps longer each time instead
// of waking fifty thousand times a second to look.
void wait_for_the_walk(unsigned& spins) {
  const unsigned doublings = std::min(5u, spins++);
  std::this_thread::sleep_for(std::chrono::microseconds(20u << doublings));
}

}  // namespace

void stat_prefetch::set_helpers(std::size_t helpers) { helpers_wanted.store(helpers); }

stat_prefetch::~stat_prefetch() {
  stop();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
  }
  wake_.notify_all();
  helpers_.join();
}

bool stat_prefetch::worth_it(std::size_t count) const {
  return count >= kFewestEntries && helper_count() > 0;
}

void stat_prefetch::start(int dir_fd, std::uint64_t device, const directory_listing& listing,
                          std::vector<std::uint32_t>& order) {
  stop();
  if (!slots_) slots_.reset(new slot[kWindow]);
  for (std::size_t i = 0; i < kWindow; ++i) slots_[i].ticket.store(0, std::memory_order_relaxed);
  listing_ = &listing;
  order_.swap(order);
  dir_fd_ = dir_fd;
  device_ = device;
  consumed_.store(0);
  next_.store(0);
  end_.store(order_.size());  // from here helpers may claim
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++listings_;
  }
  if (!helpers_started_) {
    helpers_started_ = true;
    for (std::size_t i = helper_count(); i > 0; --i) {
      // Without room for a thread (a tight memory limit) the walk reads
      // every entry itself.
      if (!helpers_.start(run_helper, this)) break;
    }
  }
  wake_.notify_all();
}

void stat_prefetch::stop() {
  end_.store(0);
  unsigned spins = 0;
  while (busy_.load() != 0) pause_briefly(spins);
}

void stat_prefetch::read_into(std::size_t ticket) {
  slot& s = slots_[ticket % kWindow];
  const listed_entry& entry = listing_->entries[order_[ticket]];
  const char* name = listing_->names.data() + entry.name_offset;
  const result<> read = read_entry(dir_fd_, name, device_, s.facts);
  s.error = read.outcome ? 0 : read.error;
  s.ticket.store(ticket + 1, std::memory_order_release);
}

result<> stat_prefetch::take(std::size_t ticket, entry_facts& facts) {
  slot& s = slots_[ticket % kWindow];
  unsigned spins = 0;
  while (s.ticket.load(std::memory_order_acquire) != ticket + 1) {
    // The first entry nobody has claimed: this one, or, while a helper
    // reads this one, one further on, which the walk reads rather than
    // spin behind the helper. Its slot is free as long as it lies within
    // the window.
    std::size_t next = next_.load();
    if (next < end_.load() && next < ticket + kWindow) {
      if (next_.compare_exchange_weak(next, next + 1)) read_into(next);
      continue;
    }
    pause_briefly(spins);  // nothing left to read: the helper ends it soon
  }
  facts = s.facts;
  const error_code error = s.error;
  consumed_.store(ticket + 1);
  return error == 0 ? succeeded() : failed(error);
}

void* stat_prefetch::run_helper(void* self) {
  static_cast<stat_prefetch*>(self)->helper_loop();
  return nullptr;
}

void stat_prefetch::helper_loop() {
  std::uint64_t seen = 0;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return quit_ || listings_ != seen; });
      if (quit_) return;
      seen = listings_;
    }
    unsigned spins = 0;
    for (;;) {
      busy_.fetch_add(1);
      std::size_t next = next_.load();
      if (next >= end_.load()) {
        busy_.fetch_sub(1);
        break;  // the listing is done, or stopped
      }
      if (next >= consumed_.load() + kWindow) {
        busy_.fetch_sub(1);
        wait_for_the_walk(spins);  // the window is full: let the walk catch up
        continue;
      }
      if (next_.compare_exchange_weak(next, next + 1)) {
        spins = 0;
        read_into(next);
      }
      busy_.fetch_sub(1);
    }
  }
}

}  // namespace platform
