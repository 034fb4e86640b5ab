// The read-ahead queue: one lock over every request, the walk and the
// workers claiming from the same lists.
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
// The most entries whose buffers a spare record keeps for the next; a
// larger directory's go back. Unmeasured: the bench tree's median
// directory has 6 entries.
constexpr std::size_t kMostEntriesKeptSpare = 64;
// How long the walk looks again at a request being read before it sleeps:
// a warm read ends within microseconds, and a sleep and a wake-up cost
// more than that (cold, sleeping at once: 1.65 s against 1.46 s).
constexpr std::chrono::microseconds kLookBeforeSleeping(50);

enum class status : std::uint8_t { queued, claimed, done, dropped };

enum class request_kind : std::uint8_t { open_and_list, read_facts_slice };

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

// A ticket in `listed_facts`: a place in order_of_visits, told apart from
// kUnreadKind and from the readings kept, which count from 1.
constexpr std::uint32_t kTicket = 0x80000000u;
bool has_ticket(std::uint32_t listed_facts) {
  return listed_facts != kUnreadKind && (listed_facts & kTicket) != 0;
}

// The order in which the walk reads the entries of `listing`: those whose
// kind the listing could not tell first, at once; then, each with its
// ticket, files then directories, in listing order. Empty where fewer than
// `fewest` are left to read: a request costs more than it saves there.
std::vector<std::uint32_t> order_of_visits(directory_listing& listing, std::size_t fewest) {
  std::vector<std::uint32_t> order;
  std::size_t left = 0;
  for (const listed_entry& entry : listing.entries)
    left += entry.listed_facts == 0 || entry.listed_facts == kUnreadKind;
  if (left < fewest) return order;
  order.reserve(left);
  for (std::uint32_t i = 0; i < listing.entries.size(); ++i)
    if (listing.entries[i].listed_facts == kUnreadKind) order.push_back(i);
  const std::size_t first_visited = order.size();
  for (const bool directories : {false, true}) {
    for (std::uint32_t i = 0; i < listing.entries.size(); ++i) {
      const listed_entry& entry = listing.entries[i];
      if (entry.listed_facts == 0 && entry.is_directory == directories) order.push_back(i);
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

// An open directory and how many requests read in it now, from claim to
// end, under the lock: it changes or closes only once none does (through
// `close` where the walk let go of it first).
struct read_ahead::pinned_place {
  directory_place place;
  std::size_t pins = 0;
  void (*close)(directory_handle) = nullptr;

  void reset(const directory_place& to = directory_place()) {
    assert(pins == 0 && "a directory changed under a request reading in it");
    place = to;
  }
};

// One request: where it stands, the directory it reads in, and what it
// reads and hands back, of its kind only.
struct read_ahead::request {
  explicit request(request_kind made_as) : kind(made_as) {}
  ~request() { assert(!pinned && "a request ended holding its directory"); }

  // Under the lock: a worker or the walk takes it, to read in `place`.
  void claim(pinned_place& place) {
    assert(!pinned);
    state = status::claimed;
    ++serial;
    succeeded = false;
    abandoned = false;
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
  // The serial of the last claim that ended, for a wait without the lock.
  std::atomic<std::uint64_t> ended{0};
  // Unchanged from claim to end, so a worker reads it outside the lock.
  pinned_place* pinned = nullptr;
  // open_and_list: an item of `batch`, the directory opened there, and the
  // requests for its subdirectories, which go with it to the walk that
  // adopts it, or end before it closes.
  struct open_and_list {
    level_requests* batch = nullptr;
    std::size_t index = 0;
    native_string name;
    bool seen = false;  // `facts` read with the directory it is asked in
    entry_facts facts;
    std::unique_ptr<opened_directory> opened;
    std::unique_ptr<level_requests> children;
  } open;
  // read_facts_slice: what it reads, set at its claim (a worker never reads
  // the job, which the walk may have moved on from), and its readings.
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
// many subdirectories costs a few bytes each.
struct read_ahead::level_requests {
  struct item {
    item(std::uint32_t offset, std::uint16_t length) : name_offset(offset), name_length(length) {}
    std::uint32_t name_offset;
    std::uint16_t name_length;
    status state = status::queued;
    bool seen = false;  // `facts` read by the worker that listed it
    entry_facts facts;
  };
  pinned_place parent;
  native_string names;
  std::vector<item> items;
  std::vector<std::unique_ptr<request>> active;  // claimed or done
  std::size_t walk_at = 0;  // the first item the walk has not passed
  // A worker's, handed to the walk that adopted the directory, and not yet
  // taken on by its listing.
  bool inherited = false;

  request* find(std::size_t index) const {
    for (const std::unique_ptr<request>& r : active)
      if (r->open.index == index) return r.get();
    return nullptr;
  }
  // Asks for the subdirectories of `listing`, with the readings made with
  // it where there are (a worker's): the one who opens one decides from it.
  void ask_for(const directory_listing& listing, const std::vector<entry_reading>* readings) {
    assert(items.empty() && names.empty());
    for (const listed_entry& entry : listing.entries) {
      if (!entry.is_directory || entry.is_reparse) continue;
      items.emplace_back(static_cast<std::uint32_t>(names.size()), entry.name_length);
      names += listing.name(entry);
      if (!readings) continue;
      const entry_reading& reading = (*readings)[entry.listed_facts - 1];
      items.back().seen = reading.examined.outcome == examination::examined;
      items.back().facts = reading.facts;
    }
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
  void claim(request& r) {
    const std::size_t first = r.facts.slice * kSlice;
    r.claim(place);
    r.facts.listing = listing;
    r.facts.order = order.data() + first;
    r.facts.count = std::min(kSlice, order.size() - first);
  }
  void issue(std::size_t s) {
    request& r = slice(s);
    r.state = status::queued;
    r.facts.slice = s;
  }
};

read_ahead::read_ahead(const read_ahead_operations& operations, std::size_t threads, bool by_hand)
    : operations_(operations), threads_(by_hand ? 0 : threads), by_hand_(by_hand) {}

read_ahead::~read_ahead() {
  end_facts();
  for (std::size_t level = levels_.size(); level > 0; --level) end_level(level - 1, nullptr);
  // By hand, what was claimed is finished, as threads do before they join.
  finish_claimed(static_cast<std::size_t>(-1));
  {
    brief_lock lock(mutex_);
    quit_ = true;
  }
  work_.notify_all();
  pool_.join();
  assert(lingering_.empty() && "a directory left open");
}

// Under the lock: `slot` asks for nothing any more: its requests, and all
// below them, dropped; one being read drops itself when done. True where
// one is: the batch then lingers, its handle closed through `close` as the
// last ends, and `slot` starts afresh. Without `close`, they are waited for.
bool read_ahead::end_batch(brief_lock& lock, std::unique_ptr<level_requests>& slot,
                           void (*close)(directory_handle)) {
  level_requests& batch = *slot;
  for (level_requests::item& item : batch.items)
    if (item.state == status::queued) item.state = status::dropped;
  // A wait lets the lock go: one abandoned before may drop itself meanwhile.
  for (std::size_t i = batch.active.size(); !close && i > 0; i = std::min(i, batch.active.size()))
    wait_for(lock, *batch.active[--i]);
  for (std::size_t i = batch.active.size(); i > 0; --i) drop(lock, *batch.active[i - 1]);
  if (!batch.active.empty()) {
    batch.parent.close = close;
    descriptors.ahead.fetch_add(1, std::memory_order_relaxed);  // until it closes
    lingering_.push_back(std::move(slot));
    slot.reset(new level_requests);
    return true;
  }
  batch.items.clear();
  batch.names.clear();
  batch.walk_at = 0;
  batch.inherited = false;
  batch.parent.reset();
  return false;
}

std::unique_ptr<read_ahead::level_requests>& read_ahead::level_at(std::size_t level) {
  levels_.reserve(level + 1);
  while (levels_.size() <= level) levels_.emplace_back(new level_requests);
  return levels_[level];
}

// Under the lock, with new work: the threads start at the first (without
// room for one, the walk reads alone or with fewer), and idle ones wake.
void read_ahead::offer_work(brief_lock& lock) {
  if (!started_ && !by_hand_) {
    started_ = true;
    const auto run = [](void* self) -> void* {
      static_cast<read_ahead*>(self)->run();
      return nullptr;
    };
    for (std::size_t i = 0; i < threads_; ++i)
      if (!pool_.start(run, this)) break;
  }
  const bool wake = idle_ != 0;
  lock.unlock();
  if (wake) work_.notify_all();
}

void read_ahead::open_subdirectories(std::size_t level, const directory_place& parent,
                                     const directory_listing& listing) {
  if (!enabled() || parent.handle < 0) return;
  brief_lock lock(mutex_);
  std::unique_ptr<level_requests>& slot = level_at(level);
  // An adopted directory comes with the requests the worker made from the
  // very listing the walk took over: they are this level's.
  if (slot->inherited && slot->parent.place.handle == parent.handle) {
    slot->inherited = false;
    return;
  }
  end_batch(lock, slot, nullptr);  // what was asked here before
  level_requests& batch = *slot;
  if (descriptors.most_ahead == 0) return;
  batch.parent.reset(parent);
  batch.ask_for(listing, nullptr);
  if (!batch.items.empty()) offer_work(lock);
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
// there: each opened directory's own come before its next sibling.
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
  std::unique_ptr<request> claimed;
  if (spare_.empty()) {
    claimed.reset(new request(request_kind::open_and_list));
    claimed->open.opened.reset(new opened_directory);
    claimed->open.children.reset(new level_requests);
    spare_.reserve(++records_);  // room for all: a drop never allocates
  } else {
    claimed = std::move(spare_.back());
    spare_.pop_back();
  }
  batch.active.reserve(batch.active.size() + 1);
  request& r = *claimed;
  level_requests::item& item = batch.items[i];
  r.open.name.assign(batch.names, item.name_offset, item.name_length);
  r.open.seen = item.seen;
  r.open.facts = item.facts;
  r.open.batch = &batch;
  r.open.index = i;
  r.claim(batch.parent);
  item.state = status::claimed;
  batch.active.push_back(std::move(claimed));
  descriptors.ahead.fetch_add(1, std::memory_order_relaxed);
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
  opened_directory& opened = *r.open.opened;
  opened.close_handle();  // the operation fills the rest afresh
  r.succeeded =
      operations_.open(r.pinned->place, r.open.name, r.open.seen ? &r.open.facts : nullptr, opened);
  if (!r.succeeded) return;
  // The requests for its subdirectories, the very list the walk makes of
  // them when it adopts the listing; none visible before this one is done.
  r.open.children->ask_for(opened.listing, &opened.readings);
  directory_place place = r.pinned->place;
  place.handle = opened.handle;
  place.volume = opened.identity.volume;
  r.open.children->parent.reset(place);
}

void read_ahead::carry_out_and_finish(brief_lock& lock, request& r) {
  lock.unlock();
  carry_out(r);
  lock.lock();
  finish(lock, r);
}

// Under the lock: a request is done.
void read_ahead::finish(brief_lock& lock, request& r) {
  r.state = status::done;
  r.ended.store(r.serial, std::memory_order_release);
  claimed_by_hand_.erase(std::remove(claimed_by_hand_.begin(), claimed_by_hand_.end(), &r),
                         claimed_by_hand_.end());
  r.let_go();  // done with the directory it read in: it may close
  if (r.kind == request_kind::open_and_list) {
    level_requests& batch = *r.open.batch;
    batch.items[r.open.index].state = status::done;
    if (r.abandoned) {
      drop(lock, r);  // else the walk takes or drops it
      if (batch.parent.close && batch.parent.pins == 0) {  // the last of a lingering batch
        batch.parent.close(batch.parent.place.handle);
        descriptors.ahead.fetch_sub(1, std::memory_order_relaxed);
        lingering_.erase(std::find_if(lingering_.begin(), lingering_.end(),
                                      [&](const auto& held) { return held.get() == &batch; }));
      }
    } else if (idle_ != 0 && !r.open.children->items.empty()) {
      work_.notify_all();  // its subdirectories may be opened now
    }
  }
  if (walk_waits_) finished_.notify_all();
}

// Under the lock: the walk no longer wants a claimed or done open request.
// The requests below it end first (one still being read there closes the
// directory as it ends); the record goes among the spares, or to the walk.
void read_ahead::drop(brief_lock& lock, request& r, bool taken) {
  if (r.state == status::claimed) {
    r.abandoned = true;  // whoever finishes it drops it
    return;
  }
  level_requests& batch = *r.open.batch;
  if (end_batch(lock, r.open.children, r.open.opened->close)) r.open.opened->release();
  if (!taken) r.open.opened->close_handle();
  batch.items[r.open.index].state = status::dropped;
  const bool was_full = !descriptors.ahead_may_take_one();
  descriptors.ahead.fetch_sub(1, std::memory_order_relaxed);
  auto held = batch.active.begin();
  while (held->get() != &r) ++held;
  if (taken) {
    taken_ = std::move(*held);
  } else {
    trim(*r.open.opened);
    spare_.push_back(std::move(*held));
  }
  batch.active.erase(held);
  // A descriptor is free: wake a worker that waited for one.
  if (idle_ != 0 && was_full) work_.notify_all();
}

// Under the lock, on the walk's thread, at a request it needs that a
// worker is reading: the walk carries out the next one nobody claimed
// meanwhile, so that on two cores one worker and the walk share the work;
// where there is none (or by hand), it waits. The caller looks again.
void read_ahead::help_or_wait(brief_lock& lock, request& r) {
  if (request* other = by_hand_ ? nullptr : next_to_claim())
    return carry_out_and_finish(lock, *other);
  wait_for(lock, r);
}

// Under the lock: returns once `r` is not being read (by hand: finished
// now, as by its worker).
void read_ahead::wait_for(brief_lock& lock, request& r) {
  if (r.state != status::claimed) return;
  if (by_hand_) return carry_out_and_finish(lock, r);
  // A warm read ends within microseconds: look again a while, without the
  // lock. The serial tells if it ended and was claimed anew meanwhile.
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
  if (!enabled()) return nullptr;  // a walk alone takes no lock
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
  // The requests made below it, still pinned to it, are those of the level
  // the walk enters; where the half does not adopt it after all, it ends
  // that level, and the directory closes once none reads in it.
  end_batch(lock, level_at(level + 1), nullptr);
  if (!r->open.children->items.empty()) {
    levels_[level + 1].swap(r->open.children);
    levels_[level + 1]->inherited = true;
  }
  drop(lock, *r, true);
  return taken_->open.opened.get();
}

void read_ahead::give_back() {
  if (!taken_) return;
  opened_directory& spent = *taken_->open.opened;
  spent.close_handle();  // released where the walk took it, closed where not
  trim(spent);
  brief_lock lock(mutex_);
  spare_.push_back(std::move(taken_));
}

bool read_ahead::end_level(std::size_t level, void (*close)(directory_handle)) {
  if (!enabled()) return false;
  brief_lock lock(mutex_);
  return level < levels_.size() && end_batch(lock, levels_[level], close);
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
  offer_work(lock);
  return true;
}

void read_ahead::take_facts(std::size_t ticket, entry_reading& reading) {
  facts_job& job = *facts_;
  const std::size_t wanted = ticket / kSlice;
  if (!(job.walk_has_slice && job.walk_slice == wanted)) {
    brief_lock lock(mutex_);
    // The slices before it are spent: their places take the next ones. One
    // still being read (the walk asked for none of its entries) keeps its
    // place until end_facts: the ring takes no more, the walk reads alone.
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
    if (r.state == status::queued) {
      job.claim(r);  // nobody did: the walk reads it itself
      carry_out_and_finish(lock, r);
    }
    while (r.state == status::claimed) help_or_wait(lock, r);
    job.walk_has_slice = true;
    if (job.issued < job.slices && idle_ != 0) work_.notify_all();
  }
  reading = job.slice(wanted).facts.readings[ticket % kSlice];
}

void read_ahead::end_facts() {
  // Asked at every directory, mostly with no facts being read: the walk's
  // thread alone sets and clears them, so it looks without the lock.
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
  for (request* r; done < most && (r = next_to_claim()); ++done) {
    if (only_claim) claimed_by_hand_.push_back(r);
    if (!only_claim) carry_out_and_finish(lock, *r);
  }
  return done;
}

std::size_t read_ahead::finish_claimed(std::size_t most) {
  std::size_t done = 0;
  brief_lock lock(mutex_);
  for (; done < most && !claimed_by_hand_.empty(); ++done)
    carry_out_and_finish(lock, *claimed_by_hand_.front());
  return done;
}

void read_ahead::run() {
  brief_lock lock(mutex_);
  while (!quit_) {
    if (request* r = next_to_claim()) {
      carry_out_and_finish(lock, *r);
    } else {
      ++idle_;
      work_.wait(lock);
      --idle_;
    }
  }
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
  // What the worker asked for below it reads in it, and may close it.
  if (end_level(level, opened->close)) opened->release();
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
  // Tickets are given only to an order the queue then reads.
  std::vector<std::uint32_t> order;
  if (enabled()) order = order_of_visits(listing, fewest);
  const bool shared = read_facts(place, listing, order);
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
  if (has_ticket(entry.listed_facts))
    take_facts(entry.listed_facts & ~kTicket, reading);
  else if (entry.listed_facts != 0)
    reading = listed_[entry.listed_facts - 1];
  return entry.listed_facts != 0;
}

}  // namespace platform
