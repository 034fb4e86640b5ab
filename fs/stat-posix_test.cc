// Reading one entry, and reading it the same way where the system refuses
// statx.
#include "fs/stat-posix.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "testing/child_check_test_util-posix.h"
#include "testing/refuse_statx_test_util-posix.h"
#include "testing/mount_namespace_test_util-posix.h"
#include "testing/test_tree.h"

namespace {

// Every kind of entry, and a name that is missing.
const char* const kNames[] = {"file", "link-of-file", "dir", "to-dir", "to-file", "dangling",
                              "fifo", "mnt", "missing"};

void make_entries(const test_tree& tree) {
  tree.file("file", 5);
  tree.hard_link("file", "link-of-file");
  tree.directory("dir");
  tree.directory("mnt");
  ASSERT_EQ(symlink("dir", tree.path("to-dir").c_str()), 0);
  ASSERT_EQ(symlink("file", tree.path("to-file").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", tree.path("dangling").c_str()), 0);
  ASSERT_EQ(mkfifo(tree.path("fifo").c_str(), 0600), 0);
}

// The facts of every entry of `tree`, read relative to the tree's
// descriptor, of one read by its path, and of a file and a directory read
// through their own descriptors, as lines of text.
std::string read_all(const test_tree& tree) {
  std::string text;
  const int dir = open(tree.path().c_str(), O_RDONLY | O_DIRECTORY);
  struct stat own;
  if (dir < 0 || fstat(dir, &own) != 0) return "cannot open the tree";
  auto describe = [&](int at, const std::string& name, std::uint64_t parent_device) {
    platform::entry_facts facts;
    text += "<" + name + "> ";
    const platform::result<> read = platform::read_entry(at, name.c_str(), parent_device, facts);
    if (!read.outcome) {
      text += std::strerror(static_cast<int>(read.error)) + std::string("\n");
      return;
    }
    text += std::to_string(facts.identity.volume) + ":" + std::to_string(facts.identity.key) +
            " links " + std::to_string(facts.links) + " size " + std::to_string(facts.size) +
            " allocated " + std::to_string(facts.allocated) +
            " kind " + std::to_string(static_cast<int>(facts.kind)) +
            (facts.is_directory ? " directory\n" : " file\n");
  };
  for (const char* name : kNames) describe(dir, name, own.st_dev);
  describe(AT_FDCWD, tree.path("file"), 0);
  for (const char* name : {"file", "dir"}) {
    const int fd = openat(dir, name, O_RDONLY | O_CLOEXEC);
    text += std::string("(") + name + " open) ";
    describe(fd, "", own.st_dev);
    if (fd >= 0) close(fd);
  }
  close(dir);
  return text;
}

const std::string kReparse =
    " kind " + std::to_string(static_cast<int>(platform::entry_kind::reparse)) + " ";

std::string line_of(const std::string& text, const std::string& name) {
  const std::size_t start = text.find("<" + name + "> ");
  return start == std::string::npos ? std::string()
                                    : text.substr(start, text.find('\n', start) - start);
}

// In a child: reads every entry, makes statx fail with `error`, and reads
// them twice more, the first refusal and then the remembered one. With
// `mount`, "mnt" is first made a mount point of its own, which without
// statx can only be told by its device.
std::string read_with_statx_refused(const test_tree& tree, int error, bool mount_tmpfs) {
  if (mount_tmpfs &&
      (unshare(CLONE_NEWNS) != 0 ||
       mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
       mount("tmpfs", tree.path("mnt").c_str(), "tmpfs", 0, nullptr) != 0))
    return std::string("mount: ") + std::strerror(errno);
  const std::string with_statx = read_all(tree);
  if (!refuse_statx(error)) return "no seccomp filter";
#ifdef TWINFIND_CAN_REFUSE_STATX
  // The system call itself: the C library covers a missing one (ENOSYS).
  struct statx probe;
  if (syscall(__NR_statx, AT_FDCWD, ".", 0, STATX_TYPE, &probe) == 0 || errno != error)
    return "the filter let statx through";
#endif
  const std::string refused = read_all(tree);
  const std::string remembered = read_all(tree);
  const bool mount_seen =
      !mount_tmpfs || (line_of(refused, "mnt").find(kReparse) != std::string::npos &&
                       line_of(refused, "dir").find(kReparse) == std::string::npos);
  if (with_statx == refused && refused == remembered && mount_seen) return "";
  return "with statx:\n" + with_statx + "refused:\n" + refused + "remembered:\n" + remembered;
}

// The space on disk is the system's count of 512-byte blocks, whatever the
// length: a sparse file takes less than its length, a directory and a long
// symbolic link take blocks of their own, an empty file none.
TEST(ReadEntryPosix, AllocatedSpaceIsTheSystemsBlocksOf512Bytes) {
  test_tree tree;
  tree.file("data", 10000);
  tree.file("empty");
  tree.directory("dir");
  const int sparse = open(tree.path("sparse").c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(sparse, 0);
  ASSERT_EQ(ftruncate(sparse, off_t{1} << 32), 0);
  ASSERT_EQ(pwrite(sparse, "x", 1, 1 << 20), 1);
  close(sparse);
  ASSERT_EQ(symlink(std::string(300, 't').c_str(), tree.path("long-link").c_str()), 0);
  for (const char* name : {"data", "empty", "dir", "sparse", "long-link"}) {
    SCOPED_TRACE(name);
    struct stat st;
    ASSERT_EQ(lstat(tree.path(name).c_str(), &st), 0);
    platform::entry_facts facts;
    ASSERT_TRUE(platform::read_entry(AT_FDCWD, tree.path(name).c_str(), 0, facts).outcome);
    EXPECT_EQ(facts.allocated, static_cast<std::int64_t>(st.st_blocks) * 512);
    EXPECT_EQ(facts.size, st.st_size);
  }
  platform::entry_facts facts;
  ASSERT_TRUE(platform::read_entry(AT_FDCWD, tree.path("sparse").c_str(), 0, facts).outcome);
  EXPECT_LT(facts.allocated, facts.size / 1024);
  EXPECT_GT(facts.allocated, 0);
  ASSERT_TRUE(platform::read_entry(AT_FDCWD, tree.path("empty").c_str(), 0, facts).outcome);
  EXPECT_EQ(facts.allocated, 0);
}

// A file read through its open descriptor (an empty name) is read as by
// its name, whichever call reads it; an empty name with a directory's
// descriptor reads that directory, not an entry of it.
TEST(ReadEntryPosix, AnEmptyNameReadsTheOpenFileItself) {
  test_tree tree;
  tree.file("data", 10000);
  tree.file("empty");
  tree.directory("dir");
  ASSERT_EQ(link(tree.path("data").c_str(), tree.path("again").c_str()), 0);
  for (const char* name : {"data", "empty", "dir"}) {
    SCOPED_TRACE(name);
    const int fd = open(tree.path(name).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const platform::entry_reading by_name = platform::read_reading(AT_FDCWD, tree.path(name).c_str(), 0);
    const platform::entry_reading by_fd = platform::read_reading(fd, "", 0);
    close(fd);
    ASSERT_EQ(by_name.examined.outcome, platform::examination::examined);
    ASSERT_EQ(by_fd.examined.outcome, platform::examination::examined);
    EXPECT_TRUE(by_fd.facts.identity == by_name.facts.identity);
    EXPECT_EQ(by_fd.facts.links, by_name.facts.links);
    EXPECT_EQ(by_fd.facts.size, by_name.facts.size);
    EXPECT_EQ(by_fd.facts.allocated, by_name.facts.allocated);
    EXPECT_EQ(by_fd.facts.is_directory, by_name.facts.is_directory);
    EXPECT_EQ(by_fd.facts.kind, by_name.facts.kind);
  }
  EXPECT_EQ(platform::read_reading(-1, "", 0).examined.outcome, platform::examination::not_found);
}

TEST(ReadEntryPosix, WhereStatxIsRefusedFstatatGivesTheSameFacts) {
#ifndef TWINFIND_CAN_REFUSE_STATX
  GTEST_SKIP() << "no seccomp filter for statx on this system";
#endif
  test_tree tree;
  make_entries(tree);
  for (const int error : {EPERM, EOPNOTSUPP, EINVAL, ENOSYS}) {
    SCOPED_TRACE(std::strerror(error));
    EXPECT_EQ(check_in_child([&] { return read_with_statx_refused(tree, error, false); }), "");
  }
}

// Without statx a mount point is known by a device other than its
// parent's; the tmpfs must still be a reparse point, the plain directory
// beside it not.
TEST(ReadEntryPosix, WhereStatxIsRefusedMountPointsAreToldByTheirDevice) {
#ifndef TWINFIND_CAN_REFUSE_STATX
  GTEST_SKIP() << "no seccomp filter for statx on this system";
#endif
  if (!can_unshare_mounts()) GTEST_SKIP() << "no private mount namespace (needs root)";
  test_tree tree;
  make_entries(tree);
  EXPECT_EQ(check_in_child([&] { return read_with_statx_refused(tree, EPERM, true); }), "");
}

}  // namespace
