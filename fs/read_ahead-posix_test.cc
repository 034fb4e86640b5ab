// The queue reading ahead of the walk on a real disk: what a worker opens
// (one name below a pinned directory, never through a link, never onto
// another file system), that a directory too large to hold is left to the
// walk and a changed one listed again, and that requests still in flight when a level, a listing or the
// walk ends leave no descriptor open and no reading of freed memory (the
// last under the debug and thread-sanitizer builds).
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "base/threads.h"
#include "fs/read_ahead-posix.h"
#include "fs/stat-posix.h"
#include "testing/child_check_test_util-posix.h"
#include "testing/mount_namespace_test_util-posix.h"
#include "testing/read_ahead_test_util.h"
#include "testing/test_tree.h"
#include "walk/tree_walk.h"

namespace {

using platform::directory_listing;
using platform::entering;
using platform::opened_directory;
using platform::walk_cursor;

// The descriptors this process holds.
int open_descriptors() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (const dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
    closedir(dir);
  }
  return count;
}

platform::file_identity identity_of(const std::string& path) {
  struct stat st;
  platform::file_identity identity;
  if (lstat(path.c_str(), &st) == 0) {
    identity.volume = static_cast<std::uint64_t>(st.st_dev);
    identity.key = static_cast<std::int64_t>(st.st_ino);
  }
  return identity;
}

std::vector<std::string> names_of(const directory_listing& listing) {
  std::vector<std::string> names;
  for (const platform::listed_entry& entry : listing.entries) names.emplace_back(listing.name(entry));
  return names;
}

// Where the trees of thousands of entries are made: a file system in
// memory where the system has one, as making them on a busy disk takes
// seconds; the temporary directory otherwise.
std::filesystem::path roomy_parent() {
  if (access("/dev/shm", W_OK | X_OK) == 0) return "/dev/shm";
  return std::filesystem::temp_directory_path();
}

// Makes the directory `dir` of the tree with `count` empty files f0, f1...
// in it, with a call each: large directories in little time.
void many_files(const test_tree& tree, const std::string& dir, int count) {
  tree.directory(dir);
  const std::string prefix = tree.path(dir) + "/f";
  for (int i = 0; i < count; ++i) {
    const int fd = open((prefix + std::to_string(i)).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    close(fd);
  }
}

// Enters and lists `top` with `cursor`, as the walk enters its PATH.
bool enter_and_list(walk_cursor& cursor, const std::string& top) {
  cursor.path = top;
  return platform::enter_directory(cursor, cursor.path, {}, nullptr).outcome == entering::entered &&
         platform::list_directory(cursor, cursor.path).outcome;
}

// Each entry of a subdirectory and its inode, as the walk alone reads them
// with `cursor`, standing in its parent.
using visits = std::vector<std::pair<std::string, std::int64_t>>;

visits read_alone(walk_cursor& cursor,
                  const std::string& name) {
  visits read;
  const std::size_t parent_length = cursor.path.size();
  cursor.path += "/" + name;
  if (platform::enter_directory(cursor, cursor.path, name, nullptr).outcome == entering::entered) {
    if (platform::list_directory(cursor, cursor.path).outcome) {
      platform::entry_facts facts;
      for (const platform::listed_entry& entry : cursor.listing.entries) {
        const std::string entry_name(cursor.listing.name(entry));
        const bool examined =
            platform::examine_entry(cursor, cursor.path + "/" + entry_name, entry, facts).outcome ==
            platform::examination::examined;
        read.emplace_back(entry_name, examined ? facts.identity.key : -1);
      }
    }
    platform::leave_directory(cursor);
  }
  cursor.path.resize(parent_length);
  return read;
}

// A worker lists a directory whole, with the facts of every entry, up to
// the most the queue holds; a larger one it leaves to the walk, holding
// nothing of it. The walk lists that one whole, every name once.
TEST(ReadAheadPosix, ADirectoryTooLargeToHoldIsLeftToTheWalk) {
  test_tree tree(roomy_parent());
  constexpr int kLargest = static_cast<int>(platform::kMostEntriesKeptAhead);
  many_files(tree, "held", kLargest);
  many_files(tree, "big", kLargest + 1);
  const platform::read_ahead_threads_for_test alone(0);
  walk_cursor cursor;
  ASSERT_TRUE(enter_and_list(cursor, tree.path()));
  const int before = open_descriptors();
  opened_directory opened;
  EXPECT_FALSE(platform::open_ahead(platform::current_place(cursor), "big", nullptr, opened));
  EXPECT_FALSE(opened.handle >= 0);
  EXPECT_EQ(open_descriptors(), before);
  ASSERT_TRUE(platform::open_ahead(platform::current_place(cursor), "held", nullptr, opened));
  EXPECT_EQ(opened.listing.entries.size(), platform::kMostEntriesKeptAhead);
  EXPECT_EQ(opened.readings.size(), platform::kMostEntriesKeptAhead);
  opened.close_handle();

  const visits big = read_alone(cursor, "big");
  std::vector<std::string> names;
  for (const auto& [name, inode] : big) {
    names.push_back(name);
    EXPECT_GT(inode, 0);
  }
  std::vector<std::string> expected;
  for (int i = 0; i <= kLargest; ++i) expected.push_back("f" + std::to_string(i));
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names, expected);
}

// A directory a worker listed that changed before the walk arrives (an
// entry made, an entry removed) is listed again by the walk, which reports
// what is there on its arrival; one that did not change is adopted. Its
// times are set back first, so that the change shows whatever the clock's
// grain.
TEST(ReadAheadPosix, ADirectoryChangedSinceAWorkerListedItIsListedAgain) {
  test_tree tree;
  struct change_case {
    const char* what;
    std::function<void(const std::string&)> change;
    std::vector<std::string> listed;
    bool adopted;
  };
  const std::vector<change_case> cases = {
      {"unchanged", [](const std::string&) {}, {"kept", "old"}, true},
      {"an entry made", [](const std::string& d) { close(open((d + "/new").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644)); },
       {"kept", "new", "old"}, false},
      {"an entry removed", [](const std::string& d) { unlink((d + "/old").c_str()); }, {"kept"}, false},
      {"an entry renamed",
       [](const std::string& d) { rename((d + "/old").c_str(), (d + "/older").c_str()); },
       {"kept", "older"}, false},
  };
  const platform::read_ahead_threads_for_test alone(0);
  for (const change_case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string dir = tree.path(std::string("d-") + std::to_string(&c - cases.data()));
    tree.file(dir.substr(tree.path().size() + 1) + "/kept", 1);
    tree.file(dir.substr(tree.path().size() + 1) + "/old", 1);
    const timespec long_ago[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, dir.c_str(), long_ago, 0), 0);
    walk_cursor cursor;
    ASSERT_TRUE(enter_and_list(cursor, tree.path()));
    opened_directory opened;
    const std::string name = dir.substr(tree.path().size() + 1);
    ASSERT_TRUE(platform::open_ahead(platform::current_place(cursor), name, nullptr, opened));
    c.change(dir);
    const platform::file_identity listed = identity_of(dir);
    cursor.path += "/" + name;
    ASSERT_EQ(platform::enter_directory_adopting(cursor, cursor.path, name, &listed, &opened).outcome,
              entering::entered);
    // Adopted, its listing is the walk's; refused, the record keeps it.
    EXPECT_EQ(opened.listing.entries.empty(), c.adopted);
    ASSERT_TRUE(platform::list_directory(cursor, cursor.path).outcome);
    EXPECT_EQ(names_of(cursor.listing), c.listed);
  }
}

// The workers a walk starts: the user's count where it is a number (and
// no more than 64), else one fewer than the cores, three at most; none
// under a finite limit on address space, whatever the user asked.
TEST(ReadAheadPosix, TheThreadsAreCountedOnceFromTheCoresTheLimitsAndTheUser) {
  const std::size_t by_the_cores = std::min<std::size_t>(3, platform::online_cores() - 1);
  struct count_case {
    const char* set;  // TWINFIND_THREADS, or null
    std::size_t threads;
  };
  const count_case cases[] = {{nullptr, by_the_cores}, {"0", 0},   {"2", 2},
                              {"999", 64},             {"two", by_the_cores},
                              {"", by_the_cores},      {"3x", by_the_cores}};
  for (const count_case& c : cases) {
    SCOPED_TRACE(c.set ? c.set : "unset");
    const platform::read_ahead_threads_for_test restored(0);
    if (c.set) {
      setenv("TWINFIND_THREADS", c.set, 1);
    } else {
      unsetenv("TWINFIND_THREADS");
    }
    EXPECT_EQ(platform::read_ahead_threads(), c.threads);
  }
  EXPECT_EQ(check_in_child([]() -> std::string {
              setenv("TWINFIND_THREADS", "2", 1);
              const rlimit limit{rlim_t{1} << 40, rlim_t{1} << 40};
              if (setrlimit(RLIMIT_AS, &limit) != 0) return "cannot limit the address space";
              return platform::read_ahead_threads() == 0 ? "" : "threads under a limit";
            }),
            "");
}

// A walk reading ahead leaves a failed allocation to the program, which
// ends with its one line: the queue sets no handler of its own, which
// could wait for a lock the failing thread holds.
TEST(ReadAheadPosix, AWalkReadingAheadSetsNoAllocationHandler) {
  test_tree tree;
  for (int d = 0; d < 4; ++d) tree.file("top/s" + std::to_string(d) + "/f", 1);
  const platform::read_ahead_threads_for_test two(2);
  walk_cursor cursor;
  ASSERT_TRUE(enter_and_list(cursor, tree.path("top")));
  EXPECT_FALSE(read_alone(cursor, "s0").empty());
  EXPECT_EQ(std::get_new_handler(), nullptr);
}

// A visitor that records every entry's path and inode and enters every
// directory; it may end the walk early.
struct recording_visitor {
  visits seen;
  std::size_t stop_after = static_cast<std::size_t>(-1);
  platform::entry_facts facts;
  void before_entering() {}
  void not_entered(entering, platform::error_code, const std::string& path) {
    seen.emplace_back("not entered " + path, 0);
  }
  void unreadable(platform::error_code, const std::string& path) {
    seen.emplace_back("unreadable " + path, 0);
  }
  void listed(const platform::listed_directory&) {}
  platform::descent visit(walk_cursor& cursor, const platform::listed_entry& entry,
                          const std::string& path) {
    const bool examined = platform::examine_entry(cursor, path, entry, facts).outcome ==
                          platform::examination::examined;
    seen.emplace_back(path, examined ? facts.identity.key : -1);
    if (!examined || !facts.is_directory || facts.kind != platform::entry_kind::normal)
      return platform::descent();
    return platform::descent{true, &facts.identity};
  }
  bool finished() const { return seen.size() >= stop_after; }
};

visits walked(const std::string& top, std::size_t threads,
              std::size_t stop_after = static_cast<std::size_t>(-1)) {
  const platform::read_ahead_threads_for_test reading_ahead(threads);
  recording_visitor visitor;
  visitor.stop_after = stop_after;
  platform::walk_tree(top, visitor);
  return visitor.seen;
}

// Walks with threads reading ahead of them tell what the walk alone tells,
// every large directory whole, whoever lists it; walks ended early, in the
// middle of large listings and with subdirectories being opened, leave no
// descriptor open.
TEST(ReadAheadPosix, WalksWithThreadsReadEveryEntryOnceAndLeaveNothingOpen) {
  test_tree tree(roomy_parent());
  for (int d = 0; d < 2; ++d) many_files(tree, "top/big" + std::to_string(d), 4500);
  for (int d = 0; d < 20; ++d) tree.file("top/small" + std::to_string(d) + "/inner/f", 1);
  ASSERT_EQ(symlink("big0", tree.path("top/link").c_str()), 0);
  const auto alone = walked(tree.path("top"), 0);
  ASSERT_EQ(alone.size(), 2u * 4501 + 20 * 3 + 1);
  const int before = open_descriptors();
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(walked(tree.path("top"), 2), alone);
    for (const std::size_t stop : {10, 4000, 8600}) {
      const visits first(alone.begin(), alone.begin() + static_cast<std::ptrdiff_t>(stop));
      EXPECT_EQ(walked(tree.path("top"), 2, stop), first);
    }
  }
  EXPECT_EQ(open_descriptors(), before);
}

// Opens of each watched directory itself, as inotify reports them.
struct open_watch {
  int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ~open_watch() {
    if (fd >= 0) close(fd);
  }
  bool add(const std::string& directory) const {
    return fd >= 0 && inotify_add_watch(fd, directory.c_str(), IN_OPEN | IN_ONLYDIR) >= 0;
  }
  int opens() const {
    int count = 0;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
      const ssize_t got = read(fd, buffer, sizeof buffer);
      if (got <= 0) return count;
      for (ssize_t at = 0; at < got;) {
        const inotify_event* event = reinterpret_cast<const inotify_event*>(buffer + at);
        count += (event->mask & IN_OPEN) != 0;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
  }
};

// A worker opens one name below the directory its request pins, as it is:
// never a link, never a directory of another file system.
TEST(ReadAheadPosix, AWorkerNeverFollowsALinkNorLeavesTheFileSystem) {
  test_tree tree;
  tree.file("real/inner/f");
  tree.file("plain");
  ASSERT_EQ(symlink("real", tree.path("link").c_str()), 0);
  ASSERT_EQ(symlink(tree.path("real").c_str(), tree.path("absolute-link").c_str()), 0);
  const platform::read_ahead_threads_for_test alone(0);
  walk_cursor cursor;
  ASSERT_TRUE(enter_and_list(cursor, tree.path()));
  const platform::directory_place place = platform::current_place(cursor);
  const int before = open_descriptors();
  for (const char* refused : {"link", "absolute-link", "plain", "missing"}) {
    SCOPED_TRACE(refused);
    opened_directory opened;
    EXPECT_FALSE(platform::open_ahead(place, refused, nullptr, opened));
    EXPECT_FALSE(opened.handle >= 0);
  }
  EXPECT_EQ(open_descriptors(), before);
  opened_directory opened;
  ASSERT_TRUE(platform::open_ahead(place, "real", nullptr, opened));
  EXPECT_TRUE(opened.identity == identity_of(tree.path("real")));
  EXPECT_EQ(names_of(opened.listing), std::vector<std::string>{"inner"});
  ASSERT_EQ(opened.readings.size(), 1u);
  EXPECT_EQ(opened.readings[0].facts.identity.key, identity_of(tree.path("real/inner")).key);
  opened.close_handle();

  // A reading made earlier, with the parent's listing, decides what to open
  // without a new one; what changed at the name since is refused all the
  // same: a link now standing there, another directory moved in.
  tree.file("other/f");
  platform::entry_facts real_facts;
  ASSERT_TRUE(platform::read_entry(static_cast<int>(place.handle), "real", place.volume,
                                   real_facts).outcome);
  ASSERT_TRUE(platform::open_ahead(place, "real", &real_facts, opened));
  EXPECT_TRUE(opened.identity == identity_of(tree.path("real")));
  opened.close_handle();
  for (const char* changed : {"link", "absolute-link", "other"}) {
    SCOPED_TRACE(changed);
    EXPECT_FALSE(platform::open_ahead(place, changed, &real_facts, opened));
    EXPECT_FALSE(opened.handle >= 0);
  }
  EXPECT_EQ(open_descriptors(), before);

  if (!can_unshare_mounts()) GTEST_SKIP() << "no private mount namespace (needs root)";
  tree.directory("mnt");
  platform::entry_facts before_the_mount;
  ASSERT_TRUE(platform::read_entry(static_cast<int>(place.handle), "mnt", place.volume,
                                   before_the_mount).outcome);
  EXPECT_EQ(check_in_child([&]() -> std::string {
              if (unshare(CLONE_NEWNS) != 0 ||
                  mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                  mount("tmpfs", tree.path("mnt").c_str(), "tmpfs", 0, nullptr) != 0)
                return std::string("mount: ") + std::strerror(errno);
              // Opened here, where the mount is seen.
              walk_cursor in_namespace;
              if (!enter_and_list(in_namespace, tree.path())) return "cannot list the tree";
              opened_directory on_tmpfs;
              if (platform::open_ahead(platform::current_place(in_namespace), "mnt", nullptr,
                                       on_tmpfs))
                return "opened a mounted directory";
              // Read as a plain directory before the mount: the kernel
              // refuses to cross it all the same, without opening it.
              open_watch watch;
              if (!watch.add(tree.path("mnt"))) return "cannot watch mnt";
              if (platform::open_ahead(platform::current_place(in_namespace), "mnt",
                                       &before_the_mount, on_tmpfs))
                return "opened a directory mounted since its reading";
              return watch.opens() == 0 ? "" : "a directory mounted since its reading opened";
            }),
            "");
}

// Opens `name` in `top` ahead, makes `change`, then enters it adopting what
// was opened, as the walk does that examined it before the change or after:
// "gone" when it reports the examined directory gone (ENOENT), the names it
// lists when it enters the one examined, what went wrong otherwise.
std::string adopted_after(const std::string& top, const std::string& name,
                          const std::function<bool()>& change, bool examined_after) {
  walk_cursor cursor;
  if (!enter_and_list(cursor, top)) return "cannot list " + top;
  opened_directory opened;
  if (!platform::open_ahead(platform::current_place(cursor), name, nullptr, opened))
    return "not opened ahead";
  platform::file_identity examined = identity_of(top + "/" + name);
  if (!change()) return "cannot change " + name;
  if (examined_after) examined = identity_of(top + "/" + name);
  cursor.path += "/" + name;
  const platform::result<entering> entered =
      platform::enter_directory_adopting(cursor, cursor.path, name, &examined, &opened);
  if (entered.outcome == entering::no_attributes && entered.error == ENOENT) return "gone";
  if (entered.outcome != entering::entered) return "neither entered nor gone";
  if (!platform::list_directory(cursor, cursor.path).outcome) return "not listed";
  platform::file_identity held;
  if (!platform::current_identity(cursor, held) || !(held == examined)) return "another one entered";
  std::string names;
  for (const std::string& entry : names_of(cursor.listing)) names += entry + " ";
  return names;
}

// The walk adopts the directory a worker holds only while it still stands
// at its name: moved away and replaced, before or after the walk examined
// it, the walk does what it does alone: it opens the name, and enters what
// stands there when that is the directory examined, or reports the one
// examined gone. It never lists the one the worker holds.
TEST(ReadAheadPosix, AnAdoptedDirectoryIsTheOneStandingAtItsName) {
  const platform::read_ahead_threads_for_test alone(0);
  for (const bool examined_after : {false, true}) {
    SCOPED_TRACE(examined_after ? "examined after the move" : "examined before");
    test_tree tree;
    tree.file("c/old");
    tree.file("other/new");
    const auto replace = [&tree] {
      return rename(tree.path("c").c_str(), tree.path("away").c_str()) == 0 &&
             rename(tree.path("other").c_str(), tree.path("c").c_str()) == 0;
    };
    EXPECT_EQ(adopted_after(tree.path(), "c", replace, examined_after), examined_after ? "new " : "gone");
  }
}

// A level ended while a worker still reads in it: the walk goes on, and
// the queue keeps that descriptor open, and counted, until the worker ends.
TEST(ReadAheadPosix, ALevelEndedWhileReadInClosesAsItsWorkerEnds) {
  test_tree tree;
  tree.file("top/s/f");
  const platform::read_ahead_threads_for_test alone(0);
  walk_cursor cursor;
  ASSERT_TRUE(enter_and_list(cursor, tree.path("top")));
  const int before = open_descriptors();
  platform::read_ahead ahead(platform::posix_read_ahead, 0, /*by_hand=*/true);
  ahead.descriptors.total = 1000;
  ahead.descriptors.most_ahead = 4;
  platform::directory_place level = platform::current_place(cursor);
  level.handle = open(tree.path("top").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(level.handle, 0);
  ahead.open_subdirectories(0, level, cursor.listing);
  ASSERT_EQ(ahead.complete(1, /*only_claim=*/true), 1u);  // s, being opened
  EXPECT_TRUE(ahead.end_level(0, platform::close_ahead));
  EXPECT_EQ(open_descriptors(), before + 1);
  EXPECT_EQ(ahead.descriptors.ahead, 2u);  // s's, and the level's
  EXPECT_EQ(ahead.finish_claimed(1), 1u);
  EXPECT_EQ(open_descriptors(), before);
  EXPECT_EQ(ahead.descriptors.ahead, 0u);
}

// The engine with threads of its own, used as the walk uses it: the
// subdirectories it hands over hold what the walk alone reads there; the
// requests left when a level ends, or when the queue goes, are closed.
TEST(ReadAheadPosix, TheQueueHandsOverWhatTheWalkAloneReadsAndClosesTheRest) {
  test_tree tree;
  for (int d = 0; d < 12; ++d) {
    const std::string dir = "top/s" + std::to_string(d);
    for (int i = 0; i <= d; ++i) tree.file(dir + "/f" + std::to_string(i), 1);
    if (d % 3 == 0) tree.directory(dir + "/deeper");
    if (d % 4 == 0) {
      ASSERT_EQ(symlink("..", tree.path(dir + "/up").c_str()), 0);
    }
  }
  tree.file("top/a-file");
  const platform::read_ahead_threads_for_test alone(0);
  walk_cursor cursor;
  ASSERT_TRUE(enter_and_list(cursor, tree.path("top")));
  const directory_listing& listing = cursor.listing;
  std::vector<std::string> subdirectories;
  for (const platform::listed_entry& entry : listing.entries)
    if (entry.is_directory) subdirectories.emplace_back(listing.name(entry));
  ASSERT_EQ(subdirectories.size(), 12u);
  std::vector<visits> expected;
  walk_cursor walk_alone;
  ASSERT_TRUE(enter_and_list(walk_alone, tree.path("top")));
  for (const std::string& name : subdirectories) expected.push_back(read_alone(walk_alone, name));

  // Driven by hand, the requests end where the test says, and what is
  // adopted or closed is known; with threads, whatever they finish.
  for (const bool by_hand : {true, false}) {
    SCOPED_TRACE(by_hand ? "by hand" : "threads");
    const int before = open_descriptors();
    std::size_t completed = 0;  // by hand, in round 0
    std::size_t adopted = 0;    // in round 0
    {
      // Room for four directories ahead.
      platform::read_ahead ahead(platform::posix_read_ahead, by_hand ? 0 : 2, by_hand);
      ahead.descriptors.total = 1000;
      ahead.descriptors.most_ahead = 4;
      for (int round = 0; round < 3; ++round) {
        const platform::directory_place place = platform::current_place(cursor);
        ahead.open_subdirectories(0, place, listing);
        // Round 0 takes them all; round 1 takes the first and ends the
        // level; round 2 leaves every request to the queue's end.
        if (by_hand) {
          // Which, the queue chooses; how many, no more than it was lent.
          const std::size_t done = ahead.complete(round == 2 ? 2 : 10);
          EXPECT_GT(done, 0u);
          EXPECT_LE(done, 4u);
          EXPECT_GT(open_descriptors(), before);
          if (round == 0) completed = done;
          if (round == 2) ahead.complete(10, true);
        }
        const std::size_t taken = round == 0 ? subdirectories.size() : round == 1 ? 1 : 0;
        for (std::size_t i = 0; i < taken; ++i) {
          SCOPED_TRACE(subdirectories[i]);
          opened_directory* opened = ahead.take_opened(0, subdirectories[i]);
          if (!opened) continue;  // nobody had begun it: the walk reads it itself
          adopted += round == 0;
          EXPECT_TRUE(opened->identity == identity_of(tree.path("top/" + subdirectories[i])));
          visits read;
          for (const platform::listed_entry& entry : opened->listing.entries) {
            const platform::entry_reading& reading = opened->readings.at(entry.listed_facts - 1);
            read.emplace_back(std::string(opened->listing.name(entry)),
                              reading.examined.outcome == platform::examination::examined
                                  ? reading.facts.identity.key
                                  : -1);
          }
          EXPECT_EQ(read, expected[i]);
          opened->close_handle();
          ahead.give_back();
          ahead.end_level(1, nullptr);  // as the walk leaves it: what was asked below it ends
        }
        if (round == 1) {
          ahead.end_level(0, nullptr);
          if (by_hand) {
            EXPECT_EQ(open_descriptors(), before);
          }
        }
      }
    }
    if (by_hand) {
      // Every one opened, as nothing moved: s0, then s0/deeper below it
      // (taken over with s0, and ended with it), then s1 and s2, in the
      // order the walk enters them.
      EXPECT_EQ(adopted + 1, completed);
    }
    EXPECT_EQ(open_descriptors(), before);
  }
}

// The queue reads facts in a listing the cursor owns: listing another
// directory, leaving one, or ending the cursor with slices being read must
// neither read a listing that changed nor leave a descriptor open (the
// debug build's address checks and the thread-sanitizer build tell the
// first).
TEST(ReadAheadPosix, AListingOutlivesEveryReadingOfIt) {
  test_tree tree(roomy_parent());
  for (const char* dir : {"one", "one/sub", "two"}) many_files(tree, dir, 1500);
  const int before = open_descriptors();
  for (std::size_t take : {0, 3, 200}) {
    SCOPED_TRACE(take);
    const platform::read_ahead_threads_for_test reading_ahead(2);
    walk_cursor cursor;
    ASSERT_TRUE(enter_and_list(cursor, tree.path()));
    // one, then its subdirectory while one's facts are being read; back
    // up to the top, then two, which the cursor ends in.
    for (const char* dir : {"one", "one/sub", "two"}) {
      const std::string name = std::string(dir).substr(std::string(dir).rfind('/') + 1);
      cursor.path = tree.path() + "/" + dir;
      ASSERT_EQ(platform::enter_directory(cursor, cursor.path, name, nullptr).outcome,
                entering::entered);
      ASSERT_TRUE(platform::list_directory(cursor, cursor.path).outcome);
      ASSERT_GE(cursor.listing.entries.size(), 1500u);
      platform::entry_facts facts;
      for (std::size_t i = 0; i < take; ++i) {
        const platform::listed_entry& entry = cursor.listing.entries[i];
        const std::string path = cursor.path + "/" + std::string(cursor.listing.name(entry));
        ASSERT_EQ(platform::examine_entry(cursor, path, entry, facts).outcome,
                  platform::examination::examined);
        EXPECT_EQ(facts.identity.key, identity_of(path).key);
      }
      if (name == "sub") {
        platform::leave_directory(cursor);
        platform::leave_directory(cursor);
      }
    }
  }
  EXPECT_EQ(open_descriptors(), before);
}

// A mount point is counted and passed by, never entered: no worker opens
// it either, whether it is another file system or a bind mount of a
// directory of this one, however long the walk lingers beside it. (A mount
// that never answers would hold a worker in its open for good, and the walk
// with it.) inotify tells every open of the mounted directory.
TEST(ReadAheadPosix, NoWorkerOpensAMountPoint) {
  if (!can_unshare_mounts()) GTEST_SKIP() << "no private mount namespace (needs root)";
  test_tree tree(roomy_parent());
  for (int d = 0; d < 6; ++d) many_files(tree, "top/d" + std::to_string(d), 200);
  for (const char* d : {"top/mnt", "top/bound", "top/zz-mnt", "outside/src/inner"}) tree.directory(d);
  const std::string top = tree.path("top");
  EXPECT_CHECKED(in_own_namespace(
      [&]() -> std::string {
        for (const char* at : {"top/mnt", "top/zz-mnt"}) {
          if (mount("tmpfs", tree.path(at).c_str(), "tmpfs", 0, nullptr) != 0) return "no tmpfs";
          if (mkdir((tree.path(at) + "/inside").c_str(), 0755) != 0) return "cannot write the tmpfs";
        }
        if (mount(tree.path("outside/src").c_str(), tree.path("top/bound").c_str(), nullptr, MS_BIND,
                  nullptr) != 0)
          return "no bind mount";
        return "";
      },
      [&]() -> std::string {
        open_watch watch;
        for (const char* at : {"top/mnt", "top/zz-mnt", "outside/src"})
          if (!watch.add(tree.path(at))) return std::string("cannot watch ") + at;
        const visits alone = walked(top, 0);
        if (watch.opens() != 0) return "the walk alone opened a mount point";
        std::string problems;
        for (int round = 0; round < 5; ++round) {
          if (walked(top, 2) != alone) problems += "a walk with threads told otherwise\n";
          if (const int opens = watch.opens())
            problems += "a mount point opened " + std::to_string(opens) + " times\n";
        }
        return problems;
      }));
}

// A directory deleted and made anew at its name while a worker holds the
// old one open: the walk never tells the dead one's contents. On ext4 the
// walk alone, holding nothing, may meet the new directory under the old
// inode number and tell it; with the old one held, the new one has another
// number and the walk reports the directory it examined gone. Either is
// sound; the dead contents are not.
std::string remade_while_held(const std::string& top) {
  const std::string d7 = top + "/D7";
  const std::string told = adopted_after(top, "D7", [&d7] {
    return run_quietly("rm -rf '" + d7 + "' && mkdir '" + d7 + "' && touch '" + d7 + "/new-marker'");
  }, false);
  return told == "gone" || told == "new-marker " ? "" : told;
}

TEST(ReadAheadPosix, ADirectoryRemadeWhileAWorkerHoldsItIsNeverTheDeadOne) {
  const platform::read_ahead_threads_for_test alone(0);
  {
    SCOPED_TRACE("on the tests' own disk");
    test_tree tree;
    tree.file("D7/dead-marker-7");
    EXPECT_EQ(remade_while_held(tree.path()), "");
  }
  SCOPED_TRACE("on ext4, which reuses inode numbers");
  test_tree tree;
  tree.directory("mnt");
  const std::string image = tree.path("ext4.img");
  const std::string mnt = tree.path("mnt");
  EXPECT_CHECKED(in_own_namespace(
      [&]() -> std::string {
        if (!run_quietly("command -v mkfs.ext4")) return "mkfs.ext4 is not installed";
        if (!run_quietly("truncate -s 16M '" + image + "' && mkfs.ext4 -q -F '" + image + "'"))
          return "mkfs.ext4 failed";
        if (!run_quietly("mount -o loop '" + image + "' '" + mnt + "'")) return "no loop mount of ext4";
        return "";
      },
      [&]() -> std::string {
        std::string problems;
        for (int round = 0; round < 5; ++round) {
          if (!run_quietly("rm -rf '" + mnt + "/T' && mkdir -p '" + mnt + "/T/D7' && touch '" + mnt +
                           "/T/D7/dead-marker-7'"))
            return "cannot make the tree";
          problems += remade_while_held(mnt + "/T");
        }
        return problems;
      }));
}

// Without room for a thread (a user at the limit of its processes), the
// queue starts none, or fewer, and the walk reads alone: the same visits,
// nothing left open. In a child that drops its privileges, which is why
// the suite is not one the thread-sanitizer run takes.
TEST(ReadingAlonePosix, AWalkWhoseThreadsCannotStartReadsAlone) {
  test_tree tree(roomy_parent());
  for (int d = 0; d < 6; ++d) many_files(tree, "top/d" + std::to_string(d), 300);
  const visits alone = walked(tree.path("top"), 0);
  EXPECT_EQ(check_in_child([&]() -> std::string {
              const rlimit none{0, 0};
              if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
                return "cannot drop privileges";
              if (setrlimit(RLIMIT_NPROC, &none) != 0) return "cannot limit the processes";
              platform::thread_group probe;
              if (probe.start(+[](void*) -> void* { return nullptr; }, nullptr))
                return "a thread still starts";
              const int before = open_descriptors();
              if (walked(tree.path("top"), 2) != alone) return "the walk told otherwise";
              return open_descriptors() == before ? "" : "a descriptor left open";
            }),
            "");
}

}  // namespace
