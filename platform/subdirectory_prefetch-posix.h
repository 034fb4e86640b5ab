// Subdirectories read beside the walk. Once the entries of a directory are
// visited, the walk enters its subdirectories one after the other, each
// with its whole tree; a helper thread reads them meanwhile from the last
// one back (opens each, lists it and reads the facts of its entries, with
// the calls the walk would make), so that the two meet half way and the
// walk takes the rest as read. On a warm cache this puts a second core to
// work on the many small directories, for one wake-up per directory whose
// subdirectories are handed over rather than one per subdirectory.
//
// The walk still opens every directory itself, and takes what the helper
// read only for the directory it opened (the same device and inode); it
// takes everything in its own order, so every output is that of a walk
// alone. The helper reads a subdirectory by its name in the open parent,
// whose descriptor stays the walk's: the walk ends the reads of a
// directory's subdirectories before that descriptor closes.
#ifndef TWINFIND_PLATFORM_SUBDIRECTORY_PREFETCH_POSIX_H_
#define TWINFIND_PLATFORM_SUBDIRECTORY_PREFETCH_POSIX_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/directory_prefetch-posix.h"
#include "platform/filesystem.h"
#include "platform/threads-posix.h"

namespace platform {

class subdirectory_prefetch {
 public:
  subdirectory_prefetch();
  ~subdirectory_prefetch();
  subdirectory_prefetch(const subdirectory_prefetch&) = delete;
  subdirectory_prefetch& operator=(const subdirectory_prefetch&) = delete;

  // Whether handing over `count` subdirectories is worth a wake-up.
  static bool worth_it(std::size_t count);
  // The walk is about to enter the subdirectories `names` (each followed
  // by a NUL, in the order it enters them) of the directory open as
  // `parent_fd` on `device`, at depth `level` below its PATH: a deeper
  // level than any handed over before and not yet ended. `fills_replies`:
  // its file system fills every listing reply it can.
  void begin(std::size_t level, int parent_fd, std::uint64_t device, bool fills_replies,
             const native_string& names, std::size_t count);
  // The walk lists `name`, a subdirectory of the directory at `level`:
  // takes what the helper read of it, and lets go of the subdirectories
  // handed over before it. False when the helper has not read it (or still
  // reads it, or `name` was not handed over): the walk reads it itself.
  bool take(std::size_t level, native_string_view name, directory_prefetch::directory_read& read);
  // The descriptor of the directory at `level` closes: no more reads of
  // its subdirectories; returns once the helper no longer uses it.
  void end(std::size_t level);

  // For tests: whether walks use the helper (-1 puts back the default: on
  // more than one core); how many directories helpers read whole.
  static void set_enabled(int enabled);
  static std::size_t read_in_all();

 private:
  struct batch;

  bool next_to_read(batch*& from, std::size_t& item);
  void read_item(inode_listing& listed, batch& from, std::size_t item);
  void run();
  static void* run_thread(void* self);

  // The batches by level, shallowest first. Only the walk adds and removes
  // them, under the lock; it reads the vector without.
  std::vector<std::unique_ptr<batch>> batches_;
  std::atomic<std::size_t> entries_kept_{0};  // read and not yet taken
  std::mutex mutex_;
  std::condition_variable wake_;  // for the helper, and for an ending batch
  bool helper_waits_ = false;
  bool quit_ = false;
  bool no_thread_ = false;  // the system had no room for one
  thread_group helper_;
};

}  // namespace platform

#endif  // TWINFIND_PLATFORM_SUBDIRECTORY_PREFETCH_POSIX_H_
