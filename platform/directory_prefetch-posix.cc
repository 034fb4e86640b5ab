// The I/O threads that read directories ahead of the walk: a queue of paths
// below the walk's top, sorted in the order the walk enters them, fed by
// the walk where the threads are behind it and by the threads with the
// subdirectories of what they read.
#include "platform/directory_prefetch-posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "platform/listing_replies-posix.h"
#include "platform/owners-posix.h"
#include "platform/stat-posix.h"
#include "platform/threads-posix.h"

#ifdef __linux__
#include <sys/syscall.h>
#endif

namespace platform {
namespace {

// Enough directories in flight to keep a disk's queue busy; they mostly
// wait, so there may be more of them than cores.
constexpr std::size_t kThreadsByDefault = 4;
// How many directories the threads may take beyond the ones the walk has
// listed: ahead enough to overlap, near enough that what they read is
// still cached when the walk comes.
constexpr std::size_t kWindow = 128;
// The most paths the queue holds; the subdirectories of a directory met
// beyond that are left to the walk.
constexpr std::size_t kMostQueued = 8192;
// A listing quicker than this found its directory cached: the walk asks
// the system whether it read the disk only after slower ones.
constexpr std::chrono::microseconds kSlowListing(20);
// The threads start once this many listings in a row read the disk: a cold
// tree. A warm one of which the system dropped a few runs of blocks (as
// this VM's does between runs, up to half of 64 listings in a row) is left
// to the walk, where the threads would only cost.
constexpr std::size_t kColdInARow = 64;

std::atomic<std::size_t> threads_wanted{static_cast<std::size_t>(-1)};  // -1: by the cores
std::atomic<bool> every_listing_cold{false};

std::size_t thread_count() {
  const std::size_t wanted = threads_wanted.load();
  if (wanted != static_cast<std::size_t>(-1)) return wanted;
  // One core keeps the single thread: its walk has no other core to
  // rebuild the caches on.
  return online_cores() <= 1 ? 0 : kThreadsByDefault;
}

// The blocks this thread has read from disks so far, in 512-byte units; a
// read the page cache served counts none.
long blocks_read_by_this_thread() {
#ifdef RUSAGE_THREAD
  struct rusage usage;
  if (getrusage(RUSAGE_THREAD, &usage) != 0) return 0;
  return usage.ru_inblock;
#else
  return 0;
#endif
}

// `below` and a name, as the walk's path has them below its top.
void append_child(std::string& path, native_string_view below, native_string_view name) {
  path.assign(below.data(), below.size());
  if (!below.empty()) path += '/';
  path.append(name.data(), name.size());
}

}  // namespace

bool entered_before(native_string_view a, native_string_view b) {
  const std::size_t common = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < common; ++i) {
    if (a[i] == b[i]) continue;
    // The separator ends a name, so it comes before any byte of a longer
    // one: "a/b" is entered before "a0".
    const int left = a[i] == '/' ? 0 : static_cast<unsigned char>(a[i]) + 1;
    const int right = b[i] == '/' ? 0 : static_cast<unsigned char>(b[i]) + 1;
    return left < right;
  }
  return a.size() < b.size();
}

void directory_prefetch::set_threads(std::size_t threads) { threads_wanted.store(threads); }

void directory_prefetch::set_every_listing_cold(bool cold) { every_listing_cold.store(cold); }

std::size_t directory_prefetch::descriptors_wanted() {
#ifdef __linux__
  // Two each: a directory and its parent, as a thread goes down to it.
  return 2 * thread_count();
#else
  return 0;  // the threads read directories with getdents64
#endif
}

directory_prefetch::~directory_prefetch() { stop(); }

void directory_prefetch::begin(int top_fd, std::uint64_t device, std::size_t descriptors) {
  stop();
  const std::size_t wanted = descriptors_wanted();
  top_fd_ = top_fd;
  device_ = device;
  threads_ = wanted != 0 && descriptors >= wanted ? thread_count() : 0;
  if (threads_ != 0) blocks_in_ = blocks_read_by_this_thread();
  cold_in_a_row_ = 0;
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.clear();
  reading_.clear();
  read_by_threads_.clear();
  entries_kept_ = 0;
  taken_any_ = false;
  walked_ = taken_ = 0;
  quit_ = false;
  quitting_.store(false);
}

void directory_prefetch::listing_started() {
  if (threads_ != 0) listing_start_ = std::chrono::steady_clock::now();
}

bool directory_prefetch::waited_for_disk() {
  if (std::chrono::steady_clock::now() - listing_start_ < kSlowListing) return false;
  const long blocks = blocks_read_by_this_thread();
  const bool read_disk = blocks != blocks_in_;
  blocks_in_ = blocks;
  return read_disk;
}

void directory_prefetch::listed(native_string_view below_top, const directory_listing& listing) {
  if (threads_ == 0) return;
  if (!started_) {
    if (every_listing_cold.load()) {
      cold_in_a_row_ = kColdInARow;
    } else {
      cold_in_a_row_ = waited_for_disk() ? cold_in_a_row_ + 1 : 0;
    }
    if (cold_in_a_row_ < kColdInARow) return;
    const bool any = std::any_of(listing.entries.begin(), listing.entries.end(),
                                 [](const listed_entry& e) { return e.is_directory && !e.is_reparse; });
    if (!any) return;  // nothing to read ahead yet
    start_threads();
  }
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++walked_;
    position_.assign(below_top.data(), below_top.size());
    // The threads have not come this far: what they queued before it is
    // behind the walk, and its subdirectories are next.
    if (!taken_any_ || entered_before(frontier_, position_)) {
      queue_.erase(queue_.begin(), queue_.upper_bound(position_));
      queue_subdirectories(below_top, listing);
      taken_ = walked_;
      wake = true;
    } else if (taken_ + kWindow / 2 == walked_ + kWindow) {
      wake = true;  // the threads waiting for the walk may go on
    }
    wake = wake && waiting_ != 0;
  }
  if (wake) wake_.notify_all();
}

bool directory_prefetch::take(native_string_view below_top, std::uint64_t device,
                              std::uint64_t inode, std::int64_t changed_at,
                              directory_read& read) {
  if (!started_) return false;
  bool taken = false;
  bool wake = false;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    // What the walk went past without entering is of no more use.
    const auto behind = read_by_threads_.lower_bound(below_top);
    for (auto it = read_by_threads_.begin(); it != behind; it = read_by_threads_.erase(it))
      entries_kept_ -= it->second.entries.size();
    for (;;) {
      const auto found = read_by_threads_.find(below_top);
      if (found != read_by_threads_.end()) {
        std::swap(read, found->second);
        entries_kept_ -= read.entries.size();
        read_by_threads_.erase(found);
        // The same directory as the walk's, not another one put there
        // since, nor changed since.
        taken = read.device == device && read.inode == inode && read.changed_at == changed_at;
        wake = waiting_ != 0;
        break;
      }
      // A thread is reading it: waiting costs less than reading it again.
      if (reading_.find(below_top) == reading_.end()) break;
      awaited_.assign(below_top.data(), below_top.size());
      walk_waits_ = true;
      done_.wait(lock);
      walk_waits_ = false;
    }
  }
  if (wake) wake_.notify_all();
  return taken;
}

void directory_prefetch::keep(const std::string& below_top, directory_read& read, bool whole) {
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reading_.erase(below_top);
    // Unless the walk has listed it meanwhile, reading it itself.
    if (whole && entered_before(position_, below_top)) {
      directory_read& kept = read_by_threads_[below_top];
      kept = std::move(read);
      entries_kept_ += kept.entries.size();
    }
    wake = walk_waits_ && below_top == awaited_;  // only for what it waits for
  }
  if (wake) done_.notify_all();
}

void directory_prefetch::queue_subdirectories(native_string_view below_top,
                                              const directory_listing& listing) {
  std::string path;
  for (const listed_entry& entry : listing.entries) {
    if (!entry.is_directory || entry.is_reparse) continue;
    if (queue_.size() >= kMostQueued) return;
    append_child(path, below_top, listing.name(entry));
    queue_.insert(std::move(path));
  }
}

void directory_prefetch::start_threads() {
  started_ = true;
  for (std::size_t i = 0; i < threads_; ++i) {
    // Without room for a thread the walk reads alone, or with fewer.
    if (!running_.start(run_thread, this)) break;
  }
}

void directory_prefetch::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
  }
  quitting_.store(true);
  wake_.notify_all();
  running_.join();
  started_ = false;
  threads_ = 0;
}

bool directory_prefetch::take_next(std::string& next) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (quit_) return false;
    if (taken_ < walked_ + kWindow && entries_kept_ < kMostKeptInAll) {
      // What the walk has reached is its own to read.
      queue_.erase(queue_.begin(), queue_.upper_bound(position_));
      if (!queue_.empty()) {
        auto node = queue_.extract(queue_.begin());
        next.swap(node.value());
        reading_.insert(next);
        ++taken_;
        if (!taken_any_ || entered_before(frontier_, next)) frontier_ = next;
        taken_any_ = true;
        return true;
      }
    }
    ++waiting_;
    wake_.wait(lock);
    --waiting_;
  }
}

struct directory_prefetch::worker {
  inode_listing listed;
  std::string path;
};

bool inode_listing::list(int fd, bool fills_replies, std::size_t most) {
  names.clear();
  entries.clear();
#ifdef __linux__
  if (!replies) replies.reset(new char[kReplySize]);
  return read_replies(fd, fills_replies, replies.get(),
                      [&](std::uint64_t inode, unsigned char type, const char* name) {
                        entries.push_back({inode, names.size(), type});
                        names.append(name, std::strlen(name) + 1);
                        return entries.size() <= most;
                      }) == replies_read::whole;
#else
  (void)fd;
  (void)fills_replies;
  (void)most;
  return false;
#endif
}

void inode_listing::sort_by_inode() {
  std::sort(entries.begin(), entries.end(),
            [](const entry& a, const entry& b) { return a.inode < b.inode; });
}

std::int64_t change_time(const struct stat& st) {
  return static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
}

unique_fd open_to_read_ahead(int at, const char* path, std::uint64_t device,
                             directory_prefetch::directory_read& read) {
  // One name at a time, as the walk goes down: O_NOFOLLOW guards the last
  // component of a path only, and a link put in place of a directory on
  // the way would lead anywhere.
  unique_fd fd;
  for (const char* name = path;;) {
    const char* end = std::strchr(name, '/');
    const std::size_t length = end ? static_cast<std::size_t>(end - name) : std::strlen(name);
    char component[NAME_MAX + 1];
    if (length == 0 || length > NAME_MAX) return unique_fd();
    std::memcpy(component, name, length);
    component[length] = '\0';
    // Gone, or no descriptor free: the walk will tell.
    unique_fd next(openat(fd.valid() ? fd.get() : at, component,
                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.valid()) return next;
    fd = std::move(next);
    if (!end) break;
    name = end + 1;
  }
  struct stat st;
  // Another file system is never walked, so never read.
  if (fstat(fd.get(), &st) != 0 || static_cast<std::uint64_t>(st.st_dev) != device) return unique_fd();
  read.device = static_cast<std::uint64_t>(st.st_dev);
  read.inode = static_cast<std::uint64_t>(st.st_ino);
  read.changed_at = change_time(st);
  return fd;
}

directory_prefetch::entry_read read_listed(int fd, std::uint64_t device, const native_string& names,
                                           const inode_listing::entry& e) {
  const char* name = names.c_str() + e.name_offset;
  directory_prefetch::entry_read got{e.name_offset, static_cast<std::uint16_t>(std::strlen(name)),
                                     e.type, 0, {}};
  const result<> read = read_entry(fd, name, device, got.facts);
  if (!read.outcome) got.error = read.error;
  return got;
}

bool directory_prefetch::read_directory(worker& own, const std::string& below_top,
                                        directory_read& read) {
#ifdef __linux__
  const unique_fd fd = open_to_read_ahead(top_fd_, below_top.c_str(), device_, read);
  if (!fd.valid()) return false;
  inode_listing& listed = own.listed;
  // Else the walk lists it itself, and tells.
  bool whole = listed.list(fd.get(), false, static_cast<std::size_t>(-1));
  // The subdirectories first, so that other threads can start on them
  // while this one reads the entries' inodes.
  bool queued = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const inode_listing::entry& e : listed.entries) {
      if (e.type != DT_DIR || queue_.size() >= kMostQueued) continue;
      append_child(own.path, below_top, listed.names.c_str() + e.name_offset);
      if (!entered_before(position_, own.path)) continue;  // the walk is there already
      queue_.insert(own.path);
      queued = true;
    }
    queued = queued && waiting_ != 0;
  }
  if (queued) wake_.notify_all();
  whole = whole && listed.entries.size() <= kMostEntriesKept;
  // Not to be kept (too large, or not read whole): the walk, which may be
  // waiting for it already, reads it itself at once, rather than wait for
  // the facts of every entry and then read it again; this thread goes on
  // reading them for the caches.
  if (!whole) keep(below_top, read, false);
  read.names.swap(listed.names);
  read.entries.clear();
  if (whole) read.entries.reserve(listed.entries.size());
  listed.sort_by_inode();
  for (const inode_listing::entry& e : listed.entries) {
    if (quitting_.load(std::memory_order_relaxed)) return false;
    const entry_read got = read_listed(fd.get(), device_, read.names, e);
    if (whole) read.entries.push_back(got);
    // A file system that tells no kinds: the read tells the directories.
    if (got.error != 0 || e.type != DT_UNKNOWN || !got.facts.is_directory ||
        got.facts.kind != entry_kind::normal)
      continue;
    const char* name = read.names.c_str() + e.name_offset;
    std::lock_guard<std::mutex> lock(mutex_);
    append_child(own.path, below_top, name);
    if (queue_.size() < kMostQueued && entered_before(position_, own.path)) queue_.insert(own.path);
  }
  read_.fetch_add(1);
  return whole;
#else
  (void)own;
  (void)below_top;
  (void)read;
  return false;
#endif
}

void directory_prefetch::run() {
  std::string next;
  directory_read read;
  try {
    worker own;
    while (take_next(next)) {
      const bool whole = read_directory(own, next, read);
      keep(next, read, whole);
      next.clear();
    }
  } catch (const std::bad_alloc&) {
    // Reading ahead is only a help: without memory for it the walk reads
    // alone, as it would have, and the directory this thread was reading
    // too, rather than wait for it.
    keep(next, read, false);
  }
}

void* directory_prefetch::run_thread(void* self) {
  static_cast<directory_prefetch*>(self)->run();
  return nullptr;
}

}  // namespace platform
