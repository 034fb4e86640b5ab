// Reading ahead of the walk: one queue of typed requests, kept in the order
// the walk will take them, served by a fixed pool of threads.
//
// A walk spends its time in two kinds of call: opening and listing a
// directory, and reading the facts of each of its entries. Both wait for
// the disk on a cold cache and both can share a second core on a warm one,
// so the walk asks for them ahead of itself:
//   - "open and list this subdirectory": by name, relative to an open
//     directory (a level of the walk, or one a worker opened ahead of it),
//     which the request pins. The worker hands back the directory it
//     opened, with its listing and the facts of its entries; the walk
//     adopts that directory as the level it enters (adopt_opened), so
//     what the walk reports is always the directory it holds open.
//   - "read the facts of these entries": a slice of the listing the walk
//     is visiting, read in the directory the walk holds open.
//   - "close this directory": one the walk is done with (close_later).
//
// The requests of one open directory are a FIFO in listing order, and a
// worker always takes, of those nobody claimed, the one the walk needs
// soonest: a slice of the facts it visits, then the subdirectories of the
// deepest level in listing order, each followed by what a worker opened
// below it, depth first, as the walk will go. The walk still takes
// everything in its own order: a request nobody claimed it does itself, as
// it would alone; at one being read it carries out the next unclaimed
// request meanwhile (so that one worker and the walk share the work on two
// cores), else waits; a failed one it meets itself and reports in its
// place. So every output is that of a walk alone, errors and their order
// included, whatever the threads do.
//
// What the queue holds is bounded by fixed counts: the descriptors it may
// take beside the walk's levels (descriptor_budget::most_ahead), each a
// directory of at most kMostEntriesKeptAhead entries with their facts, and
// one ring of slices of facts. Nothing in it changes while the walk runs.
//
// The engine is the same for every half of the file system that reads
// ahead: the half makes the queue of a walk, with the operations that carry
// out its requests and the threads it may use, and goes through it as the
// walk enters, lists, examines and leaves, so that what the walk takes of
// the workers' work is decided here for every half. The fake file system
// of the tests starts no thread and completes requests when the test says,
// so that every order of events is one the test chose.
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
#include <vector>

#include "fs/extent_maps_ahead.h"
#include "fs/filesystem.h"
#include "base/text.h"
#include "base/threads.h"

namespace platform {

// A directory as a half holds it open: a POSIX descriptor, a node of the
// fake file system. -1: none.
using directory_handle = std::intptr_t;

// A worker lists directories of at most this many entries for the walk,
// with the facts of each; a larger one it leaves to the walk, which lists
// it as it would alone, sharing their facts out in slices. Unmeasured as a
// speed: it bounds the memory of what the queue holds (64 directories of
// 1,024 entries, about 8 MB at the most), and directories larger than this
// are few (4 of the 5,176 of /usr/share, which the bench tree copies,
// though they hold a third of its entries).
constexpr std::size_t kMostEntriesKeptAhead = 1024;

// An open directory that requests read in, or below: its handle (pinned
// while a request uses it), its volume, and what the half knows of its
// file system.
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

// When a directory last changed, as the system stamps it (POSIX: st_mtim
// and st_ctim, seconds and nanoseconds each; the fake: a count of its
// changes): a listing taken ahead is the directory's only while the stamp
// is the same.
using change_stamp = std::array<std::int64_t, 4>;

// A subdirectory as a worker opened and read it, for the walk to adopt:
// the one record that holds its handle, which goes through its half's
// `close` when the record lets it go (close_handle(), or its end), unless
// the walk took it over (release()).
struct opened_directory {
  opened_directory() = default;
  ~opened_directory() { close_handle(); }
  opened_directory(const opened_directory&) = delete;
  opened_directory& operator=(const opened_directory&) = delete;

  // The walk's now: closing it is the walk's business.
  directory_handle release() {
    const directory_handle held = handle;
    handle = -1;
    return held;
  }
  void close_handle() {
    if (handle >= 0) close(handle);
    handle = -1;
  }
  // A record used before holds the last directory's listing: the half
  // that fills it starts it afresh, keeping its buffers.
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
  // Sorted as the walk lists; every entry's `listed_facts` is its reading
  // in `readings`, from 1.
  directory_listing listing;
  std::vector<entry_reading> readings;
  std::unique_ptr<extent_maps> maps;  // the maps `readings` point into
};

// The descriptors a walk may open beyond those the process held, counted
// once where the walk starts: the walk's open levels and the directories
// its queue holds (being opened, opened and not adopted, waiting to close)
// draw on this one count. The walk's levels come first: the queue takes one
// only while the walk keeps room for the levels it holds and
// `kept_for_levels` at least, and holds `most_ahead` at most. Written by
// the walk's thread and by the queue under its lock, read by both: atomic.
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
  // cannot, or it holds more than kMostEntriesKeptAhead entries (the walk
  // then does it itself and reports what it meets). Whatever `opened` held
  // before, it holds that directory alone after. `seen`, when not null, is
  // the reading of `name` that a worker made while it read `parent`: what
  // to open is decided from it, with no new reading.
  bool (*open)(const directory_place& parent, const native_string& name, const entry_facts* seen,
               opened_directory& opened);
  // Reads the entries `order[0..count)` of `listing` in the open directory
  // `place`, into `readings`; and, where `maps` is not null, the maps of the
  // files maps_ahead says, into it.
  void (*read_facts)(const directory_place& place, const directory_listing& listing,
                     const std::uint32_t* order, std::size_t count, entry_reading* readings,
                     extent_maps* maps);
  // Closes a directory the walk is done with.
  void (*close)(directory_handle handle);
  // On the walk's thread: the identity and change stamp of what stands at
  // `name` in the open directory `parent` now, never through a link;
  // false where nothing does.
  bool (*look)(directory_handle parent, const native_char* name, file_identity& identity,
               change_stamp& stamp);
};

// Whether a worker opens the entry of `parent` that `facts` describe: a
// directory the walk would enter, on the parent's volume, never a link or
// a mount point.
inline bool opens_ahead(const entry_facts& facts, const directory_place& parent) {
  return facts.is_directory && facts.kind == entry_kind::normal &&
         facts.identity.volume == parent.volume;
}

// What an entry's `listed_facts` holds while its listing is walked: 0,
// nothing read (the walk reads it when it visits it); kUnreadKind, a kind
// the listing could not tell (a link, a file system that tells no type),
// read as the walk takes the listing; else its ticket among the facts the
// queue reads, or its place among the readings kept (from 1), as the queue
// (read_ahead below) alone encodes and decodes them.
constexpr std::uint32_t kUnreadKind = 0xFFFFFFFFu;

// A worker read the entries of the directory it opened into
// `opened.readings`, the k-th that of entry `order[k]` (null: in listing
// order): each entry is given its reading, and one whose kind the listing
// could not tell goes where its reading says.
void keep_readings(opened_directory& opened, const std::uint32_t* order);

// The queue of a walk, and what the walk keeps of it: the readings of the
// listing it visits, and the directory it adopted until it lists it.
class read_ahead {
 public:
  // Requests carried out by `operations`, by `threads` workers, started at
  // the first request; none, unless `by_hand`, turns every request down
  // and the walk reads alone. `by_hand` (the fake's tests): no thread,
  // requests complete when complete() or a wait for them says.
  read_ahead(const read_ahead_operations& operations, std::size_t threads, bool by_hand = false);
  ~read_ahead();
  read_ahead(const read_ahead&) = delete;
  read_ahead& operator=(const read_ahead&) = delete;

  bool enabled() const { return threads_ != 0 || by_hand_; }

  // What the walk does as it enters, lists, examines and leaves, the same
  // for every half: how a worker's work becomes the walk's is decided here
  // alone, so the fake's tests exercise what ships.
  //
  // The walk enters `name` below its `levels` levels (none: the PATH):
  // `enter` (the half's entering) gets what a worker opened there, or null
  // where none did, and its record goes back to the queue after.
  template <typename enter_function>
  result<entering> enter(std::size_t levels, native_string_view name, enter_function enter) {
    if (levels == 0) return enter(nullptr);
    opened_directory* opened = take_opened(levels - 1, name);
    const result<entering> entered = enter(opened);
    give_back();
    return entered;
  }
  // The walk enters or leaves a directory: the facts of the last listing
  // are read no more, and no adopted listing waits.
  void end_directory();
  // Whether the walk takes over `opened`, the directory a worker opened at
  // `name` (NUL-terminated) of the open directory `parent` (-1: none), as
  // its level `level`. Only the directory that stands at `name` now, and
  // the one the parent's listing saw (`listed`, where known): a directory
  // deleted, moved away or replaced since the worker opened it lives on
  // only through the worker's handle, and its contents are no longer the
  // tree's; and only one whose change stamp is the one the worker took
  // before it listed it: an entry made or removed since is in the listing
  // the walk makes itself. Taken, its listing is the next one listed and
  // the caller takes its handle (release()); else the requests the worker
  // made below it end and it closes, and the walk opens what stands there
  // now, as it would alone, and reports what it finds.
  bool adopt(std::size_t level, opened_directory* opened, directory_handle parent,
             const native_char* name, const file_identity* listed);
  // A listing starts: the facts of the last one are read no more, and
  // `listing` is emptied, or filled with the adopted directory's (true),
  // which the half then does not list.
  bool start_listing(directory_listing& listing);
  // The half listed `listing` of the open directory `place`: the entries
  // whose kind the listing could not tell are read now, by the queue
  // beside the walk where it takes the listing, and the others, where at
  // least `fewest` are, are left to the queue in the order the walk visits
  // them (files, then directories, each in listing order).
  void read_listed(const directory_place& place, directory_listing& listing, std::size_t fewest);
  // The reading of `entry` of the current listing, where one was made or
  // asked for; false where the half reads it itself.
  bool reading_of(const listed_entry& entry, entry_reading& reading);

  // The engine beneath, which the tests also drive directly.
  //
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
  // all, it ends that level before it closes the handle. The record is the
  // walk's until give_back().
  opened_directory* take_opened(std::size_t level, native_string_view name);
  // The walk is done with what take_opened gave it, adopted (its handle
  // released) or refused: the record goes back, closed where not taken,
  // for the next request to reuse its buffers.
  void give_back();

  // Asks for the facts of the entries `order` of `listing`, the listing of
  // the open directory `place`, in that order; ticket i is `order[i]`.
  // `listing` stays as it is until end_facts(). False when the walk is to
  // read them all itself.
  bool read_facts(const directory_place& place, const directory_listing& listing,
                  std::vector<std::uint32_t>& order);
  // The reading of ticket `ticket`, taken in increasing order.
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

  // By hand (the fake's tests): carries out the next `most` requests as a
  // worker would take them; or (`only_claim`) claims them without carrying
  // them out, to be finished when the walk waits for them, or when
  // finish_claimed() says,
  // oldest first, as the worker that claimed one finishes it whatever the
  // walk did meanwhile (the end of the queue finishes the rest, as threads
  // finish before they are joined). Return how many.
  std::size_t complete(std::size_t most, bool only_claim = false);
  std::size_t finish_claimed(std::size_t most);

  // The walk's one budget of descriptors, for its levels and the queue's
  // requests; none (the default) allows no request to open a directory.
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
  void ask_for_children(request& r);
  void finish(brief_lock& lock, request& r);
  void drop(brief_lock& lock, request& r, bool taken = false);
  void drop_all(brief_lock& lock, level_requests& batch);
  void end_batch(brief_lock& lock, level_requests& batch);
  void help_or_wait(brief_lock& lock, request& r);
  void wait_for(brief_lock& lock, request& r);
  void close_waiting(brief_lock& lock);
  std::unique_ptr<request> fresh_request();
  void start_threads();
  void run();
  static void* run_thread(void* self);

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
  std::size_t holding_ = 0;  // descriptors requests hold, or are opening
  // Each level's requests on the heap: their place stays where requests
  // pinned it when levels are added, and a batch a worker made for the
  // directory it opened becomes a level's as it is, when the walk adopts
  // that directory.
  std::vector<std::unique_ptr<level_requests>> levels_;
  std::vector<std::unique_ptr<request>> spare_;
  std::unique_ptr<request> taken_;  // the record take_opened gave the walk
  // By hand: the requests claimed and not yet finished, oldest first.
  std::vector<request*> claimed_by_hand_;
  // The facts being read: the listing's, in slices of a ring.
  std::unique_ptr<facts_job> facts_;
  // Directories the walk is done with, for a worker to close; room for
  // all of them reserved when the threads start.
  std::vector<directory_handle> to_close_;
  thread_group pool_;
  bool started_ = false;
  // The walk's alone. The readings of the current listing's entries that
  // were made while listing it, here or by a worker (listed_facts).
  std::vector<entry_reading> listed_;
  // The directory just entered as a worker read it, until it is listed.
  directory_listing adopted_;
  std::vector<entry_reading> adopted_readings_;
  std::unique_ptr<extent_maps> adopted_maps_, listed_maps_;  // what they point into
  bool holds_adopted_ = false;
};

}  // namespace platform

#endif  // TWINFIND_FS_READ_AHEAD_H_
