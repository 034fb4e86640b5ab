// The walk's file-system operations on POSIX.
//
// Every entry is read relative to its open parent directory, never by its
// full path, so neither PATH_MAX nor the depth of a tree limits the walk.
// Listings are sorted by the bytes of the names, so that output is the same
// from run to run and machine to machine, as NTFS lists in name order.
#include "fs/filesystem.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "fs/extent_maps_ahead-posix.h"
#include "fs/listing_replies-posix.h"
#include "fs/long_paths-posix.h"
#include "base/owners-posix.h"
#include "fs/paths-posix.h"
#include "fs/read_ahead-posix.h"
#include "fs/stat-posix.h"
#include "base/threads.h"

namespace platform {

const native_char path_separator = '/';

const bool identities_find_cycles = true;

// One directory the walk is inside of.
struct walk_level {
  unique_fd fd;                // none while parked to save descriptors
  int deferred_error = 0;      // the directory opened but cannot be read
  bool fills_replies = false;  // its file system fills every listing reply
  file_identity identity;      // to check a reopened directory is the same
  // Where its name lies in the cursor's path, to reopen it from an ancestor.
  std::size_t name_offset = 0;
  std::size_t name_length = 0;
};

struct walk_state {
  std::vector<walk_level> levels;
  // Levels 1 up to this one are parked: the next to park is found at once.
  std::size_t parked_below = 1;
  // On the heap, as a walk must run on the smallest stacks.
  std::unique_ptr<char[]> replies;
  walk_extent_maps walk_maps;  // before the queue, whose places point here
  // Last, so that it ends first: no request still reads in a directory
  // the levels close.
  read_ahead ahead{posix_read_ahead, read_ahead_threads()};
};

namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// Levels that are never parked: the PATH, the current directory and the
// child being opened. Below that many free descriptors a walk cannot go on
// everywhere, and says so where it stops.
constexpr std::size_t kFewestOpenLevels = 3;
// Enough to spare almost every reopening in ordinary trees. Unmeasured as
// a speed: the bench tree is 11 levels deep at most, so no value from 16
// up changes its runs; 128 keeps a deep tree's walk from reopening while
// taking few descriptors beside the usual limit of 1,024.
constexpr std::size_t kMostOpenLevels = 128;
// The queue reading ahead holds this many descriptors of the same budget
// at most, and only where the walk keeps at least this many for its
// levels. Unmeasured: 64 directories bound what the queue keeps (see
// kMostEntriesKeptAhead), four windows of a level (kAheadAtALevel); 32
// levels are three times the bench tree's depth.
constexpr std::size_t kFewestLevelsBesideReadAhead = 32;
constexpr std::size_t kMostHeldAhead = 64;
// Threads reading ahead: one core fewer than the process may use, the
// walk's thread taking the last one, and a few at most. On two cores (the
// bench tree, alternated rounds): warm 1 worker 0.64 s, 2 0.71 s, 3 0.74
// s, none 0.96 s; cold 2.91 s, 2.95 s, 3.05 s (bench/README.md). Beyond
// three the walk's own thread is the bound.
constexpr std::size_t kMostReadAheadThreads = 3;
// The most a user may ask for: far more than pay anywhere measured.
constexpr unsigned long kMostSetThreads = 64;
// Smaller listings the walk reads alone: a request costs more than it
// saves there. Unmeasured against other sizes; one slice of facts.
constexpr std::size_t kFewestEntriesToShare = 32;

error_code last_error() { return static_cast<error_code>(errno); }

void close_level(walk_state& walk, walk_level& level) {
  if (!level.fd.valid()) return;
  // A worker still reading in it closes it as it ends.
  if (walk.ahead.end_level(static_cast<std::size_t>(&level - walk.levels.data()), close_ahead))
    level.fd.release();
  level.fd.reset();
  --walk.ahead.descriptors.levels;
}

bool same_directory(int fd, const walk_level& level) {
  struct stat st;
  return fstat(fd, &st) == 0 && identity_of(st) == level.identity;
}

// Closes the shallowest open directory between the PATH and the deepest
// level, never `keep`; false when there is none.
bool park_one(walk_state& walk, std::size_t keep) {
  std::size_t& parked_below = walk.parked_below;
  for (std::size_t i = parked_below; i + 1 < walk.levels.size(); ++i) {
    const bool open = walk.levels[i].fd.valid();
    if (open && i != keep) close_level(walk, walk.levels[i]);
    if (i == parked_below && !walk.levels[i].fd.valid()) ++parked_below;
    if (open && i != keep) return true;
  }
  return false;
}

// Gives a level its descriptor back.
void unpark(walk_state& walk, std::size_t index, unique_fd fd) {
  walk.levels[index].fd = std::move(fd);
  ++walk.ahead.descriptors.levels;
  walk.parked_below = std::max<std::size_t>(1, std::min(walk.parked_below, index));
}

// openat, and when the process is out of descriptors, parks an open level
// (never `keep`, the one `dir_fd` belongs to) and tries again: a lack of
// descriptors costs reopenings later, never a subtree. The budget shrinks to
// what the process turned out to have, so the next levels park in time.
unique_fd open_parking(walk_state& walk, int dir_fd, const char* name, std::size_t keep) {
  for (;;) {
    unique_fd fd(openat(dir_fd, name, kDirectoryFlags | O_NOFOLLOW));
    if (fd.valid() || (errno != EMFILE && errno != ENFILE)) return fd;
    const int failure = errno;
    descriptor_budget& budget = walk.ahead.descriptors;
    const std::size_t levels = budget.levels;
    if (levels > kFewestOpenLevels) budget.total = levels - 1 + budget.ahead;
    if (!park_one(walk, keep)) {
      errno = failure;
      return fd;
    }
  }
}

// Reopens the parked level `index` from its nearest open ancestor, by name,
// checking at each step that it is still the directory the walk entered;
// else the level keeps the reason, for the error line of its next child.
void reopen_by_name(walk_state& walk, const native_string& path, std::size_t index) {
  walk_level& target = walk.levels[index];
  std::size_t open = index;
  while (open > 0 && !walk.levels[open - 1].fd.valid()) --open;
  if (open == 0) {
    target.deferred_error = ENOENT;  // nothing to reopen from
    return;
  }
  const std::size_t ancestor_level = open - 1;
  const int ancestor = walk.levels[ancestor_level].fd.get();
  native_string name;
  unique_fd fd;  // the deepest level reopened so far
  for (std::size_t k = open; k <= index; ++k) {
    const walk_level& level = walk.levels[k];
    name.assign(path, level.name_offset, level.name_length);
    unique_fd next =
        open_parking(walk, fd.valid() ? fd.get() : ancestor, name.c_str(), ancestor_level);
    const int failure = next.valid() ? ENOENT : errno;  // ENOENT: another directory now
    if (!next.valid() || !same_directory(next.get(), level)) {
      target.deferred_error = failure;
      return;
    }
    fd = std::move(next);
  }
  unpark(walk, index, std::move(fd));
}

// Leaves the deepest level, first bringing back the descriptor of its
// parent if that was parked: through ".." of the level, or by name.
void leave_deepest(walk_state& walk, const native_string& path) {
  const std::size_t child = walk.levels.size() - 1;
  walk_level& parent = walk.levels[child - 1];
  if (parent.fd.valid() || parent.deferred_error != 0) {
    close_level(walk, walk.levels[child]);
    return;
  }
  const walk_level& deepest = walk.levels[child];
  unique_fd fd =
      deepest.fd.valid() ? open_parking(walk, deepest.fd.get(), "..", child) : unique_fd();
  close_level(walk, walk.levels[child]);
  if (fd.valid() && same_directory(fd.get(), parent)) {
    unpark(walk, child - 1, std::move(fd));
    return;
  }
  fd.reset();
  reopen_by_name(walk, path, child - 1);  // the tree moved: go by names instead
}

result<entering> enter_top(walk_state& walk, const native_string& path) {
  // A PATH longer than the system takes whole is reached from its
  // directory, opened a piece at a time.
  unique_fd holder;
  const char* name = nullptr;
  const int at = directory_holding(path, holder, name);
  if (at == -1) return {entering::no_attributes, last_error()};
  struct stat st;
  if (fstatat(at, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
    return {entering::no_attributes, last_error()};
  // A PATH that is a link to a directory is walked: the top level is
  // followed, lower levels never are.
  if (S_ISLNK(st.st_mode) && fstatat(at, name, &st, 0) != 0) return {entering::not_a_directory};
  if (!S_ISDIR(st.st_mode)) return {entering::not_a_directory};
  walk_level level;
  level.fd.reset(openat(at, name, kDirectoryFlags));
  if (!level.fd.valid() || fstat(level.fd.get(), &st) != 0) {
    level.deferred_error = errno;
    level.fd.reset();  // a directory it cannot look at is not read either
  } else {
    // Each open level takes one descriptor, and one more is kept for the
    // moment a level is reopened or a child opened before parking.
    descriptor_budget& budget = walk.ahead.descriptors;
    ++budget.levels;
    budget.most_ahead = walk.ahead.enabled() ? kMostHeldAhead : 0;
    budget.total = free_descriptors(level.fd.get(), kMostOpenLevels + 1 + budget.most_ahead);
    budget.kept_for_levels = kFewestLevelsBesideReadAhead;
  }
  level.identity = identity_of(st);
  level.fills_replies = level.fd.valid() && fills_every_reply(level.fd.get());
  walk.levels.push_back(std::move(level));
  return {entering::entered};
}

// When its entries (st_mtim) or itself (st_ctim) last changed.
change_stamp stamp_of(const struct stat& st) {
  return {st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_ctim.tv_sec, st.st_ctim.tv_nsec};
}

}  // namespace

std::size_t read_ahead_threads() {
#ifdef __linux__
  // Under a finite address-space or data limit (`ulimit -v`, `ulimit -d`),
  // what the threads take beside the walk could end a run that fits alone.
  for (const int resource : {RLIMIT_AS, RLIMIT_DATA}) {
    rlimit limit;
    if (getrlimit(resource, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) return 0;
  }
  // The user's count, where given (TWINFIND_THREADS; 0: read alone).
  if (const char* set = std::getenv("TWINFIND_THREADS")) {
    char* end = nullptr;
    const unsigned long threads = std::strtoul(set, &end, 10);
    if (end != set && *end == '\0') return std::min<unsigned long>(threads, kMostSetThreads);
  }
  // On one core a thread would only take turns with the walk.
  return std::min(kMostReadAheadThreads, online_cores() - 1);
#else
  return 0;  // reading ahead is measured on Linux alone
#endif
}

walk_cursor::walk_cursor() : state(new walk_state) {
  state->ahead.descriptors.total = kFewestOpenLevels;
}

// The levels' owners close what is still open.
walk_cursor::~walk_cursor() {}

result<entering> enter_directory(walk_cursor& cursor, const native_string& path,
                                 native_string_view name, const file_identity* identity) {
  walk_state& walk = *cursor.state;
  return walk.ahead.enter(walk.levels.size(), name, [&](opened_directory* opened) {
    return enter_directory_adopting(cursor, path, name, identity, opened);
  });
}

result<entering> enter_directory_adopting(walk_cursor& cursor, const native_string& path,
                                          native_string_view name, const file_identity* identity,
                                          opened_directory* adopted) {
  walk_state& walk = *cursor.state;
  walk.ahead.end_directory();  // the entries of the parent are all visited
  if (walk.levels.empty()) return enter_top(walk, path);
  const std::size_t parent_level = walk.levels.size() - 1;
  const walk_level& parent = walk.levels[parent_level];
  walk_level level;
  level.fills_replies = parent.fills_replies;
  level.name_offset = path.size() - name.size();
  level.name_length = name.size();
  // The name ends the path, so it ends in the path's NUL.
  const char* child = path.c_str() + level.name_offset;
  if (walk.ahead.adopt(walk.levels.size(), adopted, parent.fd.get(), child, identity)) {
    level.fd = unique_fd(static_cast<int>(adopted->release()));
    level.identity = adopted->identity;
  } else if (!parent.fd.valid()) {  // the parent could not be brought back
    const int failure = parent.deferred_error != 0 ? parent.deferred_error : ENOENT;
    return {entering::no_attributes, static_cast<error_code>(failure)};
  } else {
    struct stat st;
    level.fd = open_parking(walk, parent.fd.get(), child, parent_level);
    if (!level.fd.valid()) {
      const int failure = errno;
      if (failure == ENOENT) return {entering::no_attributes, ENOENT};
      if (failure == ENOTDIR || failure == ELOOP) return {entering::not_a_directory};
      // Attributes first: a directory that cannot even be looked at (its
      // parent lets it be listed but not searched) is told apart from one
      // that is there but cannot be read.
      if (fstatat(parent.fd.get(), child, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return {entering::no_attributes, last_error()};
      if (!S_ISDIR(st.st_mode)) return {entering::not_a_directory};
      level.deferred_error = failure;
    } else if (fstat(level.fd.get(), &st) != 0) {
      return {entering::no_attributes, last_error()};
    } else if (identity && !(identity_of(st) == *identity)) {
      // Another directory stands where the listing saw this one (the tree
      // moved): its contents are not the ones asked for, and the one asked
      // for is no longer there.
      return {entering::no_attributes, ENOENT};
    }
    level.identity = identity_of(st);
  }
  if (level.fd.valid()) {
    descriptor_budget& budget = walk.ahead.descriptors;
    ++budget.levels;
    if (budget.levels > budget.room_for_levels(kFewestOpenLevels, kMostOpenLevels))
      park_one(walk, parent_level);
  }
  walk.levels.push_back(std::move(level));
  return {entering::entered};
}

bool current_identity(const walk_cursor& cursor, file_identity& identity) {
  const walk_state& walk = *cursor.state;
  if (walk.levels.empty()) return false;
  identity = walk.levels.back().identity;
  return !(identity == file_identity());
}

void leave_directory(walk_cursor& cursor) {
  walk_state& walk = *cursor.state;
  walk.ahead.end_directory();  // before the descriptor closes
  if (walk.levels.empty()) return;
  if (walk.levels.size() > 1) {
    leave_deepest(walk, cursor.path);
  } else {
    close_level(walk, walk.levels.back());
  }
  walk.levels.pop_back();
  walk.parked_below = std::max<std::size_t>(1, std::min(walk.parked_below, walk.levels.size()));
}

walk_extent_maps& extent_maps_of(walk_cursor& cursor) { return cursor.state->walk_maps; }

directory_place current_place(const walk_cursor& cursor) {
  const walk_state& walk = *cursor.state;
  directory_place place;
  if (walk.levels.empty() || !walk.levels.back().fd.valid()) return place;
  const walk_level& level = walk.levels.back();
  place.handle = level.fd.get();
  place.volume = level.identity.volume;
  place.fills_replies = level.fills_replies;
  place.walk_maps = &walk.walk_maps;
  return place;
}

namespace {

// Appends the names of the open directory `fd`, each NUL-ended to be handed
// to the system as it is, until the end or until more than `most` are
// listed (`stopped`, the reply at hand listed whole). A listing that fails
// part way ends there: the entries read so far are walked, as when the
// system stops returning entries. `inodes`, when not null, gets each inode.
replies_read append_names(int fd, bool fills_replies, char* replies, directory_listing& listing,
                          std::size_t most, std::vector<std::uint64_t>* inodes) {
  const auto append = [&](std::uint64_t inode, unsigned char type, const char* name) {
    listed_entry entry;
    entry.name_offset = listing.names.size();
    entry.name_length = static_cast<std::uint16_t>(std::strlen(name));
    entry.is_directory = type == DT_DIR;
    entry.is_regular = type == DT_REG;
    // A link may lead to a directory, and some file systems tell no type:
    // the listing reads those, to know where they belong.
    if (type == DT_LNK || type == DT_UNKNOWN) entry.listed_facts = kUnreadKind;
    listing.names.append(name, entry.name_length + std::size_t{1});
    listing.entries.push_back(entry);
    if (inodes) inodes->push_back(inode);
    return listing.entries.size() <= most;
  };
#ifdef __linux__
  return read_replies(fd, fills_replies, replies, append);
#else
  (void)fills_replies;
  (void)replies;
  // A stream of its own, on a copy: the level keeps its descriptor.
  const unique_dir dir{unique_fd(dup(fd))};
  if (!dir) return replies_read::failed;
  rewinddir(dir.get());
  while (const struct dirent* record = readdir(dir.get())) {
    if (!is_dot_or_dot_dot(record->d_name) && !append(record->d_ino, DT_UNKNOWN, record->d_name))
      return replies_read::stopped;
  }
  return replies_read::whole;
#endif
}

}  // namespace

result<> list_directory(walk_cursor& cursor, const native_string& path) {
  (void)path;
  walk_state& walk = *cursor.state;
  directory_listing& listing = cursor.listing;
  const bool adopted = walk.ahead.start_listing(listing);
  if (walk.levels.empty()) return failed(EBADF);  // no directory entered
  const walk_level& level = walk.levels.back();
  if (!level.fd.valid()) return failed(static_cast<error_code>(level.deferred_error));
  if (!adopted) {
    if (!walk.replies) walk.replies.reset(new char[kReplySize]);
    const replies_read read = append_names(level.fd.get(), level.fills_replies, walk.replies.get(),
                                           listing, static_cast<std::size_t>(-1), nullptr);
    if (read == replies_read::failed && listing.entries.empty()) return failed(last_error());
    sort_by_name(listing);
  }
  const directory_place place = current_place(cursor);
  walk.ahead.read_listed(place, listing, kFewestEntriesToShare);
  walk.ahead.open_subdirectories(walk.levels.size() - 1, place, listing);
  return succeeded();
}

result<examination> examine_entry(walk_cursor& cursor, const native_string& path,
                                  const listed_entry& entry, entry_facts& facts) {
  walk_state& walk = *cursor.state;
  entry_reading reading;
  if (!walk.ahead.reading_of(entry, reading)) {
    if (walk.levels.empty() || !walk.levels.back().fd.valid()) return examine_path(path, facts);
    const walk_level& level = walk.levels.back();
    // The name ends the path, so it ends in the path's NUL. Every fact is
    // the reading's, the directory bit too: an entry that changed kind
    // since the listing is what the reading found.
    reading = read_reading(level.fd.get(), path.c_str() + (path.size() - entry.name_length),
                           level.identity.volume);
  }
  facts = reading.facts;
  walk.walk_maps.note_examined(entry, reading);
  return reading.examined;
}

// What a worker of the queue does, on its own thread.
bool open_ahead(const directory_place& parent, const native_string& name, const entry_facts* seen,
                opened_directory& opened) {
  const int parent_fd = static_cast<int>(parent.handle);
  // What the walk would enter, decided before anything is opened: a mount
  // point (another file system, a bind mount, an automount point) is never
  // opened, as opening it may wait for good on a mount that does not answer
  // where the walk alone only reads its attributes and passes it by. The
  // reading made with the parent's listing serves where there is one:
  // openat2 refuses a mount made since, and fstat a directory that took the
  // name since.
  entry_facts facts;
  if (seen) {
    facts = *seen;
  } else if (!read_entry(parent_fd, name.c_str(), parent.volume, facts).outcome) {
    return false;
  }
  if (!opens_ahead(facts, parent)) return false;
  unique_fd fd = open_below(parent_fd, name.c_str(), kDirectoryFlags);
  struct stat st;
  if (!fd.valid() || fstat(fd.get(), &st) != 0 || !(identity_of(st) == facts.identity))
    return false;
  opened.start_afresh(facts.identity, stamp_of(st));
  // Buffers of this request alone, not kept by the thread: the queue's
  // records hold all it keeps, within its budget.
  const std::unique_ptr<char[]> replies(new char[kReplySize]);
  std::vector<std::uint64_t> inodes;
  std::vector<std::uint32_t> by_inode;
  directory_listing& listing = opened.listing;
  const replies_read read = append_names(fd.get(), parent.fills_replies, replies.get(), listing,
                                         kMostEntriesKeptAhead, &inodes);
  // A failure the walk meets and reports; a directory too large it lists.
  if (read != replies_read::whole) return false;
  // Read in the order of the inodes, which is the order of their blocks.
  by_inode.resize(listing.entries.size());
  for (std::size_t i = 0; i < by_inode.size(); ++i) by_inode[i] = static_cast<std::uint32_t>(i);
  std::sort(by_inode.begin(), by_inode.end(),
            [&inodes](std::uint32_t a, std::uint32_t b) { return inodes[a] < inodes[b]; });
  opened.readings.resize(listing.entries.size());
  directory_place place = parent;
  place.handle = fd.get();
  posix_read_ahead.read_facts(place, listing, by_inode.data(), by_inode.size(),
                              opened.readings.data(), maps_for(opened, place));
  keep_readings(opened, by_inode.data());
  sort_by_name(listing);
  opened.handle = fd.release();
  opened.close = close_ahead;
  return true;
}

namespace {

void read_facts_ahead(const directory_place& place, const directory_listing& listing,
                      const std::uint32_t* order, std::size_t count, entry_reading* readings,
                      extent_maps* maps) {
  const int dir_fd = static_cast<int>(place.handle);
  const volume_extents* volume = maps ? maps_files_in(place) : nullptr;
  if (volume) maps->start_afresh();
  for (std::size_t i = 0; i < count; ++i) {
    const listed_entry& entry = listing.entries[order[i]];
    const char* name = listing.names.c_str() + entry.name_offset;
    if (volume && entry.is_regular && read_and_map(dir_fd, name, *volume, place.volume,
                                                   readings[i], *maps))
      continue;
    readings[i] = read_reading(dir_fd, name, place.volume);
  }
}

bool look_at(directory_handle parent, const char* name, file_identity& identity,
             change_stamp& stamp) {
  struct stat st;
  if (fstatat(static_cast<int>(parent), name, &st, AT_SYMLINK_NOFOLLOW | kNoAutomount) != 0)
    return false;
  identity = identity_of(st);
  stamp = stamp_of(st);
  return true;
}

}  // namespace

void close_ahead(directory_handle handle) { close(static_cast<int>(handle)); }

const read_ahead_operations posix_read_ahead = {open_ahead, read_facts_ahead, look_at};

result<examination> examine_path(const native_string& path, entry_facts& facts) {
  // A path longer than the system takes whole is read from its directory,
  // reached a piece at a time. That directory's device tells a mount point
  // where the kernel does not flag one.
  unique_fd holder;
  const char* name = nullptr;
  const int at = directory_holding(path, holder, name);
  if (at == -1) return {examination::not_found, last_error()};
  struct stat st;
  const bool parent_read =
      at == AT_FDCWD ? stat(directory_part(path).c_str(), &st) == 0 : fstat(at, &st) == 0;
  const std::uint64_t parent_device = parent_read ? static_cast<std::uint64_t>(st.st_dev) : 0;
  const result<> read = read_entry(at, name, parent_device, facts);
  if (!read.outcome) return {examination::not_found, read.error};
  return {examination::examined};
}

}  // namespace platform
