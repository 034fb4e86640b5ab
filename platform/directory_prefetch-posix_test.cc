// The threads that read directories ahead of the walk: the order they
// follow is the walk's, what they hand over is what the walk would have
// read itself, they never start without descriptors to spare, and they are
// gone once the walk is, however it ends.
#include "platform/directory_prefetch-posix.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/child_check_test_util-posix.h"
#include "platform/owners-posix.h"
#include "platform/read_ahead_test_util-posix.h"
#include "platform/stat-posix.h"
#include "platform/tree_walk.h"
#include "scan/test_tree.h"

namespace platform {
namespace {

// Forces the threads on every listing for one test, with no other helper
// beside them, and puts the defaults back after it.
struct read_ahead_for_test {
  explicit read_ahead_for_test(std::size_t threads) : threads(threads) {}
  directory_threads_for_test threads;
  stat_helpers_for_test stat_helpers{0};
  subdirectory_helper_for_test subdirectory_helper{false};
};

std::size_t threads_of_this_process() {
  std::size_t count = 0;
  DIR* tasks = opendir("/proc/self/task");
  if (!tasks) return 0;
  while (const struct dirent* task = readdir(tasks)) count += task->d_name[0] != '.';
  closedir(tasks);
  return count;
}

// Records every visit with what the examination read, the directories in
// the order the walk lists them (those with entries), and the most threads
// the process had meanwhile; enters every directory and can end the walk
// after a number of entries.
struct listing_recorder {
  explicit listing_recorder(std::size_t top) : top_length(top) {}
  std::size_t top_length;
  std::size_t stop_after = static_cast<std::size_t>(-1);
  std::vector<std::string> listed_paths;
  std::vector<std::string> visits;
  std::size_t most_threads = 0;
  entry_facts facts;

  void before_entering() {}
  void not_entered(entering, error_code, const native_string&) {}
  void unreadable(error_code, const native_string&) {}
  void listed(const file_identity*) { most_threads = std::max(most_threads, threads_of_this_process()); }
  descent visit(walk_cursor& walk, const listed_entry& entry, const native_string& at) {
    // A directory's entries are visited one after another.
    const std::string directory = at.substr(0, at.size() - entry.name_length - 1);
    if (listed_paths.empty() || listed_paths.back() != directory) listed_paths.push_back(directory);
    visits.push_back(at.substr(top_length));
    const bool examined = examine_entry(walk, at, entry, facts).outcome == examination::examined;
    visits.back() += examined ? " " + std::to_string(facts.size) : " ?";
    if (!entry.is_directory || entry.is_reparse) return descent();
    return descent{true, examined ? &facts.identity : nullptr};
  }
  bool finished() const { return visits.size() >= stop_after; }
};

// A tree of many directories, wide and deep, with names that sort
// differently by bytes and by components ("a-b" before "a/b" by bytes,
// after it by components), so that a wrong order shows.
void many_directories(const test_tree& tree) {
  for (const char* top : {"a", "a-b", "a0", "b", "\xc3\xa9t\xc3\xa9"}) {
    for (int i = 0; i < 6; ++i) {
      const std::string middle = std::string(top) + "/d" + std::to_string(i);
      tree.file(middle + "/f", static_cast<std::size_t>(i));
      tree.file(middle + "/deep/er/still/g", 3);
    }
  }
  tree.file("a/b/c/last", 7);
}

TEST(DirectoryPrefetch, TheOrderIsTheOrderTheWalkEntersDirectories) {
  // A directory before what lies below it, and what lies below it before
  // its next sibling, however the separator compares as a byte.
  EXPECT_TRUE(entered_before("", "a"));
  EXPECT_TRUE(entered_before("a", "a/b"));
  EXPECT_TRUE(entered_before("a/b", "a-b"));
  EXPECT_TRUE(entered_before("a/zzz/y", "a0"));
  EXPECT_TRUE(entered_before("a/b/c", "a/c"));
  EXPECT_TRUE(entered_before("z", "\xc3\xa9"));  // bytes compare unsigned
  EXPECT_FALSE(entered_before("a/b", "a/b"));
  EXPECT_FALSE(entered_before("a-b", "a/b"));
  EXPECT_FALSE(entered_before("a/b", "a"));

  // And it is the order of a real walk.
  test_tree tree;
  many_directories(tree);
  listing_recorder recorder{tree.path().size() + 1};
  walk_tree(tree.path(), recorder);
  std::vector<std::string> below;
  for (const std::string& listed : recorder.listed_paths)
    below.push_back(listed.size() > tree.path().size() ? listed.substr(tree.path().size() + 1) : "");
  ASSERT_GT(below.size(), 100u);
  std::vector<std::string> sorted = below;
  std::sort(sorted.begin(), sorted.end(), [](const std::string& x, const std::string& y) {
    return entered_before(x, y);
  });
  EXPECT_EQ(below, sorted);
}

// Starts the threads on the listing of the top, and waits until one has
// read "d" (the walk, which would wait for it once a thread has it, may
// otherwise get there first and read it itself).
void start_with_top(directory_prefetch& prefetch, int top_fd, std::uint64_t device,
                    const directory_listing& top_listing) {
  prefetch.begin(top_fd, device, directory_prefetch::descriptors_wanted());
  prefetch.listing_started();
  prefetch.listed("", top_listing);
  for (int i = 0; i < 5000 && prefetch.directories_read() == 0; ++i) usleep(1000);
}

// What the walk takes from a thread is what it would have read itself: the
// names, and for each entry one read's facts or its failure.
TEST(DirectoryPrefetch, WhatTheWalkTakesIsWhatItWouldHaveRead) {
  read_ahead_for_test setting(2);
  test_tree tree;
  tree.file("d/small", 5);
  tree.file("d/larger", 500);
  tree.hard_link("d/larger", "d/again");
  tree.directory("d/sub");
  ASSERT_EQ(symlink("sub", tree.path("d/to-sub").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", tree.path("d/dangling").c_str()), 0);
  unique_fd top(open(tree.path().c_str(), O_RDONLY | O_DIRECTORY));
  unique_fd d(open(tree.path("d").c_str(), O_RDONLY | O_DIRECTORY));
  struct stat st;
  ASSERT_EQ(fstat(d.get(), &st), 0);
  const std::uint64_t device = static_cast<std::uint64_t>(st.st_dev);
  const std::uint64_t inode = static_cast<std::uint64_t>(st.st_ino);
  const std::int64_t changed = change_time(st);

  directory_listing top_listing;
  top_listing.names.append("d", 2);
  listed_entry d_entry;
  d_entry.name_length = 1;
  d_entry.is_directory = true;
  top_listing.entries.push_back(d_entry);

  directory_prefetch::directory_read read;
  {
    directory_prefetch prefetch;
    start_with_top(prefetch, top.get(), device, top_listing);
    // Another directory where the thread read this one (the tree moved)
    // is not taken.
    ASSERT_FALSE(prefetch.take("d", device, inode + 1, changed, read));
  }
  {
    directory_prefetch prefetch;
    start_with_top(prefetch, top.get(), device, top_listing);
    // Nor the same directory changed since (or made anew with its inode).
    ASSERT_FALSE(prefetch.take("d", device, inode, changed + 1, read));
  }
  directory_prefetch prefetch;
  start_with_top(prefetch, top.get(), device, top_listing);
  ASSERT_TRUE(prefetch.take("d", device, inode, changed, read));
  ASSERT_EQ(read.entries.size(), 6u);
  for (const directory_prefetch::entry_read& got : read.entries) {
    const char* name = read.names.c_str() + got.name_offset;
    SCOPED_TRACE(name);
    EXPECT_EQ(std::string(name).size(), got.name_length);
    entry_facts own;
    const result<> again = read_entry(d.get(), name, device, own);
    ASSERT_EQ(again.outcome, got.error == 0);
    EXPECT_EQ(own.size, got.facts.size);
    EXPECT_EQ(own.links, got.facts.links);
    EXPECT_EQ(own.identity, got.facts.identity);
    EXPECT_EQ(own.kind, got.facts.kind);
    EXPECT_EQ(own.is_directory, got.facts.is_directory);
  }
  // Nothing is kept twice: a second take finds nothing, and reads nothing.
  EXPECT_FALSE(prefetch.take("d", device, inode, changed, read));
}

// A thread goes down to a directory one name at a time and never through
// a link: one put in place of a directory on the way (the tree changed
// since the walk listed it) leads nowhere.
TEST(DirectoryPrefetch, AThreadOpensLevelByLevelAndNeverThroughALink) {
  test_tree tree;
  tree.file("real/sub/f");
  ASSERT_EQ(symlink("real", tree.path("link").c_str()), 0);
  ASSERT_EQ(symlink(tree.path("real").c_str(), tree.path("real/sub/absolute").c_str()), 0);
  const unique_fd top(open(tree.path().c_str(), O_RDONLY | O_DIRECTORY));
  struct stat st;
  ASSERT_EQ(stat(tree.path("real/sub").c_str(), &st), 0);
  const std::uint64_t device = static_cast<std::uint64_t>(st.st_dev);
  directory_prefetch::directory_read read;
  EXPECT_TRUE(open_to_read_ahead(top.get(), "real/sub", device, read).valid());
  EXPECT_EQ(read.inode, static_cast<std::uint64_t>(st.st_ino));
  for (const char* path : {"link", "link/sub", "real/sub/absolute", "real/sub/absolute/sub",
                           "real/sub/f", "real//sub", "real/sub/"}) {
    EXPECT_FALSE(open_to_read_ahead(top.get(), path, device, read).valid()) << path;
  }
  EXPECT_FALSE(open_to_read_ahead(top.get(), "real/sub", device + 1, read).valid());
}

// A listing for reading ahead holds every name but "." and "..", once,
// with its inode; past the most entries it is asked for it says so rather
// than pass for whole, whatever the replies' sizes.
TEST(DirectoryPrefetch, AListingIsWholeOrSaysItIsNot) {
  test_tree tree;
  // Names of over 100 bytes: the listing takes several replies.
  for (int i = 0; i < 600; ++i) tree.file("many/" + std::string(100, 'n') + std::to_string(i));
  const unique_fd fd(open(tree.path("many").c_str(), O_RDONLY | O_DIRECTORY));
  inode_listing listed;
  for (const bool fills_replies : {false, true}) {
    ASSERT_TRUE(listed.list(fd.get(), fills_replies, 600));
    EXPECT_EQ(listed.entries.size(), 600u);
    std::vector<std::string> names;
    for (const inode_listing::entry& e : listed.entries) {
      names.push_back(listed.names.c_str() + e.name_offset);
      struct stat st;
      ASSERT_EQ(fstatat(fd.get(), names.back().c_str(), &st, 0), 0) << names.back();
      EXPECT_EQ(e.inode, static_cast<std::uint64_t>(st.st_ino));
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(std::unique(names.begin(), names.end()), names.end());
    ASSERT_EQ(lseek(fd.get(), 0, SEEK_SET), 0);
    EXPECT_FALSE(listed.list(fd.get(), fills_replies, 599));
    ASSERT_EQ(lseek(fd.get(), 0, SEEK_SET), 0);
  }
}

TEST(DirectoryPrefetch, WithoutADescriptorForEachThreadNoneStarts) {
  read_ahead_for_test setting(4);
  test_tree tree;
  tree.file("d/f");
  unique_fd top(open(tree.path().c_str(), O_RDONLY | O_DIRECTORY));
  directory_listing top_listing;
  top_listing.names.append("d", 2);
  listed_entry d_entry;
  d_entry.name_length = 1;
  d_entry.is_directory = true;
  top_listing.entries.push_back(d_entry);
  const std::size_t before = threads_of_this_process();
  directory_prefetch prefetch;
  prefetch.begin(top.get(), 0, directory_prefetch::descriptors_wanted() - 1);
  prefetch.listing_started();
  prefetch.listed("", top_listing);
  EXPECT_EQ(threads_of_this_process(), before);
  directory_prefetch::directory_read read;
  EXPECT_FALSE(prefetch.take("d", 0, 0, 0, read));
  EXPECT_EQ(prefetch.directories_read(), 0u);
}

// The walk with threads reads what it reads alone, in the same order, and
// the threads are gone when it ends: at its end, or early.
TEST(DirectoryPrefetch, AWalkWithThreadsVisitsWhatOneThreadVisitsAndStopsThem) {
  test_tree tree;
  many_directories(tree);
  const std::size_t top_length = tree.path().size();
  listing_recorder alone{top_length};
  {
    read_ahead_for_test setting(0);
    walk_tree(tree.path(), alone);
  }
  const std::size_t before = threads_of_this_process();
  for (const std::size_t threads : {std::size_t{1}, std::size_t{4}, std::size_t{8}}) {
    SCOPED_TRACE(threads);
    read_ahead_for_test setting(threads);
    listing_recorder together{top_length};
    walk_tree(tree.path(), together);
    EXPECT_EQ(together.visits, alone.visits);
    EXPECT_GT(together.most_threads, before);
    EXPECT_EQ(threads_of_this_process(), before);
    // Ended half way, with threads still reading ahead.
    listing_recorder early{top_length};
    early.stop_after = alone.visits.size() / 2;
    walk_tree(tree.path(), early);
    EXPECT_EQ(early.visits.size(), alone.visits.size() / 2);
    EXPECT_TRUE(std::equal(early.visits.begin(), early.visits.end(), alone.visits.begin()));
    EXPECT_EQ(threads_of_this_process(), before);
  }
}

// Leaves `count` descriptors free below a small limit, as the walk counts
// them; for a child process only.
void keep_free(int count) {
  struct rlimit small = {256, 256};
  setrlimit(RLIMIT_NOFILE, &small);
  int last = -1;
  for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;) last = fd;
  for (int i = 0; i < count && last > 2; ++i) close(last--);
}

// With few descriptors free the walk keeps them all and reads alone; with
// enough, the threads take theirs and the walk still has what it needs.
TEST(DirectoryPrefetch, TheThreadsTakeNoDescriptorTheWalkNeeds) {
  test_tree tree;
  many_directories(tree);
  const std::size_t top_length = tree.path().size();
  listing_recorder alone{top_length};
  {
    read_ahead_for_test setting(0);
    walk_tree(tree.path(), alone);
  }
  for (const int free : {6, 20, 60}) {
    SCOPED_TRACE(free);
    EXPECT_EQ(check_in_child([&] {
                read_ahead_for_test setting(4);
                const std::size_t before = threads_of_this_process();
                keep_free(free);
                listing_recorder scarce{top_length};
                walk_tree(tree.path(), scarce);
                if (scarce.visits != alone.visits) return std::string("other visits");
                const bool started = scarce.most_threads > before;
                if (started != (free >= 60)) return "threads started: " + std::to_string(started);
                return std::string();
              }),
              "");
  }
}

}  // namespace
}  // namespace platform
