// The read-ahead queue: one lock over every request, the walk and the
// workers claiming from the same lists, and each request's end (adopted,
// dropped, waited for, closed) decided in one place.
#include "fs/read_ahead.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <chrono>
#include <new>

namespace platform {
namespace {

// A slice of facts: enough entries that a claim costs little beside the
// reads, few enough that the walk seldom waits behind one.
constexpr std::size_t kSlice = 32;
// Slices ahead of the walk at most: the readings kept for it.
constexpr std::size_t kRing = 32;
// Subdirectories of one level opened ahead of the walk at most.
constexpr std::size_t kAheadAtALevel = 16;
// What a spare record keeps of the buffers of the directory it held, for
// the next: enough for most directories; a larger one's memory goes back,
// so that what the queue keeps stays small beside the walk's own.
constexpr std::size_t kMostEntriesKeptSpare = 64;
// The walk's arrivals at claimed requests weighed at a time: when half of
// them were still being read after its look, one more thread may start.
// Directories the walk is done with that wait for a worker to close them,
// at most, and how many before an idle worker is woken for them.
constexpr std::size_t kMostWaitingToClose = 32;
constexpr std::size_t kWaitingToCloseBeforeWaking = 8;
constexpr std::size_t kArrivalsWeighed = 16;
// Weighings in a row in which every worker the walk met had run on
// another core than the walk's, before the queue reads below what it
// opened on a warm tree ...
constexpr std::size_t kWeighingsBesideTheWalk = 8;
// ... and how many weighings one that met a worker on the walk's own core
// (another program holds the other cores) keeps it from doing so.
constexpr std::size_t kWeighingsAfterSharingACore = 64;
// By hand, the cores the test's workers stand on: a worker that runs is
// beside the walk, one the test stalled on the walk's core.
constexpr int kWalksCoreByHand = 0;
constexpr int kOtherCoreByHand = 1;
// A worker's requests weighed at a time for whether they read from the
// disk, and for how many weighings after one that did the queue takes its
// reading to meet the disk.
constexpr std::size_t kRequestsWeighedForTheDisk = 16;
constexpr std::size_t kWeighingsOnTheDisk = 4;
// How long the walk looks again at a request being read before it sleeps.
constexpr std::chrono::microseconds kSpinBeforeSleeping(50);

enum class status : std::uint8_t { queued, claimed, done, dropped };

// What a request is, fixed when its record is made.
enum class request_kind : std::uint8_t { open_and_list, read_facts_slice };

// How the last carrying out of a request ended.
enum class outcome : std::uint8_t { none, read, failed, ran_short };

std::uint64_t blocks_read(const read_ahead_operations& operations) {
  return operations.blocks_read ? operations.blocks_read() : 0;
}

constexpr std::size_t kByTheHalf = static_cast<std::size_t>(-1);
constexpr std::size_t kNoSlice = static_cast<std::size_t>(-1);
std::atomic<std::size_t> threads_set{kByTheHalf};

// The queue that frees its memory when an allocation fails.
std::atomic<read_ahead*> queue_to_free{nullptr};
// Set on a worker's thread, and where a thread allocates holding the
// queue's lock: an allocation failing there fails (the request is dropped
// and the walk does its work) instead of waiting for the lock it holds.
thread_local bool frees_nothing_here = false;

struct freeing_nothing_here {
  const bool before = frees_nothing_here;
  freeing_nothing_here() { frees_nothing_here = true; }
  ~freeing_nothing_here() { frees_nothing_here = before; }
};

// Lets go of the buffers of a large directory.
void trim(opened_directory& spent) {
  if (spent.listing.entries.capacity() > kMostEntriesKeptSpare) {
    directory_listing().names.swap(spent.listing.names);
    std::vector<listed_entry>().swap(spent.listing.entries);
    std::vector<entry_reading>().swap(spent.readings);
  }
  spent.listing.clear();
  spent.readings.clear();
}

}  // namespace

namespace {

// Makes `levels` hold `count` batches at least; throws std::bad_alloc.
template <typename batch>
void add_levels(std::vector<std::unique_ptr<batch>>& levels, std::size_t count) {
  levels.reserve(count);
  while (levels.size() < count) levels.emplace_back(new batch);
}

}  // namespace

std::size_t threads_for_a_walk(std::size_t by_the_half) {
  const std::size_t set = threads_set.load();
  return set == kByTheHalf ? by_the_half : set;
}

void set_read_ahead_threads(std::size_t threads) { threads_set.store(threads); }

// An open directory of the walk that requests read in, and how many
// requests read in it now. Its place changes, and the directory closes,
// only once none does.
struct read_ahead::pinned_place {
  directory_place place;
  std::size_t pins = 0;

  // Under the lock: a new directory here, or none.
  void reset(const directory_place& to = directory_place()) {
    assert(pins == 0 && "a directory changed under a request reading in it");
    place = to;
  }
};

// A request's hold on the directory it reads in, from its claim to its end,
// both under the lock; counted in the place, so that a place that goes
// while held is caught (in builds with assertions).
class read_ahead::place_pin {
 public:
  place_pin() = default;
  ~place_pin() { assert(!held_ && "a request ended holding its directory"); }
  place_pin(const place_pin&) = delete;
  place_pin& operator=(const place_pin&) = delete;

  void take(pinned_place& place) {
    assert(!held_);
    held_ = &place;
    ++place.pins;
  }
  void let_go() {
    if (!held_) return;
    assert(held_->pins > 0);
    --held_->pins;
    held_ = nullptr;
  }
  // Outside the lock too: a pinned place does not change.
  const directory_place& place() const {
    assert(held_);
    return held_->place;
  }

 private:
  pinned_place* held_ = nullptr;
};

// One request: its kind, where it stands, the directory it reads in, and
// what it reads and hands back, of its kind only.
struct read_ahead::request {
  explicit request(request_kind made_as) : kind(made_as) {}

  const request_kind kind;
  status state = status::queued;
  outcome read = outcome::none;
  bool abandoned = false;  // the walk let go of it while it was read
  std::uint64_t serial = 0;  // one more at each claim: a wait knows its own
  // The serial of the last claim that ended, for a wait to look at
  // without the lock.
  std::atomic<std::uint64_t> ended{0};
  // The core its worker stood on when it began, -1 when no thread of the
  // pool carries it out: where the walk stands on it, the worker waits.
  std::atomic<int> core{-1};
  // The core its last worker began on, kept once it is done, for the walk
  // that arrives at it to tell whether that worker ran beside it.
  int began_on = -1;
  place_pin parent;
  // open_and_list: a subdirectory, by its place in the list of the
  // directory it is asked in, the directory the worker opened there, and
  // the requests for the subdirectories of that one, pinned to it: they go
  // with it to the walk that adopts it, or end before it closes.
  struct open_and_list {
    level_requests* batch = nullptr;
    std::size_t index = 0;
    native_string name;
    bool seen = false;  // `facts` read with the directory it is asked in
    entry_facts facts;
    std::unique_ptr<opened_directory> opened;
    std::unique_ptr<level_requests> children;
    std::atomic<std::uint32_t> entries_read{0};  // as the worker goes
  } open;
  // read_facts_slice: slice `slice` of the facts being read, what it
  // reads (set at its claim: a worker reads from these, never from the
  // job, which the walk may have moved on from), and its readings.
  struct facts_slice {
    std::size_t slice = 0;
    const directory_listing* listing = nullptr;
    const std::uint32_t* order = nullptr;
    std::size_t count = 0;
    std::unique_ptr<entry_reading[]> readings;  // kSlice of them
  } facts;

  bool opens() const { return kind == request_kind::open_and_list; }
};

// The subdirectories of one open directory, in listing order: every name,
// and a request only for those a worker claimed, so that a directory of
// many subdirectories costs a few bytes each. The directory is a level of
// the walk, or one a worker opened ahead of it (whose requests become
// those of the level the walk enters when it adopts that directory).
struct read_ahead::level_requests {
  struct item {
    item(std::uint32_t offset, std::uint16_t length) : name_offset(offset), name_length(length) {}
    std::uint32_t name_offset;
    std::uint16_t name_length;
    status state = status::queued;
    // Read by the worker that listed the directory, where one did.
    bool seen = false;
    entry_facts facts;
  };
  pinned_place parent;
  native_string names;
  std::vector<item> items;
  std::vector<request*> active;  // claimed or done, owned by `owned`
  std::vector<std::unique_ptr<request>> owned;
  std::size_t walk_at = 0;     // the first item the walk has not passed
  // Made by a worker for the directory it opened, handed to the walk that
  // adopted it and not yet taken on by the walk's listing of it.
  bool inherited = false;

  request* find(std::size_t index) const {
    for (request* r : active)
      if (r->open.index == index) return r;
    return nullptr;
  }
};

struct read_ahead::facts_job {
  pinned_place place;
  const directory_listing* listing = nullptr;
  std::vector<std::uint32_t> order;
  std::unique_ptr<request> ring[kRing];  // slice s at ring[s % kRing]
  std::size_t slices = 0;
  std::size_t walk_slice = 0;  // the slice the walk takes from
  bool walk_has_slice = false;  // ... and it is done
  std::size_t issued = 0;      // slices in the ring: walk_slice..issued
  // A slice whose worker the walk found not running: the walk reads its
  // entries itself until the worker is done.
  std::size_t late_slice = kNoSlice;

  request& slice(std::size_t s) { return *ring[s % kRing]; }
  // Under the lock: slice `s` is taken, by a worker or by the walk.
  void claim(request& r) {
    const std::size_t first = r.facts.slice * kSlice;
    r.state = status::claimed;
    ++r.serial;
    r.parent.take(place);
    r.facts.listing = listing;
    r.facts.order = order.data() + first;
    r.facts.count = std::min(kSlice, order.size() - first);
  }
  void issue(std::size_t s) {
    request& r = slice(s);
    r.state = status::queued;
    r.facts.slice = s;
    r.abandoned = false;
  }
};

read_ahead::read_ahead(const read_ahead_operations& operations, std::size_t threads,
                       bool by_hand)
    : operations_(operations), threads_wanted_(threads), by_hand_(by_hand) {
  // Threads a test set read below what they open from the start, so that
  // every walk the tests compare with a walk alone reads as deep as it can.
  reading_deeper_ = threads_set.load() != kByTheHalf;
  if (!enabled()) return;
  if (by_hand_) weighing_by_hand_.blocks_at = blocks_read(operations_);
  queue_to_free.store(this);
  // With no queue to free, the handler fails the allocation as the
  // standard library would without one.
  std::set_new_handler(on_allocation_failure);
}

read_ahead::~read_ahead() {
  end_facts();
  for (std::size_t level = levels_.size(); level > 0; --level) end_level(level - 1);
  // By hand, the workers finish what they claimed, as threads do before
  // they are joined; nothing is left when every wait above waited.
  finish_claimed(static_cast<std::size_t>(-1));
  {
    brief_lock lock(mutex_);
    quit_ = true;
  }
  work_.notify_all();
  threads_.join();
  for (const directory_handle handle : to_close_) operations_.close(handle);
  read_ahead* self = this;
  queue_to_free.compare_exchange_strong(self, nullptr);
}

// The process's new-handler while a queue lives: where the queue held
// anything, the failed allocation is tried again in the room it left.
void read_ahead::on_allocation_failure() {
  if (!frees_nothing_here) {
    read_ahead* queue = queue_to_free.load();
    if (queue && queue->give_up_memory()) return;
  }
  throw std::bad_alloc();
}

bool read_ahead::give_up_memory() {
  brief_lock lock(mutex_);
  memory_short_ = true;
  bool freed = false;
  for (std::unique_ptr<level_requests>& batch : levels_) {
    // Those being read too, and those opened below them: the worker is
    // waited for, as it reads no more than the walk would read alone.
    freed = drop_all(lock, *batch) || freed;
  }
  freed = freed || !spare_.empty();
  records_ -= spare_.size();
  spare_.clear();
  return freed;
}

void read_ahead::share_descriptors(descriptor_budget* budget) {
  brief_lock lock(mutex_);
  budget_ = budget;
}

// Under the lock: every request of `batch`, and all below them, waited for
// where being read and dropped. True when it dropped any.
bool read_ahead::drop_all(brief_lock& lock, level_requests& batch) {
  bool dropped = false;
  for (level_requests::item& item : batch.items)
    if (item.state == status::queued) item.state = status::dropped;
  while (!batch.active.empty()) {
    request& r = *batch.active.back();
    // One the walk abandoned drops itself when done, and may then be
    // claimed anew elsewhere; any other is dropped here.
    wait_for(lock, r);
    if (!batch.active.empty() && batch.active.back() == &r && r.state == status::done) {
      drop(lock, r);
      dropped = true;
    }
  }
  return dropped;
}

// Under the lock: `batch` asks for nothing any more, and no request reads
// in its directory, which may then close.
void read_ahead::end_batch(brief_lock& lock, level_requests& batch) {
  drop_all(lock, batch);
  batch.items.clear();
  batch.names.clear();
  batch.walk_at = 0;
  batch.inherited = false;
  batch.parent.reset();  // no request reads in it any more
}

std::unique_ptr<read_ahead::request> read_ahead::fresh_request() {
  if (spare_.empty()) {
    std::unique_ptr<request> made(new request(request_kind::open_and_list));
    // Room for every record among the spares, so that dropping a request
    // never allocates.
    spare_.reserve(records_ + 1);
    ++records_;
    return made;
  }
  std::unique_ptr<request> r = std::move(spare_.back());
  spare_.pop_back();
  return r;
}

void read_ahead::start_threads() {
  started_ = true;
  try {
    to_close_.reserve(kMostWaitingToClose);
  } catch (const std::bad_alloc&) {
    // The walk closes its directories itself.
  }
  for (std::size_t i = 0; i < threads_wanted_; ++i) {
    // Without room for a thread the walk reads alone, or with fewer.
    if (!threads_.start(run_thread, this)) break;
  }
  threads_now_ = threads_.size();
}

void read_ahead::allow_threads_while_waiting(std::size_t most) {
  brief_lock lock(mutex_);
  threads_while_waiting_ = most;
}

void read_ahead::read_deeper_at_once() {
  brief_lock lock(mutex_);
  reading_deeper_ = true;
}

bool read_ahead::reading_deeper() const {
  brief_lock lock(mutex_);
  return reading_deeper_ || beside_the_walk_;
}

std::size_t read_ahead::threads_wanted_now() const {
  brief_lock lock(mutex_);
  return by_hand_ ? threads_now_ : threads_.size();
}

// Under the lock, on the walk's thread: the walk reached a request a
// worker claimed, done or finished within its look, or still being read
// after it (on another core: a worker on the walk's own core only waits for
// the walk). What it observes decides the threads, never a guess about the
// cache: a cold tree keeps it arriving early, a warm one does not. The
// same decides the reading below what the queue opened. Only where the
// workers' reading meets the disk: a worker whose core another program
// took is still reading too, and more threads there would only take more
// turns with that program.
void read_ahead::arrived(bool still_being_read, bool on_the_walks_core) {
  ++arrivals_;
  if (still_being_read) ++arrivals_waited_;
  if (on_the_walks_core) ++arrivals_on_the_walks_core_;
  if (arrivals_ < kArrivalsWeighed) return;
  const bool behind = meets_the_disk() && arrivals_waited_ * 2 >= arrivals_;
  weigh_cores(arrivals_on_the_walks_core_ != 0);
  arrivals_ = arrivals_waited_ = arrivals_on_the_walks_core_ = 0;
  if (!behind) return;
  reading_deeper_ = true;
  if (threads_while_waiting_ <= std::max(threads_wanted_, threads_now_)) return;
  if (by_hand_) {
    ++threads_now_;
    return;
  }
  if (!started_) return;
  // A thread the system will not start leaves the count as it is.
  if (threads_.start(run_thread, this)) threads_now_ = threads_.size();
}

// Under the lock, on the walk's thread, once per weighing of arrivals. A
// warm tree keeps a worker beside the walk busy only where it also reads
// below what it opened, and every worker the walk meets running on another
// core says that the queue has a core of its own; one met on the walk's
// core says that the walk and its workers take turns on one (another
// program holds the others), where what a worker reads below is read in
// place of the walk's own work and lost where the walk passes it.
void read_ahead::weigh_cores(bool met_on_the_walks_core) {
  if (met_on_the_walks_core) {
    weighings_beside_ = 0;
    weighings_shared_left_ = kWeighingsAfterSharingACore;
  } else {
    ++weighings_beside_;
    if (weighings_shared_left_ != 0) --weighings_shared_left_;
  }
  beside_the_walk_ = weighings_shared_left_ == 0 && weighings_beside_ >= kWeighingsBesideTheWalk;
}

void read_ahead::open_subdirectories(std::size_t level, const directory_place& parent,
                                     const directory_listing& listing) {
  if (!enabled() || parent.handle < 0) return;
  {
    // A directory the walk adopted comes with the requests the worker made
    // for its subdirectories, from the very listing the walk took over:
    // they are this level's, some of them perhaps read already.
    brief_lock lock(mutex_);
    if (level < levels_.size() && levels_[level]->inherited &&
        levels_[level]->parent.place.handle == parent.handle) {
      levels_[level]->inherited = false;
      return;
    }
  }
  end_level(level);  // what was asked at this depth before is over
  brief_lock lock(mutex_);
  if (!budget_ || budget_->most_ahead == 0 || memory_short_) return;
  const freeing_nothing_here under_the_lock;
  try {
    add_levels(levels_, level + 1);
    level_requests& batch = *levels_[level];
    batch.parent.reset(parent);
    for (const listed_entry& entry : listing.entries) {
      if (!entry.is_directory || entry.is_reparse) continue;
      batch.items.emplace_back(static_cast<std::uint32_t>(batch.names.size()), entry.name_length);
      batch.names += listing.name(entry);
    }
    if (batch.items.empty()) return;
    if (!started_ && !by_hand_) start_threads();
  } catch (const std::bad_alloc&) {
    // Reading ahead is only a help: the walk reads what was not asked for.
    if (level < levels_.size()) {
      levels_[level]->items.clear();
      levels_[level]->names.clear();
    }
    return;
  }
  const bool wake = idle_ != 0;
  lock.unlock();
  if (wake) work_.notify_all();
}

// The next request to carry out, claimed, under the lock: a slice of the
// facts the walk visits now, else the subdirectory it enters soonest (the
// deepest level's first), while descriptors are free.
read_ahead::request* read_ahead::next_to_claim() {
  if (facts_ && facts_->listing) {
    facts_job& job = *facts_;
    for (std::size_t s = job.walk_slice; s < job.issued; ++s) {
      request& r = job.slice(s);
      if (r.state != status::queued) continue;
      job.claim(r);
      return &r;
    }
  }
  if (!budget_ || !budget_->ahead_may_take_one() || memory_short_) return nullptr;
  const freeing_nothing_here under_the_lock;
  for (std::size_t level = levels_.size(); level > 0; --level)
    if (request* r = claim_in(*levels_[level - 1])) return r;
  return nullptr;
}

// Under the lock: the next subdirectory of `batch` to open ahead, claimed,
// else one below those opened there already, nearest first: how far ahead
// the queue reads is bounded by the descriptors and memory it may hold, not
// by the levels the walk is in.
read_ahead::request* read_ahead::claim_in(level_requests& batch) {
  // Only a few ahead of the walk at each level, so that the levels it has
  // still to come back to cannot take every descriptor from the one it is
  // in. Where the reading meets the disk, the nearest of them first: the
  // walk waits for the disk whoever reads, and least for the directory it
  // needs next; else the farthest first, so that the walk, taking the
  // nearest itself where no worker came first, seldom arrives at one being
  // read.
  const std::size_t window_end = std::min(batch.items.size(), batch.walk_at + kAheadAtALevel);
  // One past the item to claim; walk_at where the window has none.
  std::size_t i;
  if (meets_the_disk()) {
    std::size_t nearest = batch.walk_at;
    while (nearest < window_end && batch.items[nearest].state != status::queued) ++nearest;
    i = nearest == window_end ? batch.walk_at : nearest + 1;
  } else {
    i = window_end;
    while (i > batch.walk_at && batch.items[i - 1].state != status::queued) --i;
  }
  if (i == batch.walk_at) {
    if (!reading_deeper_ && !beside_the_walk_) return nullptr;
    for (std::size_t k = batch.walk_at; k < window_end; ++k) {
      if (batch.items[k].state != status::done) continue;
      request* opened = batch.find(k);
      if (!opened || opened->read != outcome::read || opened->abandoned) continue;
      if (request* r = claim_in(*opened->open.children)) return r;
    }
    return nullptr;
  }
  --i;
  std::unique_ptr<request> claimed;
  try {
    claimed = fresh_request();
    batch.active.reserve(batch.active.size() + 1);
    batch.owned.reserve(batch.owned.size() + 1);
    if (!claimed->open.opened) claimed->open.opened.reset(new opened_directory);
    if (!claimed->open.children) claimed->open.children.reset(new level_requests);
    const level_requests::item& item = batch.items[i];
    claimed->open.name.assign(batch.names, item.name_offset, item.name_length);
    claimed->open.seen = item.seen;
    claimed->open.facts = item.facts;
  } catch (const std::bad_alloc&) {
    if (claimed) spare_.push_back(std::move(claimed));  // reserved
    return nullptr;
  }
  request& r = *claimed;
  r.state = status::claimed;
  ++r.serial;
  r.read = outcome::none;
  r.abandoned = false;
  r.open.batch = &batch;
  r.open.index = i;
  r.parent.take(batch.parent);
  batch.items[i].state = status::claimed;
  batch.active.push_back(&r);
  batch.owned.push_back(std::move(claimed));
  budget_->ahead.store(++holding_, std::memory_order_relaxed);
  return &r;
}

// Outside the lock. Never throws: a request that ran out of memory failed,
// and the walk does its work itself.
void read_ahead::carry_out(request& r) {
  r.read = outcome::failed;
  try {
    switch (r.kind) {
      case request_kind::open_and_list: {
        opened_directory& opened = *r.open.opened;
        opened.handle.reset();  // the operation fills the rest afresh
        r.open.entries_read.store(0, std::memory_order_relaxed);
        opened.entries_read = &r.open.entries_read;
        const bool read = operations_.open(r.parent.place(), r.open.name,
                                           r.open.seen ? &r.open.facts : nullptr, opened);
        opened.entries_read = nullptr;
        if (!read) return;
        r.read = outcome::read;
        ask_for_children(r);
        return;
      }
      case request_kind::read_facts_slice:
        operations_.read_facts(r.parent.place(), *r.facts.listing, r.facts.order, r.facts.count,
                               r.facts.readings.get());
        r.read = outcome::read;
        return;
    }
  } catch (const std::bad_alloc&) {
    r.read = outcome::ran_short;
    // What it had read goes at once, not when the walk gets to it.
    if (r.opens()) *r.open.opened = opened_directory();
  }
}

// Under the lock, on a worker (by hand, the test's): carries out a claimed
// request outside the lock, then finishes it; and once every so many
// requests of that worker, weighs whether they read from the disk.
void read_ahead::carry_out_and_finish(brief_lock& lock, request& r, disk_weighing& weighing) {
  lock.unlock();
  carry_out(r);
  int from_disk = -1;  // not weighed this time
  if (++weighing.requests == kRequestsWeighedForTheDisk) {
    const std::uint64_t blocks = blocks_read(operations_);
    from_disk = blocks != weighing.blocks_at;
    weighing.blocks_at = blocks;
    weighing.requests = 0;
  }
  lock.lock();
  if (from_disk == 1) {
    weighings_on_the_disk_left_ = kWeighingsOnTheDisk;
  } else if (from_disk == 0 && weighings_on_the_disk_left_ != 0) {
    --weighings_on_the_disk_left_;
  }
  finish(lock, r);
}

// Outside the lock, on the worker that opened the directory: the requests
// for its subdirectories, in its listing's order, the very list the walk
// makes of them when it adopts the listing. None for a listing kept only in
// part, which the walk finishes itself, nor where memory runs short (the
// walk asks for them itself then).
void read_ahead::ask_for_children(request& r) {
  level_requests& children = *r.open.children;
  const opened_directory& opened = *r.open.opened;
  children.items.clear();
  children.names.clear();
  children.walk_at = 0;
  children.inherited = false;
  if (opened.incomplete || !opened.handle.valid()) return;
  try {
    for (const listed_entry& entry : opened.listing.entries) {
      if (!entry.is_directory || entry.is_reparse) continue;
      level_requests::item item(static_cast<std::uint32_t>(children.names.size()),
                                entry.name_length);
      // Its reading, made with the listing: the worker that opens it
      // decides from that whether to, without reading it again.
      if (entry.listed_facts != 0 && entry.listed_facts <= opened.readings.size()) {
        const entry_reading& reading = opened.readings[entry.listed_facts - 1];
        item.seen = reading.examined.outcome == examination::examined;
        item.facts = reading.facts;
      }
      children.items.push_back(item);
      children.names += opened.listing.name(entry);
    }
  } catch (const std::bad_alloc&) {
    children.items.clear();
    children.names.clear();
    return;
  }
  // Nothing reads in it yet: no request of the batch is visible before this
  // one is done.
  directory_place place = r.parent.place();
  place.handle = opened.handle.get();
  place.volume = opened.identity.volume;
  children.parent.reset(place);
}

// Under the lock: a request is done.
void read_ahead::finish(brief_lock& lock, request& r) {
  r.state = status::done;
  r.ended.store(r.serial, std::memory_order_release);
  if (by_hand_) {
    claimed_by_hand_.erase(std::remove(claimed_by_hand_.begin(), claimed_by_hand_.end(), &r),
                           claimed_by_hand_.end());
    stalled_by_hand_.erase(std::remove(stalled_by_hand_.begin(), stalled_by_hand_.end(), &r),
                           stalled_by_hand_.end());
  }
  r.core.store(-1, std::memory_order_relaxed);
  // Done with the directory it read in: the walk may close it.
  r.parent.let_go();
  if (r.opens()) {
    // Short of memory once, the queue opens no more directories ahead.
    if (r.read == outcome::ran_short) memory_short_ = true;
    level_requests& batch = *r.open.batch;
    batch.items[r.open.index].state = status::done;
    if (r.abandoned) {
      drop(lock, r);  // else the walk takes or drops it
    } else if (idle_ != 0 && !r.open.children->items.empty()) {
      work_.notify_all();  // its subdirectories may be opened now
    }
  }
  if (walk_waits_) finished_.notify_all();
}

// Under the lock: the walk no longer wants a claimed or done open request.
// The requests made below it end first (waited for where being read), as
// they read in the directory it closes.
void read_ahead::drop(brief_lock& lock, request& r) {
  level_requests& batch = *r.open.batch;
  if (r.state == status::claimed) {
    r.abandoned = true;  // whoever finishes it drops it
    return;
  }
  if (r.open.children) end_batch(lock, *r.open.children);
  if (r.open.opened) r.open.opened->handle.reset();
  r.read = outcome::none;
  batch.items[r.open.index].state = status::dropped;
  const bool was_full = !budget_->ahead_may_take_one();
  budget_->ahead.store(--holding_, std::memory_order_relaxed);
  for (std::size_t i = 0; i < batch.active.size(); ++i) {
    if (batch.active[i] != &r) continue;
    batch.active.erase(batch.active.begin() + static_cast<std::ptrdiff_t>(i));
    for (std::size_t k = 0; k < batch.owned.size(); ++k) {
      if (batch.owned[k].get() != &r) continue;
      if (r.open.opened) trim(*r.open.opened);
      spare_.push_back(std::move(batch.owned[k]));
      batch.owned.erase(batch.owned.begin() + static_cast<std::ptrdiff_t>(k));
      break;
    }
    break;
  }
  // A descriptor is free: wake a worker that waited for one.
  if (idle_ != 0 && was_full) work_.notify_all();
}

bool read_ahead::stalled(const request& r) const {
  return std::find(stalled_by_hand_.begin(), stalled_by_hand_.end(), &r) != stalled_by_hand_.end();
}

// By hand, under the lock: the test's worker carries out what it claimed.
void read_ahead::finish_by_hand(brief_lock& lock, request& r) {
  carry_out_and_finish(lock, r, weighing_by_hand_);
}

bool read_ahead::look_a_while(brief_lock& lock, request& r, bool* at_first) {
  if (at_first) *at_first = true;
  if (r.state != status::claimed) return true;
  if (by_hand_) {
    // A worker the test stalled does not run now; any other finishes now.
    if (stalled(r)) return false;
    finish_by_hand(lock, r);
    return true;
  }
  // A worker that stands on the walk's own core is not running: looking
  // would only keep it from running.
  const int worker_core = r.core.load(std::memory_order_relaxed);
  if (worker_core >= 0 && worker_core == current_core()) return false;
  // A warm read ends within microseconds: look again a while, without the
  // lock, as a sleep and a wake-up cost more than that. The request may
  // end and be claimed anew meanwhile: the serial tells. A worker still
  // reading the entries of a large directory is looked at for as long as
  // it reads on: waiting for the rest costs the walk less than reading the
  // whole again, while a worker whose core another program took reads
  // nothing for a while.
  const std::uint64_t serial = r.serial;
  const std::atomic<std::uint32_t>* entries = r.opens() ? &r.open.entries_read : nullptr;
  std::uint32_t seen = entries ? entries->load(std::memory_order_relaxed) : 0;
  lock.unlock();
  auto until = std::chrono::steady_clock::now() + kSpinBeforeSleeping;
  for (unsigned looks = 1; r.ended.load(std::memory_order_acquire) != serial; ++looks) {
    if (looks % 64 != 0) continue;
    const auto now = std::chrono::steady_clock::now();
    if (now < until) continue;
    if (at_first) *at_first = false;
    const std::uint32_t read = entries ? entries->load(std::memory_order_relaxed) : seen;
    if (read == seen) break;
    seen = read;
    until = now + kSpinBeforeSleeping;
  }
  lock.lock();
  return r.state != status::claimed || r.serial != serial;
}

void read_ahead::wait_for(brief_lock& lock, request& r) {
  const std::uint64_t serial = r.serial;
  if (look_a_while(lock, r)) return;
  if (by_hand_) {
    // A stalled worker runs at last: the walk cannot go on without it.
    finish_by_hand(lock, r);
    return;
  }
  const auto over = [&] { return r.state != status::claimed || r.serial != serial; };
  walk_waits_ = true;
  finished_.wait(lock, over);
  walk_waits_ = false;
}

std::unique_ptr<opened_directory> read_ahead::take_opened(std::size_t level,
                                                          native_string_view name) {
  if (!enabled()) return nullptr;  // a walk alone: nothing to take, no lock to take
  brief_lock lock(mutex_);
  if (level >= levels_.size()) return nullptr;
  level_requests& batch = *levels_[level];
  std::size_t found = batch.walk_at;
  while (found < batch.items.size() &&
         native_string_view(batch.names).substr(batch.items[found].name_offset,
                                                batch.items[found].name_length) != name)
    ++found;
  if (found == batch.items.size()) return nullptr;  // not asked for
  // What the walk passes without entering is of no more use.
  for (std::size_t i = batch.walk_at; i < found; ++i) {
    if (request* r = batch.find(i)) drop(lock, *r);
    if (batch.items[i].state == status::queued) batch.items[i].state = status::dropped;
  }
  batch.walk_at = found + 1;
  // The window of this level moved on: one more may be opened ahead.
  if (idle_ != 0 && batch.walk_at + kAheadAtALevel <= batch.items.size()) work_.notify_one();
  request* r = batch.find(found);
  if (!r) {
    // Nobody claimed it: the walk opens it itself, as it would alone.
    batch.items[found].state = status::dropped;
    return nullptr;
  }
  // A worker still at it after a while (its core taken by another program)
  // is left to it: the walk opens the directory itself rather than sleep.
  const int worker_core = r->core.load(std::memory_order_relaxed);
  const int walk_core = by_hand_ ? kWalksCoreByHand : current_core();
  walk_core_.store(walk_core, std::memory_order_relaxed);
  const bool on_the_walks_core = r->began_on >= 0 && r->began_on == walk_core;
  bool at_first = true;
  if (!look_a_while(lock, *r, &at_first)) {
    arrived(worker_core < 0 || worker_core != walk_core, on_the_walks_core);
    drop(lock, *r);
    return nullptr;
  }
  arrived(!at_first, on_the_walks_core);
  if (r->read != outcome::read) {
    drop(lock, *r);  // the walk meets the failure itself, and reports it
    return nullptr;
  }
  // The requests made for its subdirectories are those of the level the
  // walk enters, still pinned to the directory, whose descriptor the walk
  // holds from now on; the half ends that level before it closes the
  // directory where it does not adopt it after all.
  const freeing_nothing_here under_the_lock;
  try {
    add_levels(levels_, level + 2);
  } catch (const std::bad_alloc&) {
    drop(lock, *r);  // the walk opens it itself
    return nullptr;
  }
  level_requests& below = *levels_[level + 1];
  end_batch(lock, below);
  if (!r->open.children->items.empty()) {
    levels_[level + 1].swap(r->open.children);
    levels_[level + 1]->inherited = true;
  }
  std::unique_ptr<opened_directory> adopted = std::move(r->open.opened);
  drop(lock, *r);
  return adopted;
}

void read_ahead::give_back(std::unique_ptr<opened_directory> spent) {
  if (!spent) return;
  spent->handle.reset();  // released where the walk took it, closed where not
  trim(*spent);
  brief_lock lock(mutex_);
  for (std::unique_ptr<request>& r : spare_) {
    if (r->open.opened) continue;
    r->open.opened = std::move(spent);
    return;
  }
}

void read_ahead::end_level(std::size_t level) {
  if (!enabled()) return;
  brief_lock lock(mutex_);
  if (level >= levels_.size()) return;
  end_batch(lock, *levels_[level]);
}

bool read_ahead::read_facts(const directory_place& place, const directory_listing& listing,
                            std::vector<std::uint32_t>& order) {
  end_facts();
  if (!enabled() || order.empty()) return false;
  brief_lock lock(mutex_);
  const freeing_nothing_here under_the_lock;
  try {
    if (!facts_) facts_.reset(new facts_job);
    for (std::unique_ptr<request>& r : facts_->ring) {
      if (!r) r.reset(new request(request_kind::read_facts_slice));
      if (!r->facts.readings) r->facts.readings.reset(new entry_reading[kSlice]);
    }
  } catch (const std::bad_alloc&) {
    return false;  // the walk reads every entry itself
  }
  facts_job& job = *facts_;
  job.place.reset(place);
  job.listing = &listing;
  job.order.swap(order);
  job.slices = (job.order.size() + kSlice - 1) / kSlice;
  job.walk_slice = 0;
  job.walk_has_slice = false;
  job.issued = std::min(kRing, job.slices);
  for (std::size_t s = 0; s < job.issued; ++s) job.issue(s);
  if (!started_ && !by_hand_) start_threads();
  const bool wake = idle_ != 0;
  lock.unlock();
  if (wake) work_.notify_all();
  return true;
}

void read_ahead::take_facts(std::size_t ticket, entry_reading& reading) {
  facts_job& job = *facts_;
  const std::size_t wanted = ticket / kSlice;
  if (!(job.walk_has_slice && job.walk_slice == wanted)) {
    brief_lock lock(mutex_);
    // The slices before it are spent: their places in the ring take the
    // next ones. A slice still being read is left to its worker (end_facts
    // waits): the walk passed it because that worker was not running, and
    // waiting for it here would only wait for the program that holds its
    // core. The ring then takes no more, and the walk reads on its own
    // past its end.
    while (job.walk_slice < wanted) {
      if (job.issued < job.slices && job.issued == job.walk_slice + kRing) {
        if (job.slice(job.walk_slice).state != status::claimed) job.issue(job.issued++);
      }
      ++job.walk_slice;
    }
    job.walk_has_slice = false;
    if (wanted >= job.issued) {
      lock.unlock();
      operations_.read_facts(job.place.place, *job.listing, job.order.data() + ticket, 1,
                             &reading);
      return;
    }
    request& r = job.slice(wanted);
    while (r.state != status::done) {
      request* own = &r;
      if (r.state == status::claimed) {
        // A worker reads it: read the next slice nobody has claimed
        // meanwhile; when there is none, look a while, and where the
        // worker is not running (its core taken), read this entry here
        // rather than wait for it, and the next ones of its slice without
        // looking again.
        own = nullptr;
        for (std::size_t s = wanted + 1; s < job.issued && !own; ++s)
          if (job.slice(s).state == status::queued) own = &job.slice(s);
        if (!own) {
          if (job.late_slice != wanted && look_a_while(lock, r)) continue;
          job.late_slice = wanted;
          lock.unlock();
          operations_.read_facts(job.place.place, *job.listing, job.order.data() + ticket, 1,
                                 &reading);
          return;
        }
      }
      job.claim(*own);
      lock.unlock();
      carry_out(*own);
      lock.lock();
      finish(lock, *own);
    }
    if (r.read != outcome::read) {
      // Out of memory in the middle: read here, where running out of it
      // ends the program as it would without the queue.
      const std::size_t first = wanted * kSlice;
      operations_.read_facts(job.place.place, *job.listing, job.order.data() + first,
                             std::min(kSlice, job.order.size() - first), r.facts.readings.get());
      r.read = outcome::read;
    }
    job.walk_has_slice = true;
    if (job.issued < job.slices && idle_ != 0) work_.notify_all();
  }
  reading = job.slice(wanted).facts.readings[ticket % kSlice];
}

void read_ahead::end_facts() {
  // Asked at every directory the walk enters, lists and leaves, mostly with
  // no facts being read: the walk's own thread alone sets and clears them,
  // so it may look without the lock.
  if (!facts_ || !facts_->listing) return;
  brief_lock lock(mutex_);
  facts_job& job = *facts_;
  // Every place of the ring: a slice the walk passed may be left to its
  // worker.
  for (std::unique_ptr<request>& r : job.ring) {
    if (!r) continue;
    if (r->state == status::claimed) wait_for(lock, *r);
    r->state = status::dropped;
  }
  job.place.reset();  // no slice reads in it any more
  job.listing = nullptr;
  job.order.clear();
  job.slices = job.issued = job.walk_slice = 0;
  job.walk_has_slice = false;
  job.late_slice = kNoSlice;
}

std::size_t read_ahead::complete(std::size_t most) {
  std::size_t done = 0;
  brief_lock lock(mutex_);
  while (done < most) {
    request* r = next_to_claim();
    if (!r) break;
    r->began_on = kOtherCoreByHand;
    carry_out_and_finish(lock, *r, weighing_by_hand_);
    ++done;
  }
  return done;
}

std::size_t read_ahead::claim(std::size_t most, bool running) {
  std::size_t claimed = 0;
  brief_lock lock(mutex_);
  while (claimed < most) {
    request* r = next_to_claim();
    if (!r) break;
    r->began_on = running ? kOtherCoreByHand : kWalksCoreByHand;
    claimed_by_hand_.push_back(r);
    if (!running) stalled_by_hand_.push_back(r);
    ++claimed;
  }
  return claimed;
}

std::size_t read_ahead::finish_claimed(std::size_t most) {
  std::size_t done = 0;
  brief_lock lock(mutex_);
  while (done < most && !claimed_by_hand_.empty()) {
    // The oldest claim, whatever the walk made of its request meanwhile:
    // a worker finishes what it began.
    finish_by_hand(lock, *claimed_by_hand_.front());
    ++done;
  }
  return done;
}

bool read_ahead::close_later(directory_handle handle) {
  if (by_hand_ || handle < 0) return false;
  brief_lock lock(mutex_);
  // Only within the descriptors the queue may hold: where they are scarce,
  // the walk's own levels need them first.
  if (threads_.empty() || quit_ || to_close_.size() >= to_close_.capacity() || !budget_ ||
      !budget_->ahead_may_take_one())
    return false;
  to_close_.push_back(handle);
  budget_->ahead.store(++holding_, std::memory_order_relaxed);
  if (to_close_.size() >= kWaitingToCloseBeforeWaking && idle_ != 0) work_.notify_one();
  return true;
}

// Under the lock, on a worker: closes the directories waiting for it,
// outside the lock, and gives their descriptors back.
void read_ahead::close_waiting(brief_lock& lock) {
  directory_handle closing[kMostWaitingToClose];
  const std::size_t count = to_close_.size();
  std::copy(to_close_.begin(), to_close_.end(), closing);
  to_close_.clear();
  lock.unlock();
  for (std::size_t i = 0; i < count; ++i) operations_.close(closing[i]);
  lock.lock();
  holding_ -= count;
  budget_->ahead.store(holding_, std::memory_order_relaxed);
}

void read_ahead::run() {
  frees_nothing_here = true;
  disk_weighing weighing;
  weighing.blocks_at = blocks_read(operations_);
  int kept_off = -1;  // the core this worker keeps off, where it does
  brief_lock lock(mutex_);
  while (!quit_) {
    if (!to_close_.empty()) {
      close_waiting(lock);
      continue;  // the lock was let go: look at everything again
    }
    request* r = next_to_claim();
    if (!r) {
      ++idle_;
      work_.wait(lock);
      --idle_;
      continue;
    }
    r->began_on = current_core();
    r->core.store(r->began_on, std::memory_order_relaxed);
    // A worker that finds itself on the walk's core takes turns with the
    // walk there, while the other cores are no busier than before: the
    // system put it there because another program holds them, or woke it
    // beside the walk that woke it. It leaves the walk its core from then
    // on, and shares another's with that program instead.
    const int walk_core = walk_core_.load(std::memory_order_relaxed);
    if (walk_core >= 0 && r->began_on == walk_core && walk_core != kept_off) {
      keep_off_core(walk_core);
      kept_off = walk_core;
    }
    carry_out_and_finish(lock, *r, weighing);
  }
}

void* read_ahead::run_thread(void* self) {
  static_cast<read_ahead*>(self)->run();
  return nullptr;
}

}  // namespace platform
