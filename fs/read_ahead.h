// Reading ahead of the walk: one queue of typed requests, kept in the order
// the walk will take them, served by a fixed pool of threads.
//
// A walk waits on two kinds of call, which it asks for ahead of itself:
//   - "open and list this subdirectory", by name in an open directory (a
//     level of the walk, or one a worker opened ahead of it) that the
//     request pins. The walk adopts the directory the worker opened
//     (adopt), so what it reports is always the directory it holds open.
//   - "read the facts of these entries": a slice of the listing it visits.
// The requests of one open directory are a FIFO in listing order, and a
// worker takes, of those nobody claimed, the one the walk needs soonest: a
// slice of the facts it visits, then the subdirectories of the deepest
// level, each followed by what was opened below it, depth first. The walk
// takes everything in its own order: a request nobody claimed it does
// itself; at one being read it carries out the next unclaimed one meanwhile
// (so one worker and the walk share two cores), else waits; a failed one it
// meets itself and reports. So every output is that of a walk alone,
// errors and their order included, whatever the threads do.
//
// What the queue holds is bounded by fixed counts (the descriptors of
// descriptor_budget, each a directory of at most kMostEntriesKeptAhead
// entries, and one ring of slices of facts); nothing in it changes while
// the walk runs. Every half goes through the same queue as the walk enters,
// lists, examines and leaves; the fake file system of the tests starts no
// thread and completes requests when the test says.
#ifndef TWINFIND_FS_READ_AHEAD_H_
#define TWINFIND_FS_READ_AHEAD_H_

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "fs/extent_maps_ahead.h"
#include "fs/filesystem.h"
#include "base/text.h"
#include "base/threads.h"

namespace platform {

// A POSIX descriptor, a node of the fake file system; -1: none.
using directory_handle = std::intptr_t;

// A worker lists directories of at most this many entries for the walk,
// with the facts of each; a larger one it leaves to the walk, which lists
// it as it would alone, sharing their facts out in slices. Unmeasured as a
// speed: it bounds the memory of what the queue holds (64 directories of
// 1,024 entries, about 8 MB at the most), and directories larger than this
// are few (4 of the 5,176 of /usr/share, which the bench tree copies,
// though they hold a third of its entries).
constexpr std::size_t kMostEntriesKeptAhead = 1024;

// An open directory that requests read in, and what the half knows of it.
struct directory_place {
  directory_handle handle = -1;
  std::uint64_t volume = 0;
  bool fills_replies = false;
  const walk_extent_maps* walk_maps = nullptr;  // where files map ahead (extent_maps_ahead.h)
};

// One reading of an entry, as examining it ends.
struct entry_reading {
  result<examination> examined{examination::not_found, 0};
  entry_facts facts;
  mapped_ahead map;
};

// When a directory last changed (POSIX: st_mtim and st_ctim; the fake: a
// count of changes): a listing taken ahead holds only while it is the same.
using change_stamp = std::array<std::int64_t, 4>;

// A subdirectory as a worker opened and read it, for the walk to adopt: the
// one holder of its handle, closed through `close` unless the walk took it
// over (release()).
struct opened_directory {
  opened_directory() = default;
  ~opened_directory() { close_handle(); }  // not copied: `maps` is its own

  directory_handle release() { return std::exchange(handle, -1); }
  void close_handle() {
    if (handle >= 0) close(std::exchange(handle, -1));
  }
  // A record is reused for the next directory, keeping its buffers.
  void start_afresh(const file_identity& opened_identity, const change_stamp& opened_stamp) {
    identity = opened_identity;
    stamp = opened_stamp;
    listing.clear();
    readings.clear();
  }

  directory_handle handle = -1;
  void (*close)(directory_handle) = nullptr;
  file_identity identity;
  change_stamp stamp{};  // taken from the open directory before listing it
  // Sorted as the walk lists; `listed_facts` is a place in `readings`, from 1.
  directory_listing listing;
  std::vector<entry_reading> readings;
  std::unique_ptr<extent_maps> maps;  // the maps `readings` point into
};

// The descriptors a walk may open beyond those the process held, counted
// once where the walk starts, for its open levels and the directories its
// queue holds. The levels come first: the queue takes one only while the
// walk keeps room for its levels and `kept_for_levels` at least, and holds
// `most_ahead` at most. Written by the walk and by the queue under its
// lock, read by both: atomic.
struct descriptor_budget {
  std::atomic<std::size_t> total{0};
  std::atomic<std::size_t> levels{0};  // the walk's open levels
  std::atomic<std::size_t> ahead{0};   // the queue's
  std::size_t kept_for_levels = 0;
  std::size_t most_ahead = 0;

  // Whether the queue may open one more.
  bool ahead_may_take_one() const {
    const std::size_t held = ahead.load(std::memory_order_relaxed);
    const std::size_t kept = std::max(levels.load(std::memory_order_relaxed), kept_for_levels);
    return held < most_ahead && held + 1 + kept <= total.load(std::memory_order_relaxed);
  }
  // How many levels the walk may hold open now, from `fewest` to `most`.
  std::size_t room_for_levels(std::size_t fewest, std::size_t most) const {
    const std::size_t all = total.load(std::memory_order_relaxed);
    const std::size_t held = ahead.load(std::memory_order_relaxed);
    const std::size_t room = all > held ? all - held : 0;
    return std::min(most, std::max(fewest, room));
  }
};

// How a half carries out requests, on a worker's thread.
struct read_ahead_operations {
  // Opens the subdirectory `name` of `parent` where opens_ahead says (from
  // `seen`, a worker's reading made with the parent's listing, where not
  // null), and lists and reads it into `opened` as the walk would; false
  // where it cannot or it holds more than kMostEntriesKeptAhead entries.
  bool (*open)(const directory_place& parent, const native_string& name, const entry_facts* seen,
               opened_directory& opened);
  // Reads the entries `order[0..count)` of `listing` into `readings`; and,
  // where `maps` is not null, the maps of the files maps_ahead says.
  void (*read_facts)(const directory_place& place, const directory_listing& listing,
                     const std::uint32_t* order, std::size_t count, entry_reading* readings,
                     extent_maps* maps);
  // On the walk's thread: what stands at `name` of `parent` now, never
  // through a link; false where nothing does.
  bool (*look)(directory_handle parent, const native_char* name, file_identity& identity,
               change_stamp& stamp);
};

// Whether a worker opens the entry of `parent` that `facts` describe: a
// directory the walk would enter, never a link or a mount point.
inline bool opens_ahead(const entry_facts& facts, const directory_place& parent) {
  return facts.is_directory && facts.kind == entry_kind::normal &&
         facts.identity.volume == parent.volume;
}

// An entry's `listed_facts`: 0, nothing read; kUnreadKind, a kind the
// listing could not tell (a link, a file system that tells no type), read
// as the walk takes the listing; else what the queue alone encodes: a
// ticket among the facts it reads, or a place among the readings kept.
constexpr std::uint32_t kUnreadKind = 0xFFFFFFFFu;

// Gives each entry of `opened` its reading, the k-th of `opened.readings`
// being that of entry `order[k]` (null: in listing order).
void keep_readings(opened_directory& opened, const std::uint32_t* order);

// The queue of a walk, and what the walk keeps of it.
class read_ahead {
 public:
  // `threads` workers, started at the first request; none, unless
  // `by_hand`, turns every request down. `by_hand` (tests): no thread, and
  // requests complete when complete() or a wait for them says.
  read_ahead(const read_ahead_operations& operations, std::size_t threads, bool by_hand = false);
  ~read_ahead();

  bool enabled() const { return threads_ != 0 || by_hand_; }

  // What every half does as the walk enters, lists, examines and leaves,
  // so that the fake's tests exercise what ships.
  //
  // The walk enters `name` below its `levels` levels (none: the PATH):
  // `enter` gets what a worker opened there, or null.
  template <typename enter_function>
  result<entering> enter(std::size_t levels, native_string_view name, enter_function enter) {
    if (levels == 0) return enter(nullptr);
    opened_directory* opened = take_opened(levels - 1, name);
    const result<entering> entered = enter(opened);
    give_back();
    return entered;
  }
  // The walk enters or leaves a directory.
  void end_directory() {
    end_facts();
    holds_adopted_ = false;
  }
  // Whether the walk takes over `opened`, which a worker opened at `name`
  // of `parent` (-1: none), as its level `level`: only while that directory
  // stands at `name`, is the one the parent's listing saw (`listed`, where
  // known), and has the change stamp taken before it was listed. One
  // moved, replaced or changed since lives on only through the worker's
  // handle; the walk then opens and lists what stands there, as alone.
  // Taken, its listing is the next one listed and the caller releases its
  // handle; else what was asked below it ends and it closes.
  bool adopt(std::size_t level, opened_directory* opened, directory_handle parent,
             const native_char* name, const file_identity* listed);
  // A listing starts: `listing` is emptied, or filled with the adopted
  // directory's (true), which the half then does not list.
  bool start_listing(directory_listing& listing);
  // The half listed `listing` of `place`: the entries whose kind it could
  // not tell are read now, and where at least `fewest` are left to read,
  // the queue reads them in the order the walk visits them.
  void read_listed(const directory_place& place, directory_listing& listing, std::size_t fewest);
  // The reading of `entry` of the current listing; false where the half
  // reads it itself.
  bool reading_of(const listed_entry& entry, entry_reading& reading);

  // The engine beneath, which the tests also drive directly.
  //
  // Asks for the subdirectories of `listing`, the listing of level `level`
  // open at `parent`, to be opened and read, in listing order.
  void open_subdirectories(std::size_t level, const directory_place& parent,
                           const directory_listing& listing);
  // The walk enters the subdirectory `name` of level `level`: what a
  // worker opened there, waited for while being read; null where none did.
  // The requests before it are dropped, and those the worker made below it
  // become level `level + 1`'s. The record is the walk's until give_back().
  opened_directory* take_opened(std::size_t level, native_string_view name);
  // The record goes back, closed where not taken, to reuse its buffers.
  void give_back();

  // Asks for the facts of the entries `order` of `listing` (unchanged until
  // end_facts()), ticket i being `order[i]`; false: the walk reads them.
  bool read_facts(const directory_place& place, const directory_listing& listing,
                  std::vector<std::uint32_t>& order);
  // The reading of ticket `ticket`, taken in increasing order.
  void take_facts(std::size_t ticket, entry_reading& reading);
  // No more facts of that listing; returns once no worker reads them.
  void end_facts();

  // The level `level` closes or parks: its requests are dropped, the
  // directories opened for it closed. True where a worker still reads in
  // it: the caller lets go of its handle, which the queue counts as its own
  // until it closes it through `close` (null: waits for them instead).
  bool end_level(std::size_t level, void (*close)(directory_handle));

  // By hand: carries out the next `most` requests as a worker would take
  // them, or (`only_claim`) claims them, to be finished when the walk
  // waits for them or by finish_claimed(), oldest first, whatever the walk
  // did meanwhile, as a worker finishes what it began. Return how many.
  std::size_t complete(std::size_t most, bool only_claim = false);
  std::size_t finish_claimed(std::size_t most);

  // None (the default) lets no request open a directory.
  descriptor_budget descriptors;

 private:
  struct pinned_place;
  struct request;
  struct level_requests;
  struct facts_job;

  request* next_to_claim();
  request* claim_in(level_requests& batch);
  void carry_out(request& r);
  void carry_out_and_finish(brief_lock& lock, request& r);
  void finish(brief_lock& lock, request& r);
  void drop(brief_lock& lock, request& r, bool taken = false);
  bool end_batch(brief_lock& lock, std::unique_ptr<level_requests>& slot,
                 void (*close)(directory_handle));
  void help_or_wait(brief_lock& lock, request& r);
  void wait_for(brief_lock& lock, request& r);
  std::unique_ptr<level_requests>& level_at(std::size_t level);
  void offer_work(brief_lock& lock);
  void run();

  const read_ahead_operations operations_;
  const std::size_t threads_;
  const bool by_hand_;
  std::size_t records_ = 0;  // request records alive, spare or in use
  mutable std::mutex mutex_;
  std::condition_variable work_;      // for idle workers
  std::condition_variable finished_;  // for the walk waiting on a request
  bool walk_waits_ = false;
  bool quit_ = false;
  std::size_t idle_ = 0;
  // On the heap: a place stays where requests pinned it as levels are
  // added, and a worker's batch becomes a level's as it is.
  std::vector<std::unique_ptr<level_requests>> levels_;
  std::vector<std::unique_ptr<request>> spare_;
  std::unique_ptr<request> taken_;  // the record take_opened gave the walk
  // Batches the walk let go of while requests read in them.
  std::vector<std::unique_ptr<level_requests>> lingering_;
  // By hand: the requests claimed and not yet finished, oldest first.
  std::vector<request*> claimed_by_hand_;
  // The facts being read: the listing's, in slices of a ring.
  std::unique_ptr<facts_job> facts_;
  thread_group pool_;
  bool started_ = false;
  // The walk's alone: the readings made with the current listing.
  std::vector<entry_reading> listed_;
  // The directory just entered as a worker read it, until it is listed.
  directory_listing adopted_;
  std::vector<entry_reading> adopted_readings_;
  std::unique_ptr<extent_maps> adopted_maps_, listed_maps_;  // what they point into
  bool holds_adopted_ = false;
};

}  // namespace platform

#endif  // TWINFIND_FS_READ_AHEAD_H_
