// Reading ahead of the walk: one queue of typed requests, served by a small
// pool of threads that the walk owns.
//
// A walk spends its time in two kinds of call: opening and listing a
// directory, and reading the facts of each of its entries. Both wait for
// the disk on a cold cache and both can share a second core on a warm one,
// so the walk asks for them ahead of itself:
//   - "open and list this subdirectory": by name, relative to the open
//     directory of a level of the walk, which the request pins. The worker
//     hands back the directory it opened, with its listing and the facts of
//     its entries; the walk adopts that directory as the level it enters,
//     so what the walk reports is always the directory it holds open.
//   - "read the facts of these entries": a slice of the listing the walk
//     is visiting, read in the directory the walk holds open.
// The walk still takes everything in its own order. A request it reaches
// before any worker claimed it is dropped, and the walk does the work
// itself, as it would alone; one a worker is reading is looked at a little
// while, then left to the worker and done by the walk too; one that failed
// is dropped, and the walk meets the failure itself and reports it in its
// place. So every output is that of a walk alone, errors and their order
// included, whatever the threads do.
//
// Which request a worker takes is the walk's own order turned around: a
// slice of the listing being visited first, then the subdirectories of the
// deepest level (where the walk is), a few ahead of the walk at each level
// (the farthest of those first, so that the walk seldom arrives at one
// still being read; the nearest first where the reading meets the disk, as
// the walk then waits for the disk whoever reads), then those below the
// directories already opened there, nearest first; and only while the
// walk's one budget of descriptors spares one beside the walk's levels
// (descriptor_budget), the levels the walk will come back to holding no
// more than their few.
//
// A worker that opens a directory asks, in the same queue, for the
// subdirectories of its listing, pinned to the descriptor it holds: how
// far ahead the queue reads is bounded by the descriptors and the memory it
// may hold, not by the levels the walk is in. The walk that adopts that
// directory takes those requests over as the ones of the level it enters;
// where it does not adopt it, or drops it, they end (waited for where being
// read, their directories closed) before its descriptor closes.
//
// The engine is the same for every half of the file system that reads
// ahead: the half makes the queue of a walk, with the operations that carry
// out its requests and the threads it may use, and is the only one to ask
// it anything; the walk above asks the half. A half that reads alone (the
// Win32 one, which goes by paths) makes none. The fake file system of the
// tests starts no thread and completes requests when the test says, so
// that every order of events is one the test chose.
#ifndef TWINFIND_FS_READ_AHEAD_H_
#define TWINFIND_FS_READ_AHEAD_H_

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "fs/filesystem.h"
#include "base/text.h"
#include "base/threads.h"

namespace platform {

// A directory as a half holds it open: a POSIX descriptor, a node of the
// fake file system. -1: none.
using directory_handle = std::intptr_t;

// A directory a worker opened, owned by the one record that holds it and
// moved, never copied, from the worker's record to the walk's: closed
// through its half's `close` when its owner lets it go, unless the walk
// took it over (release()).
class owned_directory {
 public:
  owned_directory() = default;
  owned_directory(directory_handle handle, void (*close)(directory_handle))
      : handle_(handle), close_(close) {}
  ~owned_directory() { reset(); }
  owned_directory(owned_directory&& other) noexcept
      : handle_(other.release()), close_(other.close_) {}
  owned_directory& operator=(owned_directory&& other) noexcept {
    if (this != &other) {
      reset();
      close_ = other.close_;
      handle_ = other.release();
    }
    return *this;
  }
  owned_directory(const owned_directory&) = delete;
  owned_directory& operator=(const owned_directory&) = delete;

  bool valid() const { return handle_ >= 0; }
  directory_handle get() const { return handle_; }
  // The walk's now: closing it is the walk's business.
  directory_handle release() {
    const directory_handle handle = handle_;
    handle_ = -1;
    return handle;
  }
  void reset() {
    if (handle_ >= 0) close_(handle_);
    handle_ = -1;
  }

 private:
  directory_handle handle_ = -1;
  void (*close_)(directory_handle) = nullptr;
};

// An open directory of the walk that requests read in, or below: its handle
// (pinned while a request uses it), its volume, and what the half knows of
// its file system.
struct directory_place {
  directory_handle handle = -1;
  std::uint64_t volume = 0;
  bool fills_replies = false;
};

// One reading of an entry, as examining it ends.
struct entry_reading {
  result<examination> examined{examination::not_found, 0};
  entry_facts facts;
};

// A subdirectory as a worker opened and read it, for the walk to adopt.
struct opened_directory {
  owned_directory handle;
  file_identity identity;
  // Sorted as the walk lists; every entry's `listed_facts` is its reading
  // in `readings`, from 1. Unless `incomplete`: a directory too large to
  // keep whole is listed only in part, with no readings, and the rest of
  // its entries are still to be read from the handle.
  directory_listing listing;
  std::vector<entry_reading> readings;
  bool incomplete = false;
  // While a worker reads it: counted up as each entry is read, so that a
  // walk arriving meanwhile tells a worker at work from one whose core
  // another program took. Null where nobody looks.
  std::atomic<std::uint32_t>* entries_read = nullptr;

  // A record used before holds the last directory's listing: the half
  // that fills it starts it afresh, keeping its buffers.
  void start_afresh(const file_identity& opened_identity) {
    identity = opened_identity;
    listing.clear();
    readings.clear();
    incomplete = false;
  }
};

// The descriptors a walk may open beyond those the process held, counted
// once where the walk starts: the walk's open levels and the directories
// its queue holds (being opened, or opened and not adopted) draw on this one
// count. The walk's levels come first: the queue takes one only while the
// walk keeps room for the levels it holds and `kept_for_levels` at least,
// and holds `most_ahead` at most; the walk, short of room, parks a level
// rather than wait for the queue, which gives its descriptors back as the
// walk adopts or passes what it opened. Written by the walk's thread and
// by the queue under its lock, read by both: atomic.
struct descriptor_budget {
  std::atomic<std::size_t> total{0};
  std::atomic<std::size_t> levels{0};  // the walk's open levels
  std::atomic<std::size_t> ahead{0};   // the queue's
  std::size_t kept_for_levels = 0;
  std::size_t most_ahead = 0;

  // Whether the queue may open one more.
  bool ahead_may_take_one() const {
    const std::size_t held = ahead.load(std::memory_order_relaxed);
    const std::size_t kept =
        std::max(levels.load(std::memory_order_relaxed), kept_for_levels);
    return held < most_ahead && held + 1 + kept <= total.load(std::memory_order_relaxed);
  }
  // How many levels the walk may hold open now, between `fewest` and
  // `most`.
  std::size_t room_for_levels(std::size_t fewest, std::size_t most) const {
    const std::size_t all = total.load(std::memory_order_relaxed);
    const std::size_t held = ahead.load(std::memory_order_relaxed);
    const std::size_t room = all > held ? all - held : 0;
    return std::min(most, std::max(fewest, room));
  }
};

// How a half carries out requests, on a worker's thread.
struct read_ahead_operations {
  // Opens the subdirectory `name` of `parent` without following a link, on
  // the parent's volume only, and reads it as the walk would; false when it
  // cannot (the walk then does it itself and reports what it meets).
  // Whatever `opened` held before, it holds that directory alone after.
  // `seen`, when not null, is the reading of `name` that a worker made
  // while it read `parent`: what to open is decided from it, with no new
  // reading.
  bool (*open)(const directory_place& parent, const native_string& name, const entry_facts* seen,
               opened_directory& opened);
  // Reads the entries `order[0..count)` of `listing` in the open directory
  // `place`, into `readings`.
  void (*read_facts)(const directory_place& place, const directory_listing& listing,
                     const std::uint32_t* order, std::size_t count, entry_reading* readings);
  // Closes a directory the walk is done with.
  void (*close)(directory_handle handle);
  // The blocks the calling thread has read from the disk so far (0 where
  // the system does not tell): whether the queue's reading meets the disk.
  std::uint64_t (*blocks_read)();
};

class read_ahead {
 public:
  // Requests carried out by `operations`, by `threads` workers at most,
  // started at the first request; none, unless `by_hand`, turns every
  // request down and the walk reads alone. `by_hand` (the fake's tests): no
  // thread, requests complete when complete() or a wait for them says.
  read_ahead(const read_ahead_operations& operations, std::size_t threads, bool by_hand = false);
  ~read_ahead();
  read_ahead(const read_ahead&) = delete;
  read_ahead& operator=(const read_ahead&) = delete;

  bool enabled() const { return threads_wanted_ != 0 || by_hand_; }
  // Up to `most` threads in all where the walk keeps arriving at requests
  // still being read while the workers' reading meets the disk (the walk
  // waits on the disk beside them): a worker then waits on the disk too,
  // and more of them keep more reads under way than there are cores. Where
  // the walk finds its requests done, or their workers read from the
  // caches, the threads stay as many as the queue was made with. Never
  // fewer than those.
  void allow_threads_while_waiting(std::size_t most);
  // The threads the queue would run now (by hand: none run, the count
  // only).
  std::size_t threads_wanted_now() const;
  // The queue reads below the directories it opened once the walk arrives
  // early as above, and on a warm tree while every worker the walk meets
  // ran on another core than the walk's: a warm walk beside a worker that
  // took turns with it on one core (another program holding the other)
  // lost more to the waits below a directory it passed than it gained.
  // From the start after read_deeper_at_once().
  void read_deeper_at_once();
  bool reading_deeper() const;
  // The walk's one budget of descriptors, which outlives the queue; none
  // (the default) allows no request to open a directory.
  void share_descriptors(descriptor_budget* budget);

  // Asks for the subdirectories of `listing` (the entries listed as
  // directories, no reparse points) to be opened and read, in listing
  // order, where `parent` is the open directory of level `level`.
  void open_subdirectories(std::size_t level, const directory_place& parent,
                           const directory_listing& listing);
  // The walk enters the subdirectory `name` of level `level`: the
  // directory a worker opened there, waiting while one reads it; null when
  // none did (the walk opens it itself). Requests of that level that come
  // before it in the listing are dropped. The requests the worker made for
  // the subdirectories of the one it opened, which read in its handle,
  // become those of level `level + 1` (and open_subdirectories of that
  // level keeps them): where the half does not adopt the directory after
  // all, it ends that level before it closes the handle.
  std::unique_ptr<opened_directory> take_opened(std::size_t level, native_string_view name);
  // What a taken directory leaves once adopted, for the next request to
  // reuse its buffers; its handle is the walk's now.
  void give_back(std::unique_ptr<opened_directory> spent);

  // Asks for the facts of the entries `order` of `listing`, the listing of
  // the open directory `place`, in that order; ticket i is `order[i]`.
  // `listing` stays as it is until end_facts(). False when the walk is to
  // read them all itself.
  bool read_facts(const directory_place& place, const directory_listing& listing,
                  std::vector<std::uint32_t>& order);
  // The reading of ticket `ticket`, taken in increasing order: read by a
  // worker or here; while a worker reads it, the walk reads the next
  // unclaimed slice itself rather than wait idle.
  void take_facts(std::size_t ticket, entry_reading& reading);
  // No more facts of that listing; returns once no worker reads them.
  void end_facts();

  // The level `level` closes, or lets its descriptor go: its requests are
  // dropped, those being read waited for, the directories opened for it
  // and not adopted closed. Other levels' requests go on.
  void end_level(std::size_t level);

  // The walk is done with the open directory `handle`: a worker closes it
  // between its requests, off the walk's path, counted meanwhile among the
  // queue's descriptors. False where the queue does not take it (no worker
  // runs, or enough wait already): the walk closes it itself.
  bool close_later(directory_handle handle);

  // Lets go of every directory opened ahead and not yet adopted, and of the
  // buffers kept for the next requests, and opens no more for this walk:
  // what the queue holds must never cost the walk memory it would have
  // alone. The newest queue is called when an allocation of the walk's
  // thread fails (through the process's new-handler, which the first queue
  // sets), and the allocation is tried again. True when it freed anything.
  bool give_up_memory();

  // By hand (the fake's tests): carries out the next `most` requests as a
  // worker would take them; claims them without carrying them out, to be
  // finished when the walk waits for them, or when finish_claimed() says,
  // oldest first, as the worker that claimed one finishes it whatever the
  // walk did meanwhile (the end of the queue finishes the rest, as threads
  // finish before they are joined). Return how many.
  // A claim that is not `running` is a worker whose core another program
  // took: the walk looks at it in vain, does what it can without it, and
  // waits for it only where it must (the worker then runs at last).
  std::size_t complete(std::size_t most);
  std::size_t claim(std::size_t most, bool running = true);
  std::size_t finish_claimed(std::size_t most);

 private:
  struct pinned_place;
  class place_pin;
  struct request;
  struct level_requests;
  // What one worker read from the disk: the blocks at the start of its
  // current weighing, and how many of its requests the weighing holds.
  struct disk_weighing {
    std::uint64_t blocks_at = 0;
    std::size_t requests = 0;
  };

  request* next_to_claim();
  request* claim_in(level_requests& batch);
  void carry_out(request& r);
  void carry_out_and_finish(brief_lock& lock, request& r, disk_weighing& weighing);
  bool meets_the_disk() const { return weighings_on_the_disk_left_ != 0; }
  void ask_for_children(request& r);
  void finish(brief_lock& lock, request& r);
  void drop(brief_lock& lock, request& r);
  bool drop_all(brief_lock& lock, level_requests& batch);
  void end_batch(brief_lock& lock, level_requests& batch);
  bool look_a_while(brief_lock& lock, request& r, bool* at_first = nullptr);
  void close_waiting(brief_lock& lock);
  bool stalled(const request& r) const;
  void finish_by_hand(brief_lock& lock, request& r);
  void wait_for(brief_lock& lock, request& r);
  std::unique_ptr<request> fresh_request();
  void start_threads();
  void arrived(bool still_being_read, bool on_the_walks_core);
  void weigh_cores(bool met_on_the_walks_core);
  void run();
  static void* run_thread(void* self);

  static void on_allocation_failure();

  const read_ahead_operations operations_;
  const std::size_t threads_wanted_;
  const bool by_hand_;
  std::size_t threads_while_waiting_ = 0;
  std::size_t threads_now_ = 0;  // wanted now: started, or by hand counted
  // Of the walk's last arrivals at requests a worker claimed: how many, and
  // of those how many were still being read after it looked a while.
  std::size_t arrivals_ = 0;
  std::size_t arrivals_waited_ = 0;
  bool reading_deeper_ = false;  // below what it opened, from then on
  // ... and while its workers run beside the walk, on cores of their own:
  // how many weighings in a row said so, and for how many more one that
  // met a worker on the walk's core keeps it from reading below.
  std::size_t arrivals_on_the_walks_core_ = 0;
  std::size_t weighings_beside_ = 0;
  std::size_t weighings_shared_left_ = 0;
  bool beside_the_walk_ = false;
  // Whether the queue's reading meets the disk: for how many more
  // weighings of a worker's requests since one that read from it.
  std::size_t weighings_on_the_disk_left_ = 0;
  // By hand, the test's worker's weighing (a thread keeps its own).
  disk_weighing weighing_by_hand_;
  bool memory_short_ = false;  // no more directories opened ahead
  std::size_t records_ = 0;    // request records alive, spare or in use
  mutable std::mutex mutex_;
  std::condition_variable work_;      // for idle workers
  std::condition_variable finished_;  // for the walk waiting on a request
  bool walk_waits_ = false;
  // The core the walk last ran on, as it last looked; -1: not known.
  std::atomic<int> walk_core_{-1};
  bool quit_ = false;
  std::size_t idle_ = 0;
  descriptor_budget* budget_ = nullptr;
  std::size_t holding_ = 0;  // descriptors requests hold, or are opening
  // Each level's requests on the heap: their place stays where requests
  // pinned it when levels are added, and a batch a worker made for the
  // directory it opened becomes a level's as it is, when the walk adopts
  // that directory.
  std::vector<std::unique_ptr<level_requests>> levels_;
  std::vector<std::unique_ptr<request>> spare_;
  // By hand: the requests claimed and not yet finished, oldest first. A
  // record among them is never freed, as a claimed request is waited for
  // before its record goes.
  std::vector<request*> claimed_by_hand_;
  std::vector<request*> stalled_by_hand_;  // ... of those, not running
  // The facts being read: the listing's, in slices of a ring.
  struct facts_job;
  std::unique_ptr<facts_job> facts_;
  // Directories the walk is done with, for a worker to close; room for
  // all of them reserved when the threads start.
  std::vector<directory_handle> to_close_;
  thread_group threads_;
  bool started_ = false;
};

// `by_the_half`, the threads the half would have a walk use, unless a test
// set another number (-1 puts it back): the one switch of reading ahead,
// for the tests that compare walks with and without it. Threads a test set
// also read below what they open from the start (read_deeper_at_once).
std::size_t threads_for_a_walk(std::size_t by_the_half);
void set_read_ahead_threads(std::size_t threads);

}  // namespace platform

#endif  // TWINFIND_FS_READ_AHEAD_H_
