// The walk on POSIX trees: links, special files, mount points, depth,
// scarce descriptors and unreadable places.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "testing/child_check_test_util-posix.h"
#include "testing/read_ahead_test_util.h"
#include "testing/refuse_statx_test_util-posix.h"
#include "testing/mount_namespace_test_util-posix.h"
#include "scan/scandata.h"
#include "testing/test_tree.h"

namespace scan {

namespace {

TEST(WalkPosix, LinksAreCountedAsThemselvesAndNeverEntered) {
  test_tree tree;
  tree.file("target", 10);
  tree.file("dir/inside");
  ASSERT_EQ(symlink("target", tree.path("file-link").c_str()), 0);
  ASSERT_EQ(symlink("dir", tree.path("dir-link").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", tree.path("dangling").c_str()), 0);
  captured_scan run;
  run.scan.scan_directory(tree.path());

  EXPECT_EQ(run.scan.files_total, 4);  // target, file-link, dangling, dir/inside
  EXPECT_EQ(run.scan.files_symlink, 2);
  EXPECT_EQ(run.scan.dirs_total, 2);  // dir, and dir-link with its directory bit
  EXPECT_EQ(run.scan.dirs_symlink, 1);
  EXPECT_EQ(run.scan.dirs_normal, 1);
  // The link to the file is a file of its own: its own size (the length of
  // its target's name), not the target's.
  EXPECT_EQ(run.scan.naive_size, 10 + 6 + 7);
  EXPECT_EQ(run.scan.filenames_by_key.size(), 4u);
  EXPECT_EQ(run.scan.progress_ticks, 2);  // the PATH and dir, never dir-link
}

// The walk visits the files of a directory in the order of the bytes of
// their names, whatever the file system lists first: names that begin
// others, of eight bytes and about it, that differ only past their
// eighth, and bytes above ASCII, which order after it. A link of several
// names (cp -al links links too) is a file wherever it leads, so it is
// visited among the files too: "link" before "zfile", though it leads to a
// directory.
TEST(WalkPosix, FilesAreVisitedInTheOrderOfTheBytesOfTheirNames) {
  const std::vector<std::string> names = {
      "b", "a", "ab", "abcdefg", "abcdefgh", "abcdefghi", "abcdefgh0", "abcdefgg", "abcdefghij-long",
      "abcdefghij-lonf", "\xc3\xa9t\xc3\xa9", "\xff", "Z", "~", "a b", "abcdefgh\x80"};
  test_tree tree;
  for (const std::string& name : names) tree.file(name);
  tree.file("dir/inside");
  ASSERT_EQ(symlink("dir", tree.path("link").c_str()), 0);
  tree.hard_link("link", "link2");
  tree.file("zfile", 1);
  tree.hard_link("zfile", "zfile2");
  captured_scan run;
  run.scan.listed_link_counts = {1, 2};
  run.scan.scan_directory(tree.path());

  const auto visited = [&](std::int32_t links) {
    std::vector<std::string> relative;
    for (const std::string& name : names_by_first_meeting(run.scan, links))
      relative.push_back(name.substr(tree.path().size() + 1));
    return relative;
  };
  std::vector<std::string> expected = names;
  std::sort(expected.begin(), expected.end());  // as unsigned bytes
  expected.push_back("dir/inside");
  EXPECT_EQ(visited(1), expected);
  EXPECT_EQ(visited(2), (std::vector<std::string>{"link", "link2", "zfile", "zfile2"}));
  EXPECT_EQ(run.scan.files_symlink, 2);
  EXPECT_EQ(run.scan.dirs_symlink, 0);
}

TEST(WalkPosix, APathThatIsALinkToADirectoryIsWalked) {
  test_tree tree;
  tree.file("real/f");
  ASSERT_EQ(symlink("real", tree.path("link").c_str()), 0);
  captured_scan run;
  run.scan.scan_directory(tree.path("link"));
  EXPECT_EQ(run.scan.files_total, 1);
  EXPECT_EQ(all_kept_names(run.scan), std::vector<native_string>{tree.path("link") + "/f"});
}

TEST(WalkPosix, FifosAndSocketsAreReparsePointsAndNeverBlock) {
  test_tree tree;
  ASSERT_EQ(mkfifo(tree.path("fifo").c_str(), 0600), 0);
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socket_path = tree.path("socket");
  if (socket_path.size() < sizeof address.sun_path) {
    std::memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  captured_scan run;
  run.scan.scan_directory(tree.path());
  close(sock);
  EXPECT_EQ(run.scan.files_reparse, socket_path.size() < sizeof address.sun_path ? 2 : 1);
  EXPECT_EQ(run.scan.files_normal, 0);
}

TEST(WalkPosix, DeviceNodesAreReparsePoints) {
  captured_scan run;
  run.scan.scan_directory("/dev/null/..");  // not a directory: nothing counted
  EXPECT_EQ(run.scan.files_total, 0);
  struct stat st;
  if (stat("/dev/null", &st) != 0 || !S_ISCHR(st.st_mode)) GTEST_SKIP() << "no /dev/null";
  _scandata scan;
  native_ostringstream out;
  scan.out = &out;
  scan.breakdown("/dev/null");
  ASSERT_EQ(scan.breakdowns.size(), 1u);
  EXPECT_EQ(scan.breakdowns[0].kind, platform::entry_kind::reparse);
}

TEST(WalkPosix, LargeDirectoriesAreListedCompletely) {
  // Names of every length up to the longest, in a directory whose listing
  // takes many replies of the system: none may be lost at a reply's end.
  test_tree tree;
  tree.file("big/seed");
  const std::string seed = tree.path("big/seed");
  int names = 1;
  for (int i = 0; i < 3000; ++i) {
    std::string name = std::to_string(i) + "-";
    name.resize(std::max<std::size_t>(name.size(), 1 + (i * 7) % 255), 'n');
    ASSERT_EQ(link(seed.c_str(), (tree.path("big") + "/" + name).c_str()), 0) << name;
    ++names;
  }
  captured_scan run;
  run.scan.scan_directory(tree.path());
  EXPECT_EQ(run.scan.files_total, names);
  EXPECT_EQ(run.scan.files_normal, names);
  EXPECT_EQ(run.scan.hardlinkcounts.at(names).file_count, names);
}

std::string walk_deep_tree_with_few_descriptors(const native_string& root, int depth) {
  struct rlimit limit = {32, 32};
  setrlimit(RLIMIT_NOFILE, &limit);
  captured_scan run(/*verbose=*/true);
  run.scan.scan_directory(root);
  const bool ok = run.scan.dirs_total == depth && run.scan.files_total == 1 &&
                  run.scan.dirs_skipped == 0 && run.out.str().find("Error") == std::string::npos &&
                  all_kept_names(run.scan).front().size() >
                      depth * std::strlen("/deeper-directory");
  if (ok) return "";
  return "dirs " + std::to_string(run.scan.dirs_total) + "\n" + run.out.str().substr(0, 2000);
}

TEST(WalkPosix, TreesDeeperThanAnyPathLimitAreWalkedWithFewDescriptors) {
  // 300 levels: paths of 5 KB, past PATH_MAX, and more levels than the walk
  // keeps descriptors for (128 at most, here fewer than 32).
  test_tree tree;
  const int depth = 300;
  int fd = open(tree.path().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  for (int level = 0; level < depth; ++level) {
    ASSERT_EQ(mkdirat(fd, "deeper-directory", 0755), 0);
    const int next = openat(fd, "deeper-directory", O_RDONLY | O_DIRECTORY);
    close(fd);
    ASSERT_GE(next, 0);
    fd = next;
  }
  const int file = openat(fd, "bottom", O_CREAT | O_WRONLY, 0644);
  close(file);
  close(fd);

  EXPECT_EQ(
      check_in_child([&] { return walk_deep_tree_with_few_descriptors(tree.path(), depth); }), "");
}

// Drops to an unprivileged user, if root: permissions do not bind root.
bool unprivileged() { return geteuid() != 0 || (setgid(65534) == 0 && setuid(65534) == 0); }

std::string walk_unreadable_places_unprivileged(const test_tree& tree) {
  if (!unprivileged()) return "cannot drop privileges";
  captured_scan run(/*verbose=*/true);
  run.scan.scan_directory(tree.path());
  const std::string out = run.out.str();
  const bool ok =
      run.scan.dirs_total == 3 && run.scan.files_total == 2 && run.scan.files_skipped == 1 &&
      run.scan.files_normal == 1 &&
      out.find("Error searching \"" + tree.path("locked") + "\": 0x0000000d") !=
          std::string::npos &&
      out.find("Error finding \"" + tree.path("blind/unseen") + "\": 0x0000000d") !=
          std::string::npos;
  return ok ? "" : out;
}

TEST(WalkPosix, UnreadableDirectoriesAndEntriesAreReportedAndSkipped) {
  test_tree tree;
  tree.file("locked/secret");
  tree.file("blind/unseen");
  tree.file("open/visible");
  ASSERT_EQ(chmod(tree.path("locked").c_str(), 0), 0);
  ASSERT_EQ(chmod(tree.path("blind").c_str(), 0444), 0);  // listable, not searchable
  // Permissions do not bind root: check as an unprivileged user.
  EXPECT_EQ(check_in_child([&] { return walk_unreadable_places_unprivileged(tree); }), "");
}

std::string walk_unsearchable_parent_unprivileged(const test_tree& tree) {
  if (!unprivileged()) return "cannot drop privileges";
  captured_scan run(/*verbose=*/true);
  run.scan.scan_directory(tree.path("P"));
  const std::string out = run.out.str();
  const std::string sub = tree.path("P/s");
  // Listed, but neither examined nor entered: both say why, the entering
  // as the top-level form of the same directory does.
  const bool ok =
      out.find("Error finding \"" + sub + "\": 0x0000000d") != std::string::npos &&
      out.find("Error getting attributes for \"" + sub + "\": 0x0000000d") != std::string::npos &&
      out.find("Error searching") == std::string::npos && run.scan.scan_errors == 2 &&
      run.scan.dirs_total == 1 && run.scan.dirs_skipped == 1;
  return ok ? "" : out;
}

TEST(WalkPosix, ASubdirectoryWhoseAttributesCannotBeReadSaysSo) {
  test_tree tree;
  tree.file("P/s/inside");
  ASSERT_EQ(chmod(tree.path("P").c_str(), 0444), 0);  // listable, not searchable
  EXPECT_EQ(check_in_child([&] { return walk_unsearchable_parent_unprivileged(tree); }), "");
}

// Listable but not searchable, in a child without privileges (which would
// search it anyway): the pattern matches, as the listing succeeds; each
// match cannot be read, and says so on its own line.
TEST(WalkPosix, BreakdownsOfAPatternInADirectoryListedButNotSearchedSayWhyEach) {
  test_tree tree;
  tree.file("d/f");
  tree.file("d/g");
  ASSERT_EQ(chmod(tree.path("d").c_str(), 0644), 0);
  EXPECT_EQ(check_in_child([&]() -> std::string {
              if (!unprivileged()) return "cannot drop privileges";
              if (chdir(tree.path().c_str()) != 0) return "cannot enter the tree";
              captured_scan run(/*verbose=*/true);
              run.scan.breakdown("d/*");
              const std::string out = run.out.str();
              const bool ok = out == "Error finding \"d/f\": 0x0000000d\nError finding \"d/g\": 0x0000000d\n" &&
                              run.scan.scan_errors == 2 && run.scan.breakdowns.empty();
              return ok ? "" : out;
            }),
            "");
  ASSERT_EQ(chmod(tree.path("d").c_str(), 0755), 0);
}

std::string walk_mounts_in_private_namespace(const test_tree& tree) {
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("tmpfs", tree.path("mnt").c_str(), "tmpfs", 0, nullptr) != 0 ||
      mount(tree.path().c_str(), tree.path("sub/loop").c_str(), nullptr, MS_BIND, nullptr) != 0)
    return std::string("mount: ") + std::strerror(errno);
  captured_scan run(/*verbose=*/true);
  run.scan.scan_directory(tree.path());
  // mnt and the bind mount of the tree itself are counted, never entered.
  const bool ok = run.scan.dirs_reparse == 2 && run.scan.files_total == 1;
  return ok ? "" : "reparse " + std::to_string(run.scan.dirs_reparse) + " files " +
                       std::to_string(run.scan.files_total);
}

TEST(WalkPosix, MountPointsAreReparsePointsAndBindCyclesAreNotEntered) {
  if (!can_unshare_mounts()) GTEST_SKIP() << "no private mount namespace (needs root)";
  test_tree tree;
  tree.file("mnt/hidden-by-mount");
  tree.file("sub/loop/placeholder");
  tree.file("sub/file");
  EXPECT_EQ(check_in_child([&] { return walk_mounts_in_private_namespace(tree); }), "");
}

// Whether something is mounted at `path` in this process's namespace.
bool mounted_at(const std::string& path) {
  std::FILE* mounts = std::fopen("/proc/self/mountinfo", "r");
  if (!mounts) return false;
  char line[4096];
  bool found = false;
  // The fifth field is the mount point.
  while (!found && std::fgets(line, sizeof line, mounts)) {
    char point[4096];
    found = std::sscanf(line, "%*s %*s %*s %*s %4095s", point) == 1 && path == point;
  }
  std::fclose(mounts);
  return found;
}

// debugfs mounts tracefs on its "tracing" directory when that is entered:
// an automount point, which the walk counts as a mount point and passes by
// as find -xdev does, and no worker reading ahead opens. A breakdown of it
// reads it as such too.
std::string walk_debugfs(const std::string& top) {
  const std::string tracing = top + "/tracing";
  struct statx sx;
  if (statx(AT_FDCWD, tracing.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_TYPE, &sx) != 0 ||
      !(sx.stx_attributes & STATX_ATTR_AUTOMOUNT) || mounted_at(tracing))
    return "skip: debugfs has no tracing automount point here";
  captured_scan run(/*verbose=*/true);
  run.scan.scan_directory(top);
  run.scan.breakdown(tracing);
  if (mounted_at(tracing)) return "the walk mounted " + tracing;
  if (run.scan.dirs_reparse < 1) return "no reparse directory";
  if (run.scan.breakdowns.size() != 1 ||
      run.scan.breakdowns[0].kind != platform::entry_kind::reparse)
    return "tracing is not a reparse directory";
  return "";
}

TEST(WalkPosix, AnAutomountPointIsAReparsePointTheWalkNeverMounts) {
  test_tree tree;
  tree.directory("debug");
  const std::string top = tree.path("debug");
  EXPECT_CHECKED(in_own_namespace(
      [&]() -> std::string {
        if (mount("none", top.c_str(), "debugfs", 0, nullptr) == 0) return "";
        return std::string("cannot mount debugfs: ") + std::strerror(errno);
      },
      [&] { return walk_debugfs(top); }));
}

std::string walk_directory_reached_twice(const test_tree& tree) {
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount(tree.path("top/a").c_str(), tree.path("top/b/a-again").c_str(), nullptr, MS_BIND,
            nullptr) != 0)
    return std::string("mount: ") + std::strerror(errno);
  // Without statx the bind mount, on the same device, passes for a plain
  // directory, and the walk enters it.
  if (!refuse_statx()) return "";  // no way to hide the mount here
  captured_scan run;
  run.scan.keep_all_names = false;
  run.scan.space.enabled = true;
  run.scan.scan_paths({tree.path("top")});
  const _scandata& s = run.scan;
  const _scandata_path_space& path = s.space.paths.at(0);
  // Five names (a/single and a/pair twice), three files: single, pair and
  // b's own; the pair is not freed, one of its names met twice.
  const bool ok = s.files_total == 5 && s.unique_files == 3 && s.naive_size == 2 * 110 + 5 &&
                  s.unique_size == 115 && path.unique_files == 3 && path.freed == 15 &&
                  s.hardlinkcounts.at(1).distinct_files == 2;
  return ok ? "" : "files " + std::to_string(s.files_total) + " unique " +
                       std::to_string(s.unique_files) + " freed " + std::to_string(path.freed);
}

TEST(WalkPosix, ADirectoryReachedTwiceByOneWalkAddsOnlyNames) {
  if (!can_unshare_mounts()) GTEST_SKIP() << "no private mount namespace (needs root)";
  test_tree tree;
  tree.file("top/a/single", 10);
  tree.file("top/a/pair", 100);
  tree.hard_link("top/a/pair", "elsewhere/pair");
  tree.file("top/b/own", 5);
  tree.directory("top/b/a-again");
  EXPECT_EQ(check_in_child([&] { return walk_directory_reached_twice(tree); }), "");
}

// Everything a verbose scan tells of a tree: its output and the figures,
// with `threads` threads reading ahead of the walk (0: the walk alone).
std::string everything_told(const native_string& top, std::size_t threads) {
  const platform::read_ahead_threads_for_test reading_ahead(threads);
  captured_scan run(/*verbose=*/true);
  run.scan.space.enabled = true;
  run.scan.scan_paths({top, top + "/big"});
  std::string told = run.out.str();
  for (const native_string& name : all_kept_names(run.scan)) told += name + "\n";
  for (const auto& [links, info] : run.scan.hardlinkcounts) {
    told += std::to_string(links) + " " + std::to_string(info.file_count) + " " +
            std::to_string(info.distinct_files) + "\n";
  }
  for (const std::int64_t n : {run.scan.files_total, run.scan.dirs_total, run.scan.naive_size,
                               run.scan.unique_size, run.scan.space.freed, run.scan.scan_errors})
    told += std::to_string(n) + " ";
  return told;
}

// Threads reading ahead change nothing the scan tells, in the same order,
// however many: large listings whose entries they read (files of every
// size and link count, links to files, to directories and to nothing, a
// listing of links alone whose targets decide where the walk visits them),
// many siblings whose directories they open (leaves and not, empty ones,
// links up, files linked across them), and a chain of levels deep enough
// that they read at several depths at once.
TEST(WalkPosix, ReadingAheadChangesNothingTheScanTells) {
  test_tree tree;
  for (int i = 0; i < 1500; ++i) {
    const std::string name = "big/f" + std::to_string(i);
    tree.file(name, static_cast<std::size_t>(i % 13));
    if (i % 7 == 0) tree.hard_link(name, "big/sub/again" + std::to_string(i));
    if (i % 50 == 0) tree.directory("big/d" + std::to_string(i) + "/inner");
  }
  ASSERT_EQ(symlink("f1", tree.path("big/link").c_str()), 0);
  ASSERT_EQ(symlink("sub", tree.path("big/dir-link").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", tree.path("big/dangling").c_str()), 0);
  tree.file("small/one", 1);
  tree.directory("links");
  for (int i = 0; i < 90; ++i) {
    const char* target = i % 3 == 0 ? "../big/sub" : i % 3 == 1 ? "../big/f3" : "gone";
    ASSERT_EQ(symlink(target, tree.path("links/l" + std::to_string(i)).c_str()), 0);
  }
  for (int i = 0; i < 60; ++i) {
    const std::string dir = "big/wide/s" + std::to_string(i);
    tree.file(dir + "/f", static_cast<std::size_t>(i));
    if (i % 4 == 0) tree.file(dir + "/deeper/t" + std::to_string(i) + "/g", 3);
    if (i % 6 == 0) tree.directory(dir + "/empty");
    if (i % 5 == 0) tree.hard_link(dir + "/f", "big/wide/s" + std::to_string((i + 7) % 60) + "/twin");
    if (i % 9 == 0) {
      ASSERT_EQ(symlink("..", tree.path(dir + "/up").c_str()), 0);
    }
  }
  std::string chain = "big/deep";
  for (int depth = 0; depth < 40; ++depth) {
    chain += "/d" + std::to_string(depth);
    for (int i = 0; i < 3; ++i) tree.file(chain + "/side" + std::to_string(i) + "/f", 1);
  }
  const std::string alone = everything_told(tree.path(), 0);
  EXPECT_NE(std::string::npos, alone.find(tree.path("big/sub/again0")));
  for (int round = 0; round < 3; ++round) {
    for (const std::size_t threads : {1, 3, 8}) EXPECT_EQ(alone, everything_told(tree.path(), threads));
  }
}

// The error lines of unreadable places, verbose, in the order of a walk
// alone and with threads reading ahead of it; as an
// unprivileged user.
std::string errors_told_alike_unprivileged(const test_tree& tree) {
  if (!unprivileged()) return "cannot drop privileges";
  const std::string alone = everything_told(tree.path(), 0);
  if (alone.find("Error searching") == std::string::npos ||
      alone.find("Error finding") == std::string::npos)
    return "no error lines: " + alone;
  for (int round = 0; round < 3; ++round) {
    for (const std::size_t threads : {1, 4}) {
      const std::string together = everything_told(tree.path(), threads);
      if (together != alone) return "with threads:\n" + together + "\nalone:\n" + alone;
    }
  }
  return "";
}

TEST(WalkPosix, ThreadsReadingAheadKeepTheErrorLinesAndTheirOrder) {
  test_tree tree;
  for (int i = 0; i < 6; ++i) {
    const std::string n = std::to_string(i);
    tree.file("big/locked" + n + "/secret");
    tree.file("big/blind" + n + "/unseen");
    tree.file("big/open" + n + "/visible", 3);
    ASSERT_EQ(chmod(tree.path("big/locked" + n).c_str(), 0), 0);
    ASSERT_EQ(chmod(tree.path("big/blind" + n).c_str(), 0444), 0);  // listable, not searchable
  }
  EXPECT_EQ(check_in_child([&] { return errors_told_alike_unprivileged(tree); }), "");
}

}  // namespace

}  // namespace scan
