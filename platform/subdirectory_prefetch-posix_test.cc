// The helper that reads subdirectories beside the walk: what it hands over
// is what the walk would read itself, with the identity of the directory it
// read, and a batch ended while it reads leaves it nothing to touch.
#include "platform/subdirectory_prefetch-posix.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/owners-posix.h"
#include "platform/read_ahead_test_util-posix.h"
#include "platform/stat-posix.h"
#include "scan/test_tree.h"

namespace platform {
namespace {

// Waits until the helpers have read `count` more directories than `before`.
bool read_by_helper(std::size_t before, std::size_t count) {
  for (int i = 0; i < 5000 && subdirectory_prefetch::read_in_all() < before + count; ++i)
    usleep(1000);
  return subdirectory_prefetch::read_in_all() >= before + count;
}

TEST(SubdirectoryPrefetch, HandsOverTheFactsOfTheDirectoryItReadWithItsIdentity) {
  subdirectory_helper_for_test enabled(true);
  test_tree tree;
  for (const char* name : {"a", "b", "c"}) {
    for (int i = 0; i < 3; ++i) tree.file(std::string(name) + "/f" + std::to_string(i), 10u * i + 1);
  }
  ASSERT_EQ(symlink("f1", tree.path("c/link").c_str()), 0);
  const unique_fd top(open(tree.path().c_str(), O_RDONLY | O_DIRECTORY));
  struct stat st;
  ASSERT_EQ(fstat(top.get(), &st), 0);
  const std::uint64_t device = static_cast<std::uint64_t>(st.st_dev);
  struct stat b_before;
  ASSERT_EQ(stat(tree.path("b").c_str(), &b_before), 0);

  subdirectory_prefetch prefetch;
  const std::size_t before = subdirectory_prefetch::read_in_all();
  prefetch.begin(0, top.get(), device, false, native_string("a\0b\0c\0", 6), 3);
  ASSERT_TRUE(read_by_helper(before, 2));  // c and b, from the last one back
  // "b" is replaced after the helper read it: it hands over the directory
  // it read, by its identity, and the walk, which opens the new one, sees
  // that it is another.
  ASSERT_EQ(rename(tree.path("b").c_str(), tree.path("b-old").c_str()), 0);
  tree.directory("b");

  directory_prefetch::directory_read read;
  EXPECT_FALSE(prefetch.take(0, "not-handed-over", read));
  prefetch.take(0, "a", read);  // read by whichever got there first
  ASSERT_TRUE(prefetch.take(0, "b", read));
  EXPECT_EQ(read.inode, static_cast<std::uint64_t>(b_before.st_ino));
  ASSERT_TRUE(prefetch.take(0, "c", read));
  EXPECT_EQ(read.entries.size(), 4u);
  for (const directory_prefetch::entry_read& got : read.entries) {
    entry_facts own;
    const std::string name = read.names.c_str() + got.name_offset;
    ASSERT_TRUE(read_entry(top.get(), ("c/" + name).c_str(), device, own).outcome) << name;
    EXPECT_EQ(got.error, 0) << name;
    EXPECT_EQ(got.facts.size, own.size) << name;
    EXPECT_EQ(got.facts.identity.key, own.identity.key) << name;
    EXPECT_EQ(got.facts.kind, own.kind) << name;
  }
  EXPECT_FALSE(prefetch.take(0, "c", read));  // taken once
  prefetch.end(0);
}

// Lists the current directory of `cursor`, at its path, as a walk does:
// the names in listing order, and each entry examined.
std::vector<std::string> list_and_examine(walk_cursor& cursor) {
  directory_listing listing;
  std::vector<std::string> names;
  if (!list_directory(cursor, cursor.path, listing).outcome) return names;
  const std::size_t length = cursor.path.size();
  for (const listed_entry& entry : listing.entries) {
    names.emplace_back(listing.name(entry));
    cursor.path += '/';
    cursor.path += names.back();
    entry_facts facts;
    // Only the calls matter here, as the walk makes them; what each
    // examination found is checked by the tests that use the names.
    static_cast<void>(examine_entry(cursor, cursor.path, entry, facts));
    cursor.path.resize(length);
  }
  return names;
}

bool enter(walk_cursor& cursor, const std::string& name) {
  cursor.path += '/';
  cursor.path += name;
  return enter_directory(cursor, cursor.path, name, nullptr).outcome == entering::entered;
}

void leave(walk_cursor& cursor) {
  leave_directory(cursor);
  cursor.path.resize(cursor.path.rfind('/'));
}

// A directory the helper read and that changed before the walk came to it
// (an entry added, or the directory removed and made anew, which can give
// the new one the old one's inode) is read again by the walk: it lists the
// directory it holds open, as it is.
TEST(SubdirectoryPrefetch, TheWalkTakesNoReadOfADirectoryThatChangedSince) {
  subdirectory_helper_for_test enabled(true);
  test_tree tree;
  for (const char* name : {"a", "b", "c"}) tree.file(std::string(name) + "/old");
  walk_cursor cursor;
  cursor.path = tree.path();
  ASSERT_EQ(enter_directory(cursor, cursor.path, native_string_view(), nullptr).outcome,
            entering::entered);
  ASSERT_EQ(list_and_examine(cursor), (std::vector<std::string>{"a", "b", "c"}));
  const std::size_t before = subdirectory_prefetch::read_in_all();
  ASSERT_TRUE(enter(cursor, "a"));  // the helper reads c and b meanwhile
  if (!read_by_helper(before, 2)) GTEST_SKIP() << "the helper never read b and c";
  tree.file("b/new");
  ASSERT_TRUE(rename(tree.path("c").c_str(), tree.path("c-gone").c_str()) == 0);
  tree.file("c/other");
  EXPECT_EQ(list_and_examine(cursor), std::vector<std::string>{"old"});
  leave(cursor);
  ASSERT_TRUE(enter(cursor, "b"));
  EXPECT_EQ(list_and_examine(cursor), (std::vector<std::string>{"new", "old"}));
  leave(cursor);
  ASSERT_TRUE(enter(cursor, "c"));
  EXPECT_EQ(list_and_examine(cursor), std::vector<std::string>{"other"});
  leave(cursor);
}

TEST(SubdirectoryPrefetch, ABatchEndedWhileTheHelperReadsItIsLeftAlone) {
  subdirectory_helper_for_test enabled(true);
  test_tree tree;
  native_string names;
  for (int i = 0; i < 20; ++i) {
    const std::string name = "s" + std::to_string(i);
    for (int j = 0; j < 30; ++j) tree.file(name + "/f" + std::to_string(j));
    names.append(name).push_back('\0');
  }
  subdirectory_prefetch prefetch;
  for (int round = 0; round < 200; ++round) {
    unique_fd top(open(tree.path().c_str(), O_RDONLY | O_DIRECTORY));
    struct stat st;
    ASSERT_EQ(fstat(top.get(), &st), 0);
    prefetch.begin(3, top.get(), static_cast<std::uint64_t>(st.st_dev), false, names, 20);
    if (round % 2) usleep(50);
    prefetch.end(3);  // then the descriptor closes, as a level's does
  }
  // The helper is still there for the next batch.
  const unique_fd top(open(tree.path().c_str(), O_RDONLY | O_DIRECTORY));
  struct stat st;
  ASSERT_EQ(fstat(top.get(), &st), 0);
  const std::size_t before = subdirectory_prefetch::read_in_all();
  prefetch.begin(3, top.get(), static_cast<std::uint64_t>(st.st_dev), false, names, 20);
  ASSERT_TRUE(read_by_helper(before, 1));
  directory_prefetch::directory_read read;
  EXPECT_TRUE(prefetch.take(3, "s19", read));
  EXPECT_EQ(read.entries.size(), 30u);
  prefetch.end(3);
}

}  // namespace
}  // namespace platform
