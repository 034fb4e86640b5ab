// The walk's file-system operations on POSIX.
//
// Every entry is read relative to its open parent directory, never by its
// full path, so neither PATH_MAX nor the depth of a tree limits the walk.
// Listings are sorted by the bytes of the names, so that output is the same
// from run to run and machine to machine, as NTFS lists in name order.
#include "platform/filesystem.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/directory_prefetch-posix.h"
#include "platform/listing_replies-posix.h"
#include "platform/long_paths-posix.h"
#include "platform/owners-posix.h"
#include "platform/paths-posix.h"
#include "platform/stat-posix.h"
#include "platform/stat_prefetch-posix.h"
#include "platform/subdirectory_prefetch-posix.h"

#ifdef __linux__
#include <linux/magic.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#endif

namespace platform {

const native_char path_separator = '/';

const bool identities_find_cycles = true;

// One directory the walk is inside of.
struct walk_level {
  unique_fd fd;                // none while parked to save descriptors
  int deferred_error = 0;      // the directory opened but cannot be read
  bool fills_replies = false;  // its file system fills every listing reply
  std::uint64_t device = 0;    // to check a reopened directory is the same
  std::uint64_t inode = 0;
  std::int64_t changed_at = 0;  // change_time() when entered
  // Where its name lies in the cursor's path, to reopen it from an ancestor.
  std::size_t name_offset = 0;
  std::size_t name_length = 0;
};

// What the listing read of an entry whose kind it could not tell otherwise.
struct listed_facts {
  result<examination> examined{examination::not_found, 0};
  entry_facts facts;
};

struct walk_state {
  std::vector<walk_level> levels;
  std::size_t open_levels = 0;  // levels holding an open descriptor
  std::size_t open_budget = 0;  // how many may
  // Every level from 1 up to this one is parked, so the next to park is
  // found without looking at them again.
  std::size_t parked_below = 1;
  // The buffer for the system's listing replies: on the heap, as a walk
  // must run on the smallest stacks.
  std::unique_ptr<char[]> replies;
  // The facts read while listing the current directory (listed_entry).
  std::vector<listed_facts> listed;
  // The length of the PATH in the walk's path: what follows is the path
  // below it.
  std::size_t top_length = 0;
  // The threads reading directories ahead of the walk, on a cold cache;
  // after the levels, so that they stop before the PATH's descriptor
  // closes.
  directory_prefetch read_ahead;
  directory_prefetch::directory_read taken;  // what the walk took of theirs
  // The helper reading the subdirectories the walk enters next, where it
  // has a descriptor of its own; after the levels, as the threads above.
  subdirectory_prefetch subdirectories;
  bool lends_to_subdirectories = false;
  // The subdirectories of the directory listed last (at `listed_level`)
  // that the walk will enter, each name followed by a NUL, until it enters
  // the first one.
  native_string to_enter;
  std::size_t to_enter_count = 0;
  std::size_t listed_level = 0;
  // The helpers reading the entries of a large listing ahead of the walk;
  // last, so that they stop before the descriptors close.
  stat_prefetch prefetch;
};

namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// Levels that are never parked: the PATH, the current directory and the
// child being opened. Below that many free descriptors a walk cannot go on
// everywhere, and says so where it stops.
constexpr std::size_t kFewestOpenLevels = 3;
// Enough to spare almost every reopening in ordinary trees.
constexpr std::size_t kMostOpenLevels = 128;
// The threads reading ahead hold one descriptor each, and only where the
// walk keeps at least this many for its own levels.
constexpr std::size_t kFewestLevelsBesideReadAhead = 32;
constexpr std::size_t kMostLentToReadAhead = 24;

bool out_of_descriptors(int error) { return error == EMFILE || error == ENFILE; }

error_code last_error() { return static_cast<error_code>(errno); }

// How many more descriptors the process can open, up to `most`: counted by
// duplicating `fd` until the system refuses. The limit alone says nothing
// of the descriptors the program inherited.
std::size_t free_descriptors(int fd, std::size_t most) {
  int copies[kMostOpenLevels + 1 + kMostLentToReadAhead];
  most = std::min(most, sizeof copies / sizeof copies[0]);
  std::size_t count = 0;
  while (count < most) {
    const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) break;
    copies[count++] = copy;
  }
  for (std::size_t i = 0; i < count; ++i) close(copies[i]);
  return count;
}

void close_level(walk_state& walk, walk_level& level) {
  if (!level.fd.valid()) return;
  walk.subdirectories.end(static_cast<std::size_t>(&level - walk.levels.data()));
  level.fd.reset();
  --walk.open_levels;
}

bool same_directory(int fd, const walk_level& level) {
  struct stat st;
  return fstat(fd, &st) == 0 && static_cast<std::uint64_t>(st.st_dev) == level.device &&
         static_cast<std::uint64_t>(st.st_ino) == level.inode;
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
  ++walk.open_levels;
  walk.parked_below = std::max<std::size_t>(1, std::min(walk.parked_below, index));
}

// openat, and when the process is out of descriptors, parks an open level
// (never `keep`, the one `dir_fd` belongs to) and tries again: a lack of
// descriptors costs reopenings later, never a subtree. The budget shrinks to
// what the process turned out to have, so the next levels park in time.
unique_fd open_parking(walk_state& walk, int dir_fd, const char* name, std::size_t keep) {
  for (;;) {
    unique_fd fd(openat(dir_fd, name, kDirectoryFlags | O_NOFOLLOW));
    if (fd.valid() || !out_of_descriptors(errno)) return fd;
    const int failure = errno;
    if (walk.open_levels > kFewestOpenLevels) walk.open_budget = walk.open_levels - 1;
    if (!park_one(walk, keep)) {
      errno = failure;
      return fd;
    }
  }
}

// The name of `level`, from the walk's path, as the system takes it.
const char* level_name(const native_string& path, const walk_level& level, native_string& storage) {
  storage.assign(path, level.name_offset, level.name_length);
  return storage.c_str();
}

// Reopens the parked level `index` from its nearest open ancestor, by name,
// checking at each step that it is still the directory the walk entered.
// When that fails, the level keeps the reason, for the error line of its
// next subdirectory.
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
    unique_fd next = open_parking(walk, fd.valid() ? fd.get() : ancestor,
                                  level_name(path, level, name), ancestor_level);
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

// Whether the directory's file system hands out directory entries until a
// listing reply is full, so that a reply with room left for the longest
// entry is the last one. Those that are known to (the common local ones)
// save every directory one call; all others are read until the empty reply.
// The walk never crosses into another file system, so the answer holds for
// the whole tree below a PATH.
bool fills_every_reply(int fd) {
#ifdef __linux__
  struct statfs info;
  if (fstatfs(fd, &info) != 0) return false;
  switch (static_cast<unsigned long>(info.f_type)) {
    case EXT4_SUPER_MAGIC:  // ext2, ext3 and ext4
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case TMPFS_MAGIC:
      return true;
  }
#else
  (void)fd;
#endif
  return false;
}

result<entering> enter_top(walk_state& walk, const native_string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return {entering::no_attributes, last_error()};
  // A PATH that is a link to a directory is walked: the top level is
  // followed, lower levels never are.
  if (S_ISLNK(st.st_mode) && stat(path.c_str(), &st) != 0) return {entering::not_a_directory};
  if (!S_ISDIR(st.st_mode)) return {entering::not_a_directory};
  walk_level level;
  level.fd.reset(open(path.c_str(), kDirectoryFlags));
  if (!level.fd.valid() || fstat(level.fd.get(), &st) != 0) {
    level.deferred_error = errno;
    level.fd.reset();  // a directory it cannot look at is not read either
  } else {
    ++walk.open_levels;
  }
  level.device = static_cast<std::uint64_t>(st.st_dev);
  level.inode = static_cast<std::uint64_t>(st.st_ino);
  level.changed_at = change_time(st);
  level.fills_replies = level.fd.valid() && fills_every_reply(level.fd.get());
  // Each open level takes one descriptor, and one more is kept for the
  // moment a level is reopened or a child opened before parking. The
  // helper reading subdirectories and the threads reading ahead get theirs
  // (one, and two each) out of the same count, never out of what the walk
  // needs.
  if (level.fd.valid()) {
    const std::size_t wanted =
        std::min(directory_prefetch::descriptors_wanted() + 1, kMostLentToReadAhead);
    const std::size_t free = free_descriptors(level.fd.get(), kMostOpenLevels + 1 + wanted);
    const std::size_t lent = free >= wanted + kFewestLevelsBesideReadAhead ? wanted : 0;
    walk.open_budget = std::max(kFewestOpenLevels, free - lent);
    walk.open_budget = std::min(walk.open_budget, kMostOpenLevels);
    walk.lends_to_subdirectories = lent != 0;
    walk.read_ahead.begin(level.fd.get(), level.device, lent == 0 ? 0 : lent - 1);
  }
  walk.top_length = path.size();
  walk.levels.push_back(std::move(level));
  return {entering::entered};
}

bool is_listed_directory(const struct stat& st, const file_identity* identity) {
  return !identity || (static_cast<std::uint64_t>(st.st_dev) == identity->volume &&
                       static_cast<std::int64_t>(st.st_ino) == identity->key);
}

// Before the walk enters the first subdirectory of the directory it listed
// last: gives those it will enter to the helper, unless the threads read
// whole directories ahead already (a cold tree).
void hand_over_subdirectories(walk_state& walk, std::size_t parent_level) {
  if (walk.to_enter_count == 0) return;
  if (walk.listed_level == parent_level && !walk.read_ahead.running() &&
      subdirectory_prefetch::worth_it(walk.to_enter_count)) {
    const walk_level& parent = walk.levels[parent_level];
    walk.subdirectories.begin(parent_level, parent.fd.get(), parent.device, parent.fills_replies,
                              walk.to_enter, walk.to_enter_count);
  }
  walk.to_enter.clear();
  walk.to_enter_count = 0;
}

}  // namespace

walk_cursor::walk_cursor() : state(new walk_state) { state->open_budget = kFewestOpenLevels; }

// The levels' owners close what is still open.
walk_cursor::~walk_cursor() {}

result<entering> enter_directory(walk_cursor& cursor, const native_string& path,
                                 native_string_view name, const file_identity* identity) {
  walk_state& walk = *cursor.state;
  walk.prefetch.stop();  // before a descriptor may be parked
  if (walk.levels.empty()) return enter_top(walk, path);
  const std::size_t parent_level = walk.levels.size() - 1;
  const walk_level& parent = walk.levels[parent_level];
  if (!parent.fd.valid()) {  // the parent could not be brought back
    const int failure = parent.deferred_error != 0 ? parent.deferred_error : ENOENT;
    return {entering::no_attributes, static_cast<error_code>(failure)};
  }
  hand_over_subdirectories(walk, parent_level);
  walk_level level;
  level.fills_replies = parent.fills_replies;
  level.name_offset = path.size() - name.size();
  level.name_length = name.size();
  // The name ends the path, so it ends in the path's NUL.
  const char* child = path.c_str() + level.name_offset;
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
  } else if (!is_listed_directory(st, identity)) {
    // Another directory stands where the listing saw this one (the tree
    // moved): its contents are not the ones asked for, and the one asked
    // for is no longer there.
    return {entering::no_attributes, ENOENT};
  }
  level.device = static_cast<std::uint64_t>(st.st_dev);
  level.inode = static_cast<std::uint64_t>(st.st_ino);
  level.changed_at = change_time(st);
  if (level.fd.valid()) {
    ++walk.open_levels;
    if (walk.open_levels > walk.open_budget) park_one(walk, parent_level);
  }
  walk.levels.push_back(std::move(level));
  return {entering::entered};
}

bool current_identity(const walk_cursor& cursor, file_identity& identity) {
  const walk_state& walk = *cursor.state;
  if (walk.levels.empty()) return false;
  const walk_level& level = walk.levels.back();
  if (level.device == 0 && level.inode == 0) return false;
  identity.volume = level.device;
  identity.key = static_cast<std::int64_t>(level.inode);
  return true;
}

void leave_directory(walk_cursor& cursor) {
  walk_state& walk = *cursor.state;
  walk.prefetch.stop();  // before the descriptor closes
  if (walk.levels.empty()) return;
  if (walk.levels.size() > 1) {
    leave_deepest(walk, cursor.path);
  } else {
    walk.read_ahead.stop();  // before the PATH's descriptor closes
    close_level(walk, walk.levels.back());
  }
  walk.levels.pop_back();
  walk.parked_below =
      std::max<std::size_t>(1, std::min(walk.parked_below, walk.levels.size()));
}

namespace {

// Marks an entry to read while listing, until it is read.
constexpr std::uint32_t kToRead = 0xFFFFFFFFu;
// Marks an entry that the helpers read ahead: the rest is its ticket.
constexpr std::uint32_t kTicket = 0x80000000u;

// Appends every name of the directory but "." and "..", each followed by a
// NUL so it can be handed to the system as it is. A listing that fails part
// way ends there: the entries read so far are walked, as when the system
// stops returning entries.
result<> read_names(int fd, bool fills_replies, walk_state& walk, directory_listing& listing) {
#ifdef __linux__
  if (!walk.replies) walk.replies.reset(new char[kReplySize]);
  const auto append = [&listing](std::uint64_t, unsigned char type, const char* name) {
    listed_entry entry;
    entry.name_offset = listing.names.size();
    entry.name_length = static_cast<std::uint16_t>(std::strlen(name));
    entry.is_directory = type == DT_DIR;
    // A link may lead to a directory, and some file systems tell no type:
    // the listing reads those, to know where they belong.
    if (type == DT_LNK || type == DT_UNKNOWN) entry.listed_facts = kToRead;
    listing.names.append(name, entry.name_length + std::size_t{1});
    listing.entries.push_back(entry);
    return true;
  };
  const replies_read read = read_replies(fd, fills_replies, walk.replies.get(), append);
  return read == replies_read::failed && listing.entries.empty() ? failed(last_error()) : succeeded();
#else
  (void)fills_replies;
  (void)walk;
  // A stream of its own, on a copy: the level keeps its descriptor.
  const unique_dir dir{unique_fd(dup(fd))};
  if (!dir) return failed(last_error());
  rewinddir(dir.get());
  while (const struct dirent* record = readdir(dir.get())) {
    const char* name = record->d_name;
    if (is_dot_or_dot_dot(name)) continue;
    listed_entry entry;
    entry.name_offset = listing.names.size();
    entry.name_length = static_cast<std::uint16_t>(std::strlen(name));
    entry.listed_facts = kToRead;  // no type to tell directories by
    listing.names.append(name, entry.name_length + std::size_t{1});
    listing.entries.push_back(entry);
  }
  return succeeded();
#endif
}

}  // namespace

namespace {

// The path of the current directory below the walk's PATH: empty for the
// PATH itself, never starting with a separator.
native_string_view below_top(const walk_state& walk, const native_string& path) {
  native_string_view below(path);
  below.remove_prefix(std::min(walk.top_length, below.size()));
  while (!below.empty() && below.front() == '/') below.remove_prefix(1);
  return below;
}

// Lists the current directory from what a thread reading ahead read of it:
// the same names, and the facts of each entry kept as those read while
// listing are, as the walk itself would have read them.
void use_read_ahead(walk_state& walk, directory_listing& listing) {
  directory_prefetch::directory_read& read = walk.taken;
  listing.names.swap(read.names);
  listing.entries.reserve(read.entries.size());
  walk.listed.reserve(read.entries.size());
  for (const directory_prefetch::entry_read& got : read.entries) {
    listed_entry entry;
    entry.name_offset = got.name_offset;
    entry.name_length = got.name_length;
    entry.is_directory = got.type == DT_DIR;
    walk.listed.emplace_back();
    listed_facts& kept = walk.listed.back();
    entry.listed_facts = static_cast<std::uint32_t>(walk.listed.size());
    kept.facts = got.facts;
    if (got.error != 0) {
      kept.examined = {examination::not_found, got.error};
    } else if (got.type == DT_LNK || got.type == DT_UNKNOWN) {
      // As list_directory reads these: they go where their facts say.
      kept.examined = {examination::examined, 0};
      entry.is_directory = got.facts.is_directory;
      entry.is_reparse = got.facts.kind != entry_kind::normal;
    } else {
      // As examine_entry reads the others: every fact from the one reading,
      // the directory bit too, whatever the listing said.
      kept.examined = {examination::examined, 0};
    }
    listing.entries.push_back(entry);
  }
}

// Gives the entries to read to the helpers when the listing is large enough
// to be worth it: first those whose kind the listing could not tell, which
// the walk takes at once (their facts decide where it visits them), then
// the others in the order it visits them (files, then directories, each in
// listing order). Returns whether it did.
bool hand_over_to_helpers(walk_state& walk, const walk_level& level,
                          directory_listing& listing) {
  std::size_t left = 0;
  for (const listed_entry& entry : listing.entries)
    left += entry.listed_facts == 0 || entry.listed_facts == kToRead;
  if (!walk.prefetch.worth_it(left)) return false;
  std::vector<std::uint32_t> order;
  order.reserve(left);
  for (std::size_t i = 0; i < listing.entries.size(); ++i) {
    if (listing.entries[i].listed_facts == kToRead) order.push_back(static_cast<std::uint32_t>(i));
  }
  for (const bool directories : {false, true}) {
    for (std::size_t i = 0; i < listing.entries.size(); ++i) {
      listed_entry& entry = listing.entries[i];
      if (entry.listed_facts != 0 || entry.is_directory != directories) continue;
      entry.listed_facts = kTicket | static_cast<std::uint32_t>(order.size());
      order.push_back(static_cast<std::uint32_t>(i));
    }
  }
  walk.prefetch.start(level.fd.get(), level.device, listing, order);
  return true;
}

// Lists the current directory from what a reader ahead of the walk read of
// it, when one did: the threads, or the helper reading subdirectories. Only
// a read of the directory the walk holds open, unchanged since it was read,
// is taken.
bool take_read_ahead(walk_state& walk, const native_string& path, native_string_view below,
                     const walk_level& level) {
  if (walk.read_ahead.take(below, level.device, level.inode, level.changed_at, walk.taken))
    return true;
  if (walk.levels.size() < 2) return false;
  const native_string_view name(path.data() + level.name_offset, level.name_length);
  return walk.subdirectories.take(walk.levels.size() - 2, name, walk.taken) &&
         walk.taken.device == level.device && walk.taken.inode == level.inode &&
         walk.taken.changed_at == level.changed_at;
}

}  // namespace

result<> list_directory(walk_cursor& cursor, const native_string& path,
                        directory_listing& listing) {
  cursor.state->prefetch.stop();  // before the names change
  listing.clear();
  walk_state& walk = *cursor.state;
  walk.to_enter.clear();
  walk.to_enter_count = 0;
  if (walk.levels.empty()) return failed(EBADF);  // no directory entered
  const walk_level& level = walk.levels.back();
  if (!level.fd.valid()) return failed(static_cast<error_code>(level.deferred_error));
  walk.listed.clear();
  walk.read_ahead.listing_started();
  const native_string_view below = below_top(walk, path);
  walk.listed_level = walk.levels.size() - 1;
  if (take_read_ahead(walk, path, below, level)) {
    use_read_ahead(walk, listing);
  } else {
    const result<> read = read_names(level.fd.get(), level.fills_replies, walk, listing);
    if (!read.outcome) return read;
  }
  const char* names = listing.names.data();
  std::sort(listing.entries.begin(), listing.entries.end(),
            [names](const listed_entry& a, const listed_entry& b) {
              return native_string_view(names + a.name_offset, a.name_length) <
                     native_string_view(names + b.name_offset, b.name_length);
            });
  // The entries whose kind the listing could not tell are read now, by the
  // helpers beside the walk where they take the listing (the first
  // tickets); every other one when it is visited.
  const bool handed_over = hand_over_to_helpers(walk, level, listing);
  std::size_t ticket = 0;
  for (listed_entry& entry : listing.entries) {
    if (entry.listed_facts != kToRead) continue;
    walk.listed.emplace_back();
    listed_facts& read = walk.listed.back();
    entry.listed_facts = static_cast<std::uint32_t>(walk.listed.size());
    const result<> read_entry_facts =
        handed_over ? walk.prefetch.take(ticket++, read.facts)
                    : read_entry(level.fd.get(), names + entry.name_offset, level.device, read.facts);
    if (!read_entry_facts.outcome) {
      read.examined = {examination::not_found, read_entry_facts.error};
      continue;
    }
    read.examined = {examination::examined, 0};
    entry.is_directory = read.facts.is_directory;
    entry.is_reparse = read.facts.kind != entry_kind::normal;
  }
  walk.read_ahead.listed(below, listing);
  return succeeded();
}

namespace {

// The facts of a listed entry: from the listing, from a helper, or read now.
result<examination> examine_listed(walk_state& walk, const native_string& path,
                                   const listed_entry& entry, entry_facts& facts) {
  if (entry.listed_facts & kTicket && entry.listed_facts != kToRead) {
    const result<> read = walk.prefetch.take(entry.listed_facts & ~kTicket, facts);
    if (!read.outcome) return {examination::not_found, read.error};
    return {examination::examined, 0};
  }
  if (entry.listed_facts != 0) {
    const listed_facts& read = walk.listed[entry.listed_facts - 1];
    facts = read.facts;
    return read.examined;
  }
  if (walk.levels.empty() || !walk.levels.back().fd.valid()) return examine_path(path, facts);
  const walk_level& level = walk.levels.back();
  // The name ends the path, so it ends in the path's NUL.
  const char* name = path.c_str() + (path.size() - entry.name_length);
  const result<> read = read_entry(level.fd.get(), name, level.device, facts);
  if (!read.outcome) return {examination::not_found, read.error};
  // Every fact is the reading's, the directory bit too: an entry that
  // changed kind since the listing (the tree moved) is what the reading
  // found, and the scan above believes the reading.
  return {examination::examined, 0};
}

}  // namespace

result<examination> examine_entry(walk_cursor& cursor, const native_string& path,
                                  const listed_entry& entry, entry_facts& facts) {
  walk_state& walk = *cursor.state;
  const result<examination> examined = examine_listed(walk, path, entry, facts);
  // The subdirectories the walk will enter, for the helper. The name ends
  // the path.
  if (entry.is_directory && examined.outcome == examination::examined && facts.is_directory &&
      facts.kind == entry_kind::normal && walk.lends_to_subdirectories) {
    walk.to_enter.append(path, path.size() - entry.name_length, entry.name_length);
    walk.to_enter.push_back('\0');
    ++walk.to_enter_count;
  }
  return examined;
}

result<examination> examine_path(const native_string& path, entry_facts& facts) {
  // The device of the directory holding it tells a mount point where the
  // kernel does not flag one.
  std::uint64_t parent_device = 0;
  struct stat st;
  if (path.size() < PATH_MAX) {
    if (stat(directory_part(path).c_str(), &st) == 0)
      parent_device = static_cast<std::uint64_t>(st.st_dev);
    const result<> read = read_entry(AT_FDCWD, path.c_str(), parent_device, facts);
    if (!read.outcome) return {examination::not_found, read.error};
    return {examination::examined};
  }
  // Longer than the system takes whole: read from its directory, reached a
  // piece at a time.
  const char* name = nullptr;
  const unique_fd parent = open_parent(path, name);
  if (!parent.valid()) return {examination::not_found, last_error()};
  if (fstat(parent.get(), &st) == 0) parent_device = static_cast<std::uint64_t>(st.st_dev);
  const result<> read = read_entry(parent.get(), name, parent_device, facts);
  if (!read.outcome) return {examination::not_found, read.error};
  return {examination::examined};
}

}  // namespace platform
