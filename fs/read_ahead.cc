// The read-ahead queue: one lock over every request, the walk and the
// workers claiming from the same lists, and each request's end (adopted,
// dropped, waited for, closed) decided in one place.
#include "fs/read_ahead.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <chrono>

namespace platform {
namespace {

// A slice of facts: enough entries that a claim costs little beside the
// reads, few enough that the walk seldom waits behind one (16, 32 and 64
// all gave 0.40 s warm on the bench tree).
constexpr std::size_t kSlice = 32;
// Slices ahead of the walk at most: the readings kept for it. Unmeasured
// on its own; with kSlice, 1,024 readings, as many as a directory a worker
// lists whole.
constexpr std::size_t kRing = 32;
// Subdirectories of one level opened ahead of the walk at most, so that
// the levels it has still to come back to cannot take every descriptor
// from the one it is in (windows of 32 gave 1.72 s cold against 1.50 s).
constexpr std::size_t kAheadAtALevel = 16;
// What a spare record keeps of the buffers of the directory it held, for
// the next: enough for most directories; a larger one's memory goes back.
// Unmeasured: the median directory of the bench tree has 6 entries.
constexpr std::size_t kMostEntriesKeptSpare = 64;
// Directories the walk is done with that wait for a worker to close them,
// at most, and how many before an idle worker is woken for them.
// Unmeasured: a close is a system call of a microsecond, and a batch of
// eight wakes a worker seldom.
constexpr std::size_t kMostWaitingToClose = 32;
constexpr std::size_t kWaitingToCloseBeforeWaking = 8;
// How long the walk looks again at a request being read before it sleeps:
// a warm read ends within microseconds, and a sleep and a wake-up cost
// more than that (cold, sleeping at once: 1.65 s against 1.46 s).
constexpr std::chrono::microseconds kLookBeforeSleeping(50);

enum class status : std::uint8_t { queued, claimed, done, dropped };

// What a request is, fixed when its record is made.
enum class request_kind : std::uint8_t { open_and_list, read_facts_slice };

// Lets go of the buffers of a large directory.
void trim(opened_directory& spent) {
  if (spent.listing.entries.capacity() > kMostEntriesKeptSpare) {
    directory_listing().names.swap(spent.listing.names);
    std::vector<listed_entry>().swap(spent.listing.entries);
    std::vector<entry_reading>().swap(spent.readings);
    spent.maps.reset();
  }
  spent.listing.clear();
  spent.readings.clear();
}

// A ticket: the entry's place in the order the walk visits the entries
// the queue reads (order_of_visits), as `listed_facts` holds it, apart from
// kUnreadKind and the readings kept, which count from 1.
constexpr std::uint32_t kTicket = 0x80000000u;
bool has_ticket(std::uint32_t listed_facts) {
  return listed_facts != kUnreadKind && (listed_facts & kTicket) != 0;
}

// The order in which the walk visits the entries of `listing` whose facts
// it has not read: those whose kind the listing could not tell, which it
// reads at once, first; then the others, files then directories, each in
// listing order. Each of the latter gets its ticket. Empty where fewer
// than `fewest` are left to read: a request costs more than it saves there.
std::vector<std::uint32_t> order_of_visits(directory_listing& listing, std::size_t fewest) {
  std::vector<std::uint32_t> order;
  std::size_t left = 0;
  for (const listed_entry& entry : listing.entries)
    left += entry.listed_facts == 0 || entry.listed_facts == kUnreadKind;
  if (left < fewest) return order;
  order.reserve(left);
  for (std::size_t i = 0; i < listing.entries.size(); ++i) {
    if (listing.entries[i].listed_facts == kUnreadKind) order.push_back(static_cast<std::uint32_t>(i));
  }
  const std::size_t first_visited = order.size();
  for (const bool directories : {false, true}) {
    for (std::size_t i = 0; i < listing.entries.size(); ++i) {
      const listed_entry& entry = listing.entries[i];
      if (entry.listed_facts == 0 && entry.is_directory == directories)
        order.push_back(static_cast<std::uint32_t>(i));
    }
  }
  for (std::size_t t = first_visited; t < order.size(); ++t)
    listing.entries[order[t]].listed_facts = kTicket | static_cast<std::uint32_t>(t);
  return order;
}


// An entry whose kind the listing could not tell goes where its reading
// says.
void place_by_reading(listed_entry& entry, const entry_reading& reading) {
  if (reading.examined.outcome != examination::examined) return;
  entry.is_directory = reading.facts.is_directory;
  entry.is_reparse = reading.facts.kind != entry_kind::normal;
}

}  // namespace

void keep_readings(opened_directory& opened, const std::uint32_t* order) {
  std::vector<listed_entry>& entries = opened.listing.entries;
  for (std::size_t k = 0; k < entries.size(); ++k) {
    listed_entry& entry = entries[order ? order[k] : k];
    if (entry.listed_facts == kUnreadKind) place_by_reading(entry, opened.readings[k]);
    entry.listed_facts = static_cast<std::uint32_t>(k + 1);
  }
}

// An open directory that requests read in, and how many requests read in
// it now, each from its claim to its end, both under the lock. Its place
// changes, and the directory closes, only once none does (asserted in
// builds with assertions, as is a request that ends holding one).
struct read_ahead::pinned_place {
  directory_place place;
  std::size_t pins = 0;

  // Under the lock: a new directory here, or none.
  void reset(const directory_place& to = directory_place()) {
    assert(pins == 0 && "a directory changed under a request reading in it");
    place = to;
  }
};

// One request: its kind, where it stands, the directory it reads in, and
// what it reads and hands back, of its kind only.
struct read_ahead::request {
  explicit request(request_kind made_as) : kind(made_as) {}
  ~request() { assert(!pinned && "a request ended holding its directory"); }
  request(const request&) = delete;
  request& operator=(const request&) = delete;

  void pin(pinned_place& place) {
    assert(!pinned);
    pinned = &place;
    ++place.pins;
  }
  void let_go() {
    if (!pinned) return;
    assert(pinned->pins > 0);
    --pinned->pins;
    pinned = nullptr;
  }

  const request_kind kind;
  status state = status::queued;
  bool succeeded = false;
  bool abandoned = false;    // the walk let go of it while it was read
  std::uint64_t serial = 0;  // one more at each claim: a wait knows its own
  // The serial of the last claim that ended, for a wait to look at
  // without the lock.
  std::atomic<std::uint64_t> ended{0};
  // The directory it reads in, pinned from its claim to its end: it does
  // not change meanwhile, so a worker reads it outside the lock too.
  pinned_place* pinned = nullptr;
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
  } open;
  // read_facts_slice: slice `slice` of the facts being read, what it reads
  // (set at its claim: a worker reads from these, never from the job,
  // which the walk may have moved on from), and its readings.
  struct facts_slice {
    std::size_t slice = 0;
    const directory_listing* listing = nullptr;
    const std::uint32_t* order = nullptr;
    std::size_t count = 0;
    std::unique_ptr<entry_reading[]> readings;  // kSlice of them
    extent_maps maps;
  } facts;
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
  std::vector<std::unique_ptr<request>> active;  // claimed or done
  std::size_t walk_at = 0;  // the first item the walk has not passed
  // Made by a worker for the directory it opened, handed to the walk that
  // adopted it and not yet taken on by the walk's listing of it.
  bool inherited = false;

  request* find(std::size_t index) const {
    for (const std::unique_ptr<request>& r : active)
      if (r->open.index == index) return r.get();
    return nullptr;
  }
};

struct read_ahead::facts_job {
  pinned_place place;
  const directory_listing* listing = nullptr;
  std::vector<std::uint32_t> order;
  std::unique_ptr<request> ring[kRing];  // slice s at ring[s % kRing]
  std::size_t slices = 0;
  std::size_t walk_slice = 0;   // the slice the walk takes from
  bool walk_has_slice = false;  // ... and it is done
  std::size_t issued = 0;       // slices in the ring: walk_slice..issued

  request& slice(std::size_t s) { return *ring[s % kRing]; }
  // Under the lock: slice `s` is taken, by a worker or by the walk.
  void claim(request& r) {
    const std::size_t first = r.facts.slice * kSlice;
    r.state = status::claimed;
    ++r.serial;
    r.pin(place);
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
    : operations_(operations), threads_(by_hand ? 0 : threads), by_hand_(by_hand) {}

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
  pool_.join();
  for (const directory_handle handle : to_close_) operations_.close(handle);
}

// Under the lock: every request of `batch`, and all below them, waited for
// where being read and dropped.
void read_ahead::drop_all(brief_lock& lock, level_requests& batch) {
  for (level_requests::item& item : batch.items)
    if (item.state == status::queued) item.state = status::dropped;
  while (!batch.active.empty()) {
    request& r = *batch.active.back();
    // One the walk abandoned drops itself when done, and may then be
    // claimed anew elsewhere; any other is dropped here.
    wait_for(lock, r);
    if (!batch.active.empty() && batch.active.back().get() == &r && r.state == status::done)
      drop(lock, r);
  }
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
    made->open.opened.reset(new opened_directory);
    made->open.children.reset(new level_requests);
    // Room for every record among the spares, so that dropping a request
    // never allocates.
    spare_.reserve(++records_);
    return made;
  }
  std::unique_ptr<request> r = std::move(spare_.back());
  spare_.pop_back();
  return r;
}

void read_ahead::start_threads() {
  started_ = true;
  to_close_.reserve(kMostWaitingToClose);
  // Without room for a thread the walk reads alone, or with fewer.
  for (std::size_t i = 0; i < threads_; ++i)
    if (!pool_.start(run_thread, this)) break;
}

void read_ahead::open_subdirectories(std::size_t level, const directory_place& parent,
                                     const directory_listing& listing) {
  if (!enabled() || parent.handle < 0) return;
  brief_lock lock(mutex_);
  // A directory the walk adopted comes with the requests the worker made
  // for its subdirectories, from the very listing the walk took over: they
  // are this level's, some of them perhaps read already.
  if (level < levels_.size() && levels_[level]->inherited &&
      levels_[level]->parent.place.handle == parent.handle) {
    levels_[level]->inherited = false;
    return;
  }
  if (level < levels_.size()) end_batch(lock, *levels_[level]);  // what was asked here before
  if (descriptors.most_ahead == 0) return;
  levels_.reserve(level + 1);
  while (levels_.size() <= level) levels_.emplace_back(new level_requests);
  level_requests& batch = *levels_[level];
  batch.parent.reset(parent);
  for (const listed_entry& entry : listing.entries) {
    if (!entry.is_directory || entry.is_reparse) continue;
    batch.items.emplace_back(static_cast<std::uint32_t>(batch.names.size()), entry.name_length);
    batch.names += listing.name(entry);
  }
  if (batch.items.empty()) return;
  if (!started_ && !by_hand_) start_threads();
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
  if (!descriptors.ahead_may_take_one()) return nullptr;
  for (std::size_t level = levels_.size(); level > 0; --level)
    if (request* r = claim_in(*levels_[level - 1])) return r;
  return nullptr;
}

// Under the lock: of the few subdirectories of `batch` ahead of the walk,
// the first nobody claimed, or before it one below a directory opened
// there, in the order the walk will enter them: each opened directory's
// own subdirectories come before its next sibling.
read_ahead::request* read_ahead::claim_in(level_requests& batch) {
  const std::size_t window_end = std::min(batch.items.size(), batch.walk_at + kAheadAtALevel);
  std::size_t i = batch.walk_at;
  for (; i < window_end; ++i) {
    const status state = batch.items[i].state;
    if (state == status::queued) break;
    if (state != status::done) continue;
    request* opened = batch.find(i);
    if (!opened || !opened->succeeded || opened->abandoned) continue;
    if (request* below = claim_in(*opened->open.children)) return below;
  }
  if (i == window_end) return nullptr;
  std::unique_ptr<request> claimed = fresh_request();
  batch.active.reserve(batch.active.size() + 1);
  const level_requests::item& item = batch.items[i];
  claimed->open.name.assign(batch.names, item.name_offset, item.name_length);
  claimed->open.seen = item.seen;
  claimed->open.facts = item.facts;
  request& r = *claimed;
  r.state = status::claimed;
  ++r.serial;
  r.succeeded = false;
  r.abandoned = false;
  r.open.batch = &batch;
  r.open.index = i;
  r.pin(batch.parent);
  batch.items[i].state = status::claimed;
  batch.active.push_back(std::move(claimed));
  descriptors.ahead.store(++holding_, std::memory_order_relaxed);
  return &r;
}

// Outside the lock.
void read_ahead::carry_out(request& r) {
  if (r.kind == request_kind::read_facts_slice) {
    operations_.read_facts(r.pinned->place, *r.facts.listing, r.facts.order, r.facts.count,
                           r.facts.readings.get(), &r.facts.maps);
    r.succeeded = true;
    return;
  }
  r.open.opened->close_handle();  // the operation fills the rest afresh
  r.succeeded = operations_.open(r.pinned->place, r.open.name,
                                 r.open.seen ? &r.open.facts : nullptr, *r.open.opened);
  if (r.succeeded) ask_for_children(r);
}

// Under the lock: carries out a claimed request outside the lock, then
// finishes it.
void read_ahead::carry_out_and_finish(brief_lock& lock, request& r) {
  lock.unlock();
  carry_out(r);
  lock.lock();
  finish(lock, r);
}

// Outside the lock, on the worker that opened the directory: the requests
// for its subdirectories, in its listing's order, the very list the walk
// makes of them when it adopts the listing.
void read_ahead::ask_for_children(request& r) {
  level_requests& children = *r.open.children;
  const opened_directory& opened = *r.open.opened;
  children.items.clear();
  children.names.clear();
  children.walk_at = 0;
  children.inherited = false;
  for (const listed_entry& entry : opened.listing.entries) {
    if (!entry.is_directory || entry.is_reparse) continue;
    level_requests::item item(static_cast<std::uint32_t>(children.names.size()), entry.name_length);
    // Its reading, made with the listing: the worker that opens it
    // decides from that whether to, without reading it again.
    const entry_reading& reading = opened.readings[entry.listed_facts - 1];
    item.seen = reading.examined.outcome == examination::examined;
    item.facts = reading.facts;
    children.items.push_back(item);
    children.names += opened.listing.name(entry);
  }
  // Nothing reads in it yet: no request of the batch is visible before this
  // one is done.
  directory_place place = r.pinned->place;
  place.handle = opened.handle;
  place.volume = opened.identity.volume;
  children.parent.reset(place);
}

// Under the lock: a request is done.
void read_ahead::finish(brief_lock& lock, request& r) {
  r.state = status::done;
  r.ended.store(r.serial, std::memory_order_release);
  claimed_by_hand_.erase(std::remove(claimed_by_hand_.begin(), claimed_by_hand_.end(), &r),
                         claimed_by_hand_.end());
  r.let_go();  // done with the directory it read in: it may close
  if (r.kind == request_kind::open_and_list) {
    r.open.batch->items[r.open.index].state = status::done;
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
// they read in the directory it closes. Its record goes among the spares,
// or, where the walk takes the directory (`taken`), to the walk until
// give_back().
void read_ahead::drop(brief_lock& lock, request& r, bool taken) {
  if (r.state == status::claimed) {
    r.abandoned = true;  // whoever finishes it drops it
    return;
  }
  level_requests& batch = *r.open.batch;
  end_batch(lock, *r.open.children);
  if (!taken) r.open.opened->close_handle();
  r.succeeded = false;
  batch.items[r.open.index].state = status::dropped;
  const bool was_full = !descriptors.ahead_may_take_one();
  descriptors.ahead.store(--holding_, std::memory_order_relaxed);
  for (std::size_t k = 0; k < batch.active.size(); ++k) {
    if (batch.active[k].get() != &r) continue;
    if (taken) {
      taken_ = std::move(batch.active[k]);
    } else {
      trim(*r.open.opened);
      spare_.push_back(std::move(batch.active[k]));
    }
    batch.active.erase(batch.active.begin() + static_cast<std::ptrdiff_t>(k));
    break;
  }
  // A descriptor is free: wake a worker that waited for one.
  if (idle_ != 0 && was_full) work_.notify_all();
}

// Under the lock, on the walk's thread, at a request it needs that a
// worker is reading: the walk carries out the next request nobody claimed
// meanwhile, as a worker would, so that on two cores one worker and the
// walk share the work; where there is none, it waits. By hand, the test's
// worker finishes the request now. The caller looks again.
void read_ahead::help_or_wait(brief_lock& lock, request& r) {
  if (by_hand_) {
    carry_out_and_finish(lock, r);
    return;
  }
  if (request* other = next_to_claim()) {
    carry_out_and_finish(lock, *other);
    return;
  }
  wait_for(lock, r);
}

// Under the lock: returns once `r` is not being read (by hand: finished
// now, as its worker would).
void read_ahead::wait_for(brief_lock& lock, request& r) {
  if (r.state != status::claimed) return;
  if (by_hand_) {
    carry_out_and_finish(lock, r);
    return;
  }
  // A warm read ends within microseconds: look again a while, without the
  // lock. The request may end and be claimed anew meanwhile: the serial
  // tells.
  const std::uint64_t serial = r.serial;
  lock.unlock();
  // The clock is read every 64 looks (unmeasured: often enough to stop
  // within a microsecond or so of the time, rarely enough to cost little).
  const auto until = std::chrono::steady_clock::now() + kLookBeforeSleeping;
  for (unsigned looks = 1; r.ended.load(std::memory_order_acquire) != serial; ++looks)
    if (looks % 64 == 0 && std::chrono::steady_clock::now() >= until) break;
  lock.lock();
  walk_waits_ = true;
  finished_.wait(lock, [&] { return r.state != status::claimed || r.serial != serial; });
  walk_waits_ = false;
}

opened_directory* read_ahead::take_opened(std::size_t level, native_string_view name) {
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
  while (r->state == status::claimed) help_or_wait(lock, *r);
  if (!r->succeeded) {
    drop(lock, *r);  // the walk meets the failure itself, and reports it
    return nullptr;
  }
  // The requests made for its subdirectories are those of the level the
  // walk enters, still pinned to the directory, whose descriptor the walk
  // holds from now on; the half ends that level before it closes the
  // directory where it does not adopt it after all.
  levels_.reserve(level + 2);
  while (levels_.size() < level + 2) levels_.emplace_back(new level_requests);
  end_batch(lock, *levels_[level + 1]);
  if (!r->open.children->items.empty()) {
    levels_[level + 1].swap(r->open.children);
    levels_[level + 1]->inherited = true;
  }
  drop(lock, *r, true);
  return taken_->open.opened.get();
}

void read_ahead::give_back() {
  if (!taken_) return;
  // The walk's thread alone holds the record meanwhile.
  opened_directory& spent = *taken_->open.opened;
  spent.close_handle();  // released where the walk took it, closed where not
  trim(spent);
  brief_lock lock(mutex_);
  spare_.push_back(std::move(taken_));
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
  if (!facts_) {
    facts_.reset(new facts_job);
    for (std::unique_ptr<request>& r : facts_->ring) {
      r.reset(new request(request_kind::read_facts_slice));
      r->facts.readings.reset(new entry_reading[kSlice]);
    }
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
    // next ones. One still being read (the walk did not ask for its
    // entries) keeps its place until end_facts waits for it; the ring then
    // takes no more, and the walk reads on its own past its end.
    while (job.walk_slice < wanted) {
      if (job.issued < job.slices && job.issued == job.walk_slice + kRing &&
          job.slice(job.walk_slice).state != status::claimed)
        job.issue(job.issued++);
      ++job.walk_slice;
    }
    job.walk_has_slice = false;
    if (wanted >= job.issued) {
      lock.unlock();
      operations_.read_facts(job.place.place, *job.listing, job.order.data() + ticket, 1,
                             &reading, nullptr);
      return;
    }
    request& r = job.slice(wanted);
    while (r.state != status::done) {
      if (r.state == status::claimed) {
        help_or_wait(lock, r);
        continue;
      }
      job.claim(r);  // nobody did: the walk reads it itself
      carry_out_and_finish(lock, r);
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
  for (std::unique_ptr<request>& r : job.ring) {
    wait_for(lock, *r);
    r->state = status::dropped;
  }
  job.place.reset();  // no slice reads in it any more
  job.listing = nullptr;
  job.order.clear();
  job.slices = job.issued = job.walk_slice = 0;
  job.walk_has_slice = false;
}

std::size_t read_ahead::complete(std::size_t most, bool only_claim) {
  std::size_t done = 0;
  brief_lock lock(mutex_);
  for (; done < most; ++done) {
    request* r = next_to_claim();
    if (!r) break;
    if (only_claim) {
      claimed_by_hand_.push_back(r);
    } else {
      carry_out_and_finish(lock, *r);
    }
  }
  return done;
}

std::size_t read_ahead::finish_claimed(std::size_t most) {
  std::size_t done = 0;
  brief_lock lock(mutex_);
  // The oldest claim, whatever the walk made of its request meanwhile: a
  // worker finishes what it began.
  for (; done < most && !claimed_by_hand_.empty(); ++done)
    carry_out_and_finish(lock, *claimed_by_hand_.front());
  return done;
}

bool read_ahead::close_later(directory_handle handle) {
  if (by_hand_ || handle < 0) return false;
  brief_lock lock(mutex_);
  // Only within the descriptors the queue may hold: where they are scarce,
  // the walk's own levels need them first.
  if (pool_.empty() || quit_ || to_close_.size() >= to_close_.capacity() ||
      !descriptors.ahead_may_take_one())
    return false;
  to_close_.push_back(handle);
  descriptors.ahead.store(++holding_, std::memory_order_relaxed);
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
  descriptors.ahead.store(holding_, std::memory_order_relaxed);
}

void read_ahead::run() {
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
    carry_out_and_finish(lock, *r);
  }
}

void* read_ahead::run_thread(void* self) {
  static_cast<read_ahead*>(self)->run();
  return nullptr;
}

void read_ahead::end_directory() {
  end_facts();
  holds_adopted_ = false;
}

bool read_ahead::adopt(std::size_t level, opened_directory* opened, directory_handle parent,
                       const native_char* name, const file_identity* listed) {
  holds_adopted_ = false;
  if (!opened || opened->handle < 0) return false;
  file_identity now;
  change_stamp stamp;
  if (parent >= 0 && operations_.look(parent, name, now, stamp) && now == opened->identity &&
      (!listed || *listed == opened->identity) && stamp == opened->stamp) {
    adopted_.names.swap(opened->listing.names);
    adopted_.entries.swap(opened->listing.entries);
    adopted_readings_.swap(opened->readings);
    adopted_maps_.swap(opened->maps);
    holds_adopted_ = true;
    return true;
  }
  // What the worker asked for below it reads in it: that ends first.
  end_level(level);
  opened->close_handle();
  return false;
}

bool read_ahead::start_listing(directory_listing& listing) {
  end_facts();  // before the listing changes
  listing.clear();
  listing.cut_short = false;
  listed_.clear();
  if (!holds_adopted_) return false;
  holds_adopted_ = false;
  listing.names.swap(adopted_.names);
  listing.entries.swap(adopted_.entries);
  listed_.swap(adopted_readings_);
  listed_maps_.swap(adopted_maps_);
  return true;
}

void read_ahead::read_listed(const directory_place& place, directory_listing& listing,
                             std::size_t fewest) {
  bool shared = false;
  if (enabled()) {
    std::vector<std::uint32_t> order = order_of_visits(listing, fewest);
    shared = read_facts(place, listing, order);
    if (!shared)
      for (listed_entry& entry : listing.entries)
        if (has_ticket(entry.listed_facts)) entry.listed_facts = 0;
  }
  std::size_t ticket = 0;
  for (std::uint32_t i = 0; i < listing.entries.size(); ++i) {
    listed_entry& entry = listing.entries[i];
    if (entry.listed_facts != kUnreadKind) continue;
    listed_.emplace_back();
    entry_reading& reading = listed_.back();
    entry.listed_facts = static_cast<std::uint32_t>(listed_.size());
    if (shared) {
      take_facts(ticket++, reading);
      reading.map = mapped_ahead();  // kept past its slice: the walk maps it
    } else {
      operations_.read_facts(place, listing, &i, 1, &reading, nullptr);
    }
    place_by_reading(entry, reading);
  }
}

bool read_ahead::reading_of(const listed_entry& entry, entry_reading& reading) {
  if (has_ticket(entry.listed_facts)) {
    take_facts(entry.listed_facts & ~kTicket, reading);
  } else if (entry.listed_facts != 0) {
    reading = listed_[entry.listed_facts - 1];
  } else {
    return false;
  }
  return true;
}

}  // namespace platform
