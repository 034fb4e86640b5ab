// Directories read ahead of the walk. On a cold cache a walk spends most of
// its time waiting for the disk, one directory at a time; a few I/O threads
// open, list and stat the directories the walk will enter next, several at
// once, so that the walk finds them in the kernel's caches.
//
// What a thread reads of a directory (its names and the facts of each
// entry, with the same calls the walk makes) is kept for the walk, which
// takes it in place of listing and reading the directory itself when it
// gets there; it still enters every directory itself and takes everything
// in its own order, so every output is that of a walk without threads. The
// threads take the directories in the order the walk enters them (a shared
// queue sorted in that order, from which each takes the first one the walk
// has not reached yet), at most a window ahead of it, and stop before the
// walk's top directory closes.
//
// They start only once listings of the walk keep waiting for the disk: a
// walk of a warm tree never starts them.
#ifndef TWINFIND_PLATFORM_DIRECTORY_PREFETCH_POSIX_H_
#define TWINFIND_PLATFORM_DIRECTORY_PREFETCH_POSIX_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "platform/filesystem.h"
#include "platform/owners-posix.h"
#include "platform/threads-posix.h"

namespace platform {

// The order in which the walk enters directories, for paths below its top:
// a directory before everything below it, and what lies below one before
// its next sibling (byte order of the names at the first component that
// differs).
bool entered_before(native_string_view a, native_string_view b);

// A directory as a reader ahead of the walk lists it: every entry but "."
// and ".." with its inode, in the order of the listing, and the buffer for
// the system's replies, reused from directory to directory.
struct inode_listing {
  struct entry {
    std::uint64_t inode;
    std::size_t name_offset;
    unsigned char type;  // the listing's DT_ value
  };
  native_string names;  // each followed by a NUL
  std::vector<entry> entries;
  std::unique_ptr<char[]> replies;

  // Lists the open directory `fd` anew; false when a reply failed (what
  // came before stays), when it holds more than `most` entries (it stops
  // there), and on POSIX systems other than Linux.
  bool list(int fd, bool fills_replies, std::size_t most);
  // In the order of the inodes, which is the order of their blocks.
  void sort_by_inode();
};

class directory_prefetch {
 public:
  directory_prefetch() = default;
  ~directory_prefetch();
  directory_prefetch(const directory_prefetch&) = delete;
  directory_prefetch& operator=(const directory_prefetch&) = delete;

  // How many descriptors the threads would hold at most: one each.
  static std::size_t descriptors_wanted();
  // A walk whose top is the open directory `top_fd` on `device`, with
  // `descriptors` descriptors the threads may hold (fewer than they want:
  // they never start).
  void begin(int top_fd, std::uint64_t device, std::size_t descriptors);
  // What a thread read of one directory.
  struct entry_read {
    std::size_t name_offset;
    std::uint16_t name_length;
    unsigned char type;  // the listing's DT_ value
    error_code error;    // of the read; 0: `facts` hold
    entry_facts facts;
  };
  struct directory_read {
    std::uint64_t device = 0;  // the directory's own, as opened
    std::uint64_t inode = 0;
    std::int64_t changed_at = 0;  // change_time() before it was listed
    native_string names;  // each followed by a NUL
    std::vector<entry_read> entries;
  };

  // Before the walk lists a directory: times the listing.
  void listing_started();
  // Takes what a thread read of the directory `below_top`, whose device,
  // inode and change_time() the walk opened, waiting while a thread reads
  // it; false when none has, or what it read is not that directory as it
  // is now (the walk then reads it itself).
  bool take(native_string_view below_top, std::uint64_t device, std::uint64_t inode,
            std::int64_t changed_at, directory_read& read);
  // The walk has listed the directory `below_top` (its path below the top,
  // empty for the top itself): gives its subdirectories to the threads
  // when they have not read it, and starts them once listings keep
  // waiting for the disk.
  void listed(native_string_view below_top, const directory_listing& listing);
  // Stops the threads and waits for them; idempotent.
  void stop();
  // Whether the threads read ahead (the tree is cold).
  bool running() const { return started_; }

  // For tests: how many threads a walk may use (0: none; -1 puts back the
  // default, by the cores), and whether every listing counts as cold.
  static void set_threads(std::size_t threads);
  static void set_every_listing_cold(bool cold);
  // For tests: the directories the threads have read, in all.
  std::size_t directories_read() const { return read_.load(); }

 private:
  struct walk_order {
    using is_transparent = void;  // looked up by views, without a copy
    bool operator()(native_string_view a, native_string_view b) const {
      return entered_before(a, b);
    }
  };
  struct worker;  // one thread's buffers

  bool waited_for_disk();
  void start_threads();
  void queue_subdirectories(native_string_view below_top, const directory_listing& listing);
  // The next directory to read, waiting for one; false once stopped.
  bool take_next(std::string& next);
  bool read_directory(worker& own, const std::string& below_top, directory_read& read);
  void keep(const std::string& below_top, directory_read& read, bool whole);
  void run();
  static void* run_thread(void* self);

  int top_fd_ = -1;
  std::uint64_t device_ = 0;
  std::size_t threads_ = 0;  // 0: this walk reads alone
  bool started_ = false;
  std::chrono::steady_clock::time_point listing_start_;
  long blocks_in_ = 0;  // the walk thread's block reads, when last looked at
  std::size_t cold_in_a_row_ = 0;  // the last listings that all read the disk

  std::mutex mutex_;
  std::condition_variable wake_;
  std::set<std::string, walk_order> queue_;
  std::set<std::string, walk_order> reading_;          // taken by a thread
  std::map<std::string, directory_read, walk_order> read_by_threads_;  // kept for the walk
  std::size_t entries_kept_ = 0;  // in read_by_threads_
  bool walk_waits_ = false;
  std::string awaited_;  // the directory the walk waits for
  std::condition_variable done_;
  std::string position_;  // the directory the walk listed last
  std::string frontier_;  // the last in walk order that a thread took
  bool taken_any_ = false;
  std::size_t walked_ = 0;  // directories the walk listed
  std::size_t taken_ = 0;   // ... and the threads took, from the same start
  std::size_t waiting_ = 0;  // threads asleep on wake_
  bool quit_ = false;
  std::atomic<bool> quitting_{false};  // quit_, read without the lock
  std::atomic<std::size_t> read_{0};
  thread_group running_;
};

// When a directory last changed, in nanoseconds: a listing read ahead of
// the walk is the walk's only while this has not moved since. The device
// and inode alone do not tell: a directory removed and made anew (or one
// whose entries changed) can have the same ones. The system stamps a change
// after a look at the time with a time of its own (Linux since 6.13 on the
// common local file systems), so no change after the read ahead passes
// unseen; older systems stamp with a coarser clock, which leaves a change
// made within the same few milliseconds as the one before unseen.
std::int64_t change_time(const struct stat& st);

// Opens the directory `path` (names joined by '/') below `at` to read it
// ahead of the walk, level by level: never through a link, on the way or
// at the end, and only on `device`, as the walk never crosses into another
// file system; its identity goes to `read`. Invalid when it cannot. It
// holds two descriptors at most while it goes down.
unique_fd open_to_read_ahead(int at, const char* path, std::uint64_t device,
                             directory_prefetch::directory_read& read);
// Reads the facts of the listed entry `e`, whose name lies in `names`, in
// the open directory `fd` on `device`, as the walk would.
directory_prefetch::entry_read read_listed(int fd, std::uint64_t device, const native_string& names,
                                           const inode_listing::entry& e);

}  // namespace platform

#endif  // TWINFIND_PLATFORM_DIRECTORY_PREFETCH_POSIX_H_
