// The helper that reads subdirectories beside the walk: a batch per
// directory whose subdirectories the walk is entering, each read from its
// last subdirectory back, the deepest batch first (the walk is there).
#include "platform/subdirectory_prefetch-posix.h"

#include <cstring>
#include <new>
#include <vector>

#include "platform/listing_replies-posix.h"
#include "platform/owners-posix.h"
#include "platform/stat-posix.h"
#include "platform/threads-posix.h"

namespace platform {
namespace {

// Batches at most: the deepest levels' that are open.
constexpr std::size_t kMostBatches = 16;
// What the helper keeps for the walk is bounded as the threads' is
// (listing_replies-posix.h); beyond that it waits for the walk to take what
// it read.

// An item's state. The helper moves it from unread to reading and on to
// read; the walk from unread or read to passed.
enum : int { kUnread, kReading, kRead, kPassed };

std::atomic<int> enabled_by_test{-1};
std::atomic<std::size_t> read_count{0};

bool enabled() {
  const int set = enabled_by_test.load();
  if (set >= 0) return set != 0;
  // On one core the helper would only take turns with the walk.
  return online_cores() > 1;
}

}  // namespace

struct subdirectory_prefetch::batch {
  struct item {
    std::size_t name_offset = 0;
    std::size_t name_length = 0;
    std::atomic<int> state{kUnread};
    bool whole = false;  // `read` holds the whole directory
    directory_prefetch::directory_read read;
  };
  std::size_t level = 0;
  int parent_fd = -1;
  std::uint64_t device = 0;
  bool fills_replies = false;
  native_string names;
  std::vector<item> items;  // in the order the walk enters them
  std::atomic<std::size_t> walk_next{0};  // the first item the walk has not passed
  std::size_t helper_next = 0;  // 1 + the last item left to the helper; under the lock
  bool helper_inside = false;   // under the lock
  bool ending = false;          // under the lock

  native_string_view name(std::size_t i) const {
    return native_string_view(names.data() + items[i].name_offset, items[i].name_length);
  }
};

subdirectory_prefetch::subdirectory_prefetch() = default;

subdirectory_prefetch::~subdirectory_prefetch() {
  if (helper_.empty()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
  }
  wake_.notify_all();
  helper_.join();
}

void subdirectory_prefetch::set_enabled(int enabled) { enabled_by_test.store(enabled); }

std::size_t subdirectory_prefetch::read_in_all() { return read_count.load(); }

bool subdirectory_prefetch::worth_it(std::size_t count) {
#ifdef __linux__
  // One subdirectory is entered at once: the helper could not get ahead.
  return count >= 2 && enabled();
#else
  (void)count;
  return false;  // it lists directories with getdents64
#endif
}

void subdirectory_prefetch::begin(std::size_t level, int parent_fd, std::uint64_t device,
                                  bool fills_replies, const native_string& names,
                                  std::size_t count) {
  try {
    if (no_thread_ || batches_.size() >= kMostBatches) return;
    std::unique_ptr<batch> added(new batch);
    added->level = level;
    added->parent_fd = parent_fd;
    added->device = device;
    added->fills_replies = fills_replies;
    added->names = names;
    added->items = std::vector<batch::item>(count);
    added->helper_next = count;
    for (std::size_t i = 0, at = 0; i < count; ++i) {
      added->items[i].name_offset = at;
      added->items[i].name_length = std::strlen(added->names.c_str() + at);
      at += added->items[i].name_length + 1;
    }
    if (helper_.empty()) {
      // Without room for a thread the walk reads alone, and asks no more.
      no_thread_ = !helper_.start(run_thread, this);
      if (no_thread_) return;
    }
    bool wake;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      batches_.push_back(std::move(added));
      wake = helper_waits_;
    }
    if (wake) wake_.notify_all();
  } catch (const std::bad_alloc&) {
    // Reading ahead is only a help: without memory for it the walk reads
    // alone.
  }
}

bool subdirectory_prefetch::take(std::size_t level, native_string_view name,
                                 directory_prefetch::directory_read& read) {
  batch* own = nullptr;
  for (auto it = batches_.rbegin(); it != batches_.rend() && !own; ++it) {
    if ((*it)->level == level) own = it->get();
  }
  if (!own) return false;
  // A subdirectory not handed over (one that could not be examined) leaves
  // the batch as it is.
  const std::size_t first = own->walk_next.load(std::memory_order_relaxed);
  std::size_t found = first;
  while (found < own->items.size() && own->name(found) != name) ++found;
  if (found == own->items.size()) return false;
  // The helper leaves the next one to the walk.
  own->walk_next.store(found + 1, std::memory_order_relaxed);
  std::size_t freed = 0;
  bool taken = false;
  for (std::size_t i = first; i <= found; ++i) {
    batch::item& item = own->items[i];
    int state = kUnread;
    if (item.state.compare_exchange_strong(state, kPassed)) continue;
    // Being read: the walk reads it itself, and the helper's read waits for end.
    if (state != kRead) continue;
    if (item.whole) freed += item.read.entries.size();
    if (i == found && item.whole) {
      std::swap(read, item.read);
      taken = true;
    }
    item.read = directory_prefetch::directory_read();
    item.state.store(kPassed);
  }
  if (freed != 0 && entries_kept_.fetch_sub(freed) >= kMostKeptInAll) {
    // The helper may wait for room that is now free.
    bool wake;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      wake = helper_waits_;
    }
    if (wake) wake_.notify_all();
  }
  return taken;
}

void subdirectory_prefetch::end(std::size_t level) {
  if (batches_.empty() || batches_.back()->level < level) return;
  std::unique_lock<std::mutex> lock(mutex_);
  for (auto it = batches_.begin(); it != batches_.end(); ++it) {
    batch& own = **it;
    if (own.level != level) continue;
    own.ending = true;
    while (own.helper_inside) wake_.wait(lock);
    std::size_t freed = 0;
    for (const batch::item& item : own.items) {
      if (item.state.load() == kRead && item.whole) freed += item.read.entries.size();
    }
    entries_kept_.fetch_sub(freed);
    batches_.erase(it);
    return;
  }
}

bool subdirectory_prefetch::next_to_read(batch*& from, std::size_t& item) {
  if (entries_kept_.load() >= kMostKeptInAll) return false;
  for (auto it = batches_.rbegin(); it != batches_.rend(); ++it) {
    batch& b = **it;
    if (b.ending || b.helper_next == 0) continue;
    const std::size_t last = --b.helper_next;
    int state = kUnread;
    // The subdirectory the walk enters next is left to it: it would most
    // often get there before the helper is done, and read it again.
    if (last <= b.walk_next.load(std::memory_order_relaxed) ||
        !b.items[last].state.compare_exchange_strong(state, kReading)) {
      b.helper_next = 0;  // the walk has come this far: the rest lies behind it
      continue;
    }
    b.helper_inside = true;
    from = &b;
    item = last;
    return true;
  }
  return false;
}

void subdirectory_prefetch::read_item(inode_listing& listed, batch& from, std::size_t index) {
  batch::item& item = from.items[index];
  directory_prefetch::directory_read& read = item.read;
  const unique_fd fd =
      open_to_read_ahead(from.parent_fd, from.names.c_str() + item.name_offset, from.device, read);
  // Unreadable or too large to keep: the walk reads it, and tells.
  if (!fd.valid() || !listed.list(fd.get(), from.fills_replies, kMostEntriesKept)) return;
  listed.sort_by_inode();
  read.names.swap(listed.names);
  read.entries.reserve(listed.entries.size());
  for (const inode_listing::entry& e : listed.entries)
    read.entries.push_back(read_listed(fd.get(), from.device, read.names, e));
  entries_kept_.fetch_add(read.entries.size());
  item.whole = true;
  read_count.fetch_add(1, std::memory_order_relaxed);
}

void subdirectory_prefetch::run() {
  inode_listing listed;
  std::unique_lock<std::mutex> lock(mutex_);
  while (!quit_) {
    batch* from = nullptr;
    std::size_t item = 0;
    if (!next_to_read(from, item)) {
      helper_waits_ = true;
      wake_.wait(lock);
      helper_waits_ = false;
      continue;
    }
    lock.unlock();
    try {
      read_item(listed, *from, item);
    } catch (const std::bad_alloc&) {
      // Without memory for it the walk reads this one itself.
    }
    from->items[item].state.store(kRead);
    lock.lock();
    from->helper_inside = false;
    if (from->ending) wake_.notify_all();
  }
}

void* subdirectory_prefetch::run_thread(void* self) {
  static_cast<subdirectory_prefetch*>(self)->run();
  return nullptr;
}

}  // namespace platform
