// Every name of a file on POSIX: a file's own path when it has one name,
// and one walk of its file system, shared by all the files wanted there,
// when it has more.
#include "names/link_names-posix.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <linux/btrfs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "testing/child_check_test_util-posix.h"
#include "fs/filesystem.h"
#include "names/link_names.h"
#include "testing/process_state_test_util-posix.h"
#include "testing/mount_namespace_test_util-posix.h"
#include "testing/test_tree.h"

namespace {

using names = std::vector<std::string>;

// The path of `path` below the mount point of its file system, found
// without the code under test: its directory resolved, then cut after the
// longest mount point in /proc/self/mountinfo that holds it.
std::string mount_relative(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  char* directory = realpath(path.substr(0, slash).c_str(), nullptr);
  if (!directory) return "(unresolved " + path + ")";
  std::string absolute = directory;
  std::free(directory);
  absolute += path.substr(slash);
  std::ifstream mountinfo("/proc/self/mountinfo");
  std::string line;
  std::string best = "/";
  while (std::getline(mountinfo, line)) {
    std::istringstream fields(line);
    std::string field;
    for (int i = 0; i < 5; ++i) fields >> field;  // the fifth is the mount point
    std::string mount_point;
    for (std::size_t i = 0; i < field.size(); ++i) {  // undo octal escapes such as \040
      if (field[i] == '\\' && i + 3 < field.size()) {
        mount_point += static_cast<char>(std::strtol(field.substr(i + 1, 3).c_str(), nullptr, 8));
        i += 3;
      } else {
        mount_point += field[i];
      }
    }
    if (mount_point.size() > best.size() &&
        absolute.compare(0, mount_point.size(), mount_point) == 0 &&
        absolute.size() > mount_point.size() && absolute[mount_point.size()] == '/')
      best = mount_point;
  }
  return best == "/" ? absolute : absolute.substr(best.size());
}

names sorted_mount_relative(std::initializer_list<std::string> paths) {
  names expected;
  for (const std::string& path : paths) expected.push_back(mount_relative(path));
  std::sort(expected.begin(), expected.end());
  return expected;
}

// Requests, the paths they stand on, and the lists of names found.
struct name_search {
  std::deque<std::string> paths;  // a deque: the requests view them
  std::vector<platform::link_name_request> requests;
  platform::link_name_lists lists;

  // Asks for the names of the file at `examined`, by the path `asked`.
  void add(const std::string& examined, const std::string& asked) {
    platform::link_name_request request;
    EXPECT_EQ(platform::examine_path(examined, request.facts).outcome,
              platform::examination::examined)
        << examined;
    paths.push_back(asked);
    request.path = paths.back();
    requests.push_back(request);
  }
  void add(const std::string& path) { add(path, path); }
  void run() { platform::find_link_names(requests, lists); }
  const names& of(std::size_t request) const { return lists.at(requests.at(request).names); }
};

std::string shown(const names& list) {
  std::string text = "{";
  for (const std::string& name : list) text += " " + name;
  return text + " }";
}

// Collects what went wrong in a child process, where gtest cannot report.
struct problems {
  std::string text;
  void expect(bool ok, const std::string& what) {
    if (!ok) text += what + "\n";
  }
  void expect_names(const names& actual, const names& expected, const std::string& what) {
    expect(actual == expected, what + ": " + shown(actual) + " instead of " + shown(expected));
  }
};

// Runs `body` in a child process, on the directory "vol" of `tree`. Where
// the system allows, "vol" is a fresh tmpfs in a mount namespace of the
// child's own, so a search walks only the test's files; elsewhere it is a
// plain directory, and a search walks the whole file system of the
// temporary directory. Returns what went wrong.
std::string on_own_volume(const test_tree& tree,
                          const std::function<void(const std::string& volume, problems&)>& body) {
  tree.directory("vol");
  return check_in_child([&] {
    if (unshare(CLONE_NEWNS) == 0 &&
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0)
      mount("tmpfs", tree.path("vol").c_str(), "tmpfs", 0, nullptr);
    problems found;
    body(tree.path("vol"), found);
    return found.text;
  });
}

void make_file(const std::string& path) { std::ofstream(path) << "content"; }

void make_link(const std::string& existing, const std::string& path, problems& found) {
  found.expect(link(existing.c_str(), path.c_str()) == 0, "cannot link " + path);
}

void three_links(const std::string& vol, problems& found) {
  mkdir((vol + "/a").c_str(), 0755);
  mkdir((vol + "/b").c_str(), 0755);
  mkdir((vol + "/b/c").c_str(), 0755);
  make_file(vol + "/a/f");
  make_file(vol + "/b/unrelated");
  make_link(vol + "/a/f", vol + "/b/g", found);
  make_link(vol + "/a/f", vol + "/b/c/h", found);

  const std::size_t searches = platform::link_name_searches();
  name_search search;
  search.add(vol + "/a/f");
  search.run();
  found.expect(platform::link_name_searches() == searches + 1, "one search");
  found.expect_names(search.of(0),
                     sorted_mount_relative({vol + "/a/f", vol + "/b/g", vol + "/b/c/h"}), "names");
  for (const std::string& name : search.of(0))
    found.expect(!name.empty() && name[0] == '/', "leading slash: " + name);
}

TEST(LinkNamesPosix, AFileWithThreeLinksGetsAllThreeNames) {
  test_tree tree;
  EXPECT_EQ(on_own_volume(tree, three_links), "");
}

void two_files_one_search(const std::string& vol, problems& found) {
  mkdir((vol + "/d").c_str(), 0755);
  mkdir((vol + "/d/e").c_str(), 0755);
  make_file(vol + "/p");
  make_file(vol + "/q");
  make_file(vol + "/single");
  make_link(vol + "/p", vol + "/d/p2", found);
  make_link(vol + "/q", vol + "/d/e/q2", found);

  std::size_t searches = platform::link_name_searches();
  name_search search;
  for (const char* path : {"/p", "/q", "/p", "/single", "/d"}) search.add(vol + path);
  search.run();
  found.expect(platform::link_name_searches() == searches + 1, "one shared search");
  const names p = sorted_mount_relative({vol + "/p", vol + "/d/p2"});
  found.expect_names(search.of(0), p, "p");
  found.expect_names(search.of(1), sorted_mount_relative({vol + "/q", vol + "/d/e/q2"}), "q");
  found.expect_names(search.of(2), p, "p asked for twice");
  found.expect(search.requests[0].names == search.requests[2].names, "one list for p");
  found.expect(search.lists.size() == 4, "one list per file");
  found.expect_names(search.of(3), {mount_relative(vol + "/single")}, "single");
  // A directory's link count also counts its subdirectories' "..".
  found.expect_names(search.of(4), {mount_relative(vol + "/d")}, "directory");

  // Requests that name every link already need no search at all.
  searches = platform::link_name_searches();
  name_search again;
  again.add(vol + "/p");
  again.add(vol + "/d/p2");
  again.run();
  found.expect(platform::link_name_searches() == searches, "no search");
  found.expect_names(again.of(0), p, "p by its own names");
  found.expect_names(again.of(1), p, "p2 by its own names");
}

TEST(LinkNamesPosix, RequestsOnOneFileSystemShareOneSearch) {
  test_tree tree;
  EXPECT_EQ(on_own_volume(tree, two_files_one_search), "");
}

void deep_tree(const std::string& vol, problems& found) {
  // 300 levels: paths of 5 KB, past PATH_MAX, and more levels than the walk
  // keeps descriptors for.
  const int depth = 300;
  make_file(vol + "/top");
  int fd = open(vol.c_str(), O_RDONLY | O_DIRECTORY);
  for (int level = 0; level < depth && fd >= 0; ++level) {
    mkdirat(fd, "deeper-directory", 0755);
    const int next = openat(fd, "deeper-directory", O_RDONLY | O_DIRECTORY);
    close(fd);
    fd = next;
  }
  found.expect(fd >= 0, "cannot build the deep tree");
  found.expect(linkat(AT_FDCWD, (vol + "/top").c_str(), fd, "bottom", 0) == 0,
               "cannot link at the bottom");
  close(fd);

  struct rlimit limit = {32, 32};
  setrlimit(RLIMIT_NOFILE, &limit);
  name_search search;
  search.add(vol + "/top");
  search.run();
  std::string deep = mount_relative(vol + "/top");
  deep.resize(deep.size() - std::strlen("top"));
  for (int level = 0; level < depth; ++level) deep += "deeper-directory/";
  deep += "bottom";
  names expected{deep, mount_relative(vol + "/top")};
  std::sort(expected.begin(), expected.end());
  found.expect(search.of(0) == expected, "found " + std::to_string(search.of(0).size()) + " names");
}

TEST(LinkNamesPosix, NamesDeeperThanAnyPathLimitAreFoundWithFewDescriptors) {
  test_tree tree;
  EXPECT_EQ(on_own_volume(tree, deep_tree), "");
}

void beyond_path_max(const std::string& vol, problems& found) {
  // 16 directories of 250 bytes: the file's path is twice PATH_MAX.
  std::string deep;
  int fd = make_deep_directories(vol, 16, 250, deep);
  found.expect(fd >= 0, "cannot build the deep tree");
  const int file = openat(fd, "h", O_CREAT | O_WRONLY, 0644);
  close(file);
  found.expect(linkat(fd, "h", AT_FDCWD, (vol + "/AAlink").c_str(), 0) == 0, "link");
  close(fd);

  deep += "/h";
  name_search search;
  // Examined by its short name: the long one is beyond what stat takes.
  search.add(vol + "/AAlink", deep);
  search.add(vol + "/AAlink");
  search.run();
  const std::string top = mount_relative(vol + "/AAlink");
  const std::string own = top.substr(0, top.size() - std::strlen("/AAlink")) + deep.substr(vol.size());
  names expected{top, own};
  std::sort(expected.begin(), expected.end());
  found.expect_names(search.of(0), expected, "by the long path");
  found.expect_names(search.of(1), expected, "by the short path");
}

TEST(LinkNamesPosix, PathsBeyondPathMaxAreResolvedAndNamed) {
  test_tree tree;
  EXPECT_EQ(on_own_volume(tree, beyond_path_max), "");
}

void file_beyond_path_max(const std::string& vol, problems& found) {
  // 20 levels of 252-byte names: the file's own path is over 5,000 bytes,
  // and it is examined, matched and named by that path alone.
  std::string deep;
  int fd = make_deep_directories(vol, 20, 252, deep);
  found.expect(fd >= 0, "cannot build the deep tree");
  close(openat(fd, "file", O_CREAT | O_WRONLY, 0644));
  found.expect(linkat(fd, "file", AT_FDCWD, (vol + "/other").c_str(), 0) == 0, "link");
  close(fd);
  deep += "/file";
  found.expect(deep.size() > 5000, "the path is " + std::to_string(deep.size()) + " bytes");

  platform::entry_facts facts;
  const platform::result<platform::examination> examined = platform::examine_path(deep, facts);
  found.expect(examined.outcome == platform::examination::examined,
               "examined with code " + std::to_string(examined.error));
  found.expect(facts.links == 2 && !facts.is_directory, "links " + std::to_string(facts.links));

  std::vector<platform::pattern_match> matches;
  found.expect(platform::find_pattern_matches(deep.substr(0, deep.size() - 4) + "?i*", matches)
                       .outcome &&
                   matches.size() == 1 && matches[0].name == "file",
               "the pattern beside it matched " + std::to_string(matches.size()));

  name_search search;
  search.add(deep);
  search.run();
  const std::string top = mount_relative(vol + "/other");
  const std::string own = top.substr(0, top.size() - std::strlen("/other")) + deep.substr(vol.size());
  names expected{top, own};
  std::sort(expected.begin(), expected.end());
  found.expect_names(search.of(0), expected, "by the long path");
}

TEST(LinkNamesPosix, AFileBeyondPathMaxIsExaminedMatchedAndNamedByItsOwnPath) {
  test_tree tree;
  EXPECT_EQ(on_own_volume(tree, file_beyond_path_max), "");
}

// Runs `body` with its problems in a child process with a mount namespace
// of its own, where `mount_it` sets up the file system under test.
std::string checked_in_own_namespace(const std::function<std::string()>& mount_it,
                                     const std::function<void(problems&)>& body) {
  return in_own_namespace(mount_it, [&] {
    problems found;
    body(found);
    return found.text;
  });
}

// A btrfs subvolume has a device of its own, its mount another: the names
// of a file in it are found from the mount point all the same.
TEST(LinkNamesPosix, NamesInABtrfsSubvolumeAreFoundFromItsMount) {
  test_tree tree;
  tree.directory("mnt");
  const std::string image = tree.path("btrfs.img");
  const std::string mnt = tree.path("mnt");
  EXPECT_CHECKED(checked_in_own_namespace(
      [&]() -> std::string {
        if (!run_quietly("command -v mkfs.btrfs")) return "mkfs.btrfs is not installed";
        if (truncate(image.c_str(), 0) != 0 && errno != ENOENT) return "no image";
        { std::ofstream(image).close(); }
        if (truncate(image.c_str(), 256 << 20) != 0) return "no image";
        if (!run_quietly("mkfs.btrfs -q -f " + image)) return "mkfs.btrfs failed";
        if (!run_quietly("mount -o loop " + image + " " + mnt)) return "no loop mount of btrfs";
        mkdir((mnt + "/outer").c_str(), 0755);
        const int outer = open((mnt + "/outer").c_str(), O_RDONLY | O_DIRECTORY);
        btrfs_ioctl_vol_args args{};
        std::strcpy(args.name, "sv");
        const bool made = outer >= 0 && ioctl(outer, BTRFS_IOC_SUBVOL_CREATE, &args) == 0;
        if (outer >= 0) close(outer);
        if (!made) return "no btrfs subvolume";
        return "";
      },
      [&](problems& found) {
        make_file(mnt + "/outer/sv/a");
        make_link(mnt + "/outer/sv/a", mnt + "/outer/sv/b", found);
        struct stat sv, outer;
        found.expect(stat((mnt + "/outer/sv").c_str(), &sv) == 0 &&
                         stat((mnt + "/outer").c_str(), &outer) == 0 && sv.st_dev != outer.st_dev,
                     "the subvolume shares its device");
        name_search search;
        search.add(mnt + "/outer/sv/a");
        search.run();
        found.expect_names(search.of(0), names{"/outer/sv/a", "/outer/sv/b"}, "in the subvolume");
        found.expect(search.requests[0].unsearched.empty(), "unsearched places");
      }));
}

// An overlay of a lower layer on one file system and an upper on another
// reports its directories on one device and the lower layer's files on
// another: every name is found all the same.
TEST(LinkNamesPosix, NamesOnAnOverlayAreFoundWhateverTheDevicesItReports) {
  test_tree tree;
  for (const char* d : {"lower/d1/d2", "upperfs", "merged"}) tree.directory(d);
  const std::string lower = tree.path("lower");
  const std::string merged = tree.path("merged");
  const std::string upperfs = tree.path("upperfs");
  EXPECT_CHECKED(checked_in_own_namespace(
      [&]() -> std::string {
        make_file(lower + "/d1/a");
        if (link((lower + "/d1/a").c_str(), (lower + "/d1/d2/b").c_str()) != 0 ||
            link((lower + "/d1/a").c_str(), (lower + "/top").c_str()) != 0)
          return "no hard links in the lower layer";
        if (mount("tmpfs", upperfs.c_str(), "tmpfs", 0, nullptr) != 0) return "no tmpfs";
        mkdir((upperfs + "/upper").c_str(), 0755);
        mkdir((upperfs + "/work").c_str(), 0755);
        const std::string options =
            "lowerdir=" + lower + ",upperdir=" + upperfs + "/upper,workdir=" + upperfs + "/work";
        if (mount("overlay", merged.c_str(), "overlay", 0, options.c_str()) != 0)
          return "no overlay mount (" + std::string(std::strerror(errno)) + ")";
        return "";
      },
      [&](problems& found) {
        name_search search;
        search.add(merged + "/d1/a");
        search.run();
        found.expect(search.requests[0].facts.links == 3, "links");
        found.expect_names(search.of(0), names{"/d1/a", "/d1/d2/b", "/top"}, "on the overlay");
      }));
}

// Where names stay missing, the directories the search could not read say
// so; where none are missing, nothing is said.
void unreadable_directory(const std::string& vol, problems& found) {
  mkdir((vol + "/a-locked").c_str(), 0755);
  mkdir((vol + "/a-locked/inner").c_str(), 0755);
  make_file(vol + "/a-locked/inner/f");
  make_link(vol + "/a-locked/inner/f", vol + "/g", found);
  make_file(vol + "/solo");
  make_link(vol + "/solo", vol + "/solo2", found);
  chmod((vol + "/a-locked").c_str(), 0);
  // Root reads whatever the permissions say: the search runs unprivileged.
  if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
    found.expect(false, "cannot drop privileges");
    return;
  }
  name_search search;
  search.add(vol + "/g");
  search.run();
  found.expect_names(search.of(0), names{mount_relative(vol + "/g")}, "what can be found");
  const std::vector<platform::unsearched_directory>& missed = search.requests[0].unsearched;
  // Named as the user reaches it: the mount point's path, then the path
  // below it.
  char* absolute = realpath(vol.c_str(), nullptr);
  const std::string locked = std::string(absolute ? absolute : "?") + "/a-locked";
  std::free(absolute);
  found.expect(missed.size() == 1 && missed[0].path == locked && missed[0].error == EACCES,
               "unsearched: " + std::to_string(missed.size()) +
                   (missed.empty() ? "" : " " + missed[0].path + " " + std::to_string(missed[0].error)));
  name_search complete;
  complete.add(vol + "/solo2");
  complete.run();
  found.expect(complete.of(0).size() == 2 && complete.requests[0].unsearched.empty(),
               "a complete search says nothing");
}

TEST(LinkNamesPosix, DirectoriesThatCouldNotBeSearchedAreNamedWhereNamesAreMissing) {
  test_tree tree;
  EXPECT_EQ(on_own_volume(tree, unreadable_directory), "");
}

// Leaves exactly `count` descriptors free: fills the table to a small
// limit, then gives `count` back.
std::vector<int> keep_free(int count) {
  struct rlimit small = {64, 64};
  setrlimit(RLIMIT_NOFILE, &small);
  std::vector<int> held;
  for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;) held.push_back(fd);
  for (int i = 0; i < count && !held.empty(); ++i) {
    close(held.back());
    held.pop_back();
  }
  return held;
}

void few_descriptors(const std::string& vol, problems& found) {
  std::string path = vol;
  for (const char* part : {"/a", "/b", "/c", "/d", "/e", "/f"}) {
    path += part;
    mkdir(path.c_str(), 0755);
    mkdir((path + "-side").c_str(), 0755);
    make_file(path + "-side/x");
  }
  make_file(vol + "/top");
  make_link(vol + "/top", path + "/bottom", found);
  make_link(vol + "/top", vol + "/a/b-side/middle", found);
  name_search plenty;
  plenty.add(vol + "/top");
  plenty.run();
  found.expect(plenty.of(0).size() == 3, "three names with plenty of descriptors");
  for (const int free : {4, 5}) {
    const std::vector<int> held = keep_free(free);
    name_search scarce;
    scarce.add(vol + "/top");
    scarce.run();
    found.expect_names(scarce.of(0), plenty.of(0), std::to_string(free) + " free descriptors");
    for (const int fd : held) close(fd);
  }
}

TEST(LinkNamesPosix, FourFreeDescriptorsFindEveryName) {
  test_tree tree;
  EXPECT_EQ(on_own_volume(tree, few_descriptors), "");
}

void unlisted_directory(const std::string& vol, problems& found) {
  mkdir((vol + "/blind").c_str(), 0711);  // passable, not listable
  mkdir((vol + "/open").c_str(), 0755);
  make_file(vol + "/blind/f");
  make_link(vol + "/blind/f", vol + "/open/g", found);
  chmod((vol + "/blind").c_str(), 0711);  // whatever the umask
  chmod((vol + "/open").c_str(), 0755);
  // Permissions do not bind root.
  found.expect(geteuid() != 0 || (setgid(65534) == 0 && setuid(65534) == 0),
               "cannot drop privileges");
  name_search search;
  search.add(vol + "/blind/f");
  search.run();
  found.expect_names(search.of(0), sorted_mount_relative({vol + "/blind/f", vol + "/open/g"}),
                     "names");
}

void bind_mounts(const std::string& vol, problems& found) {
  for (const char* directory : {"/bind", "/x", "/y", "/y/loop"})
    mkdir((vol + directory).c_str(), 0755);
  make_file(vol + "/x/f");
  make_link(vol + "/x/f", vol + "/y/g", found);
  // The subtree x seen again at bind, and the volume's top seen again from
  // below it: a loop.
  found.expect(mount((vol + "/x").c_str(), (vol + "/bind").c_str(), nullptr, MS_BIND, nullptr) == 0,
               "bind mount of x");
  found.expect(mount(vol.c_str(), (vol + "/y/loop").c_str(), nullptr, MS_BIND, nullptr) == 0,
               "bind mount of the top");

  name_search search;
  search.add(vol + "/x/f");
  search.add(vol + "/bind/f");
  search.run();
  found.expect_names(search.of(0), {"/x/f", "/y/g"}, "through the volume's top");
  // Only the subtree of x shows through the bind mount.
  found.expect_names(search.of(1), {"/f"}, "through the bind mount");
}

TEST(LinkNamesPosix, BindMountsAreNotEnteredAndNameFromTheirOwnTop) {
  if (!can_unshare_mounts()) GTEST_SKIP() << "no private mount namespace (needs root)";
  test_tree tree;
  EXPECT_EQ(on_own_volume(tree, bind_mounts), "");
}

TEST(LinkNamesPosix, AnUnlistedDirectoryStillYieldsTheFilesOwnPath) {
  test_tree tree;
  EXPECT_EQ(on_own_volume(tree, unlisted_directory), "");
}

TEST(LinkNamesPosix, OneNameIsTheFilesOwnPathAndALinkStaysItself) {
  test_tree tree;
  tree.file("real/solo");
  tree.file("target");
  ASSERT_EQ(symlink("target", tree.path("link").c_str()), 0);
  ASSERT_EQ(symlink("real", tree.path("dir-link").c_str()), 0);

  const std::size_t searches = platform::link_name_searches();
  name_search search;
  for (const char* path : {"real/solo", "link", "dir-link/solo", "dir-link", "real/", "real/.",
                           "real/../real/solo"})
    search.add(tree.path(path));
  search.run();
  EXPECT_EQ(platform::link_name_searches(), searches);

  const std::string solo = mount_relative(tree.path("real/solo"));
  ASSERT_EQ(solo.front(), '/');
  EXPECT_EQ(solo.compare(solo.size() - 10, 10, "/real/solo"), 0);
  EXPECT_EQ(search.of(0), names{solo});
  EXPECT_EQ(search.of(1), names{mount_relative(tree.path("link"))});  // not "target"
  EXPECT_EQ(search.of(2), names{solo});  // the directory part resolved
  EXPECT_EQ(search.of(3), names{mount_relative(tree.path("dir-link"))});
  const names real{mount_relative(tree.path("real"))};
  EXPECT_EQ(search.of(4), real);
  EXPECT_EQ(search.of(5), real);
  EXPECT_EQ(search.of(6), names{solo});
}

TEST(LinkNamesPosix, RelativePathsAndVanishedFiles) {
  test_tree tree;
  tree.file("here");
  name_search search;
  search.add(tree.path("here"), "here");
  search.add(tree.path("here"), tree.path("gone/here"));  // the directory has disappeared
  search.add(tree.path("here"), "");
  {
    const working_directory in(tree.path());
    search.run();
  }
  EXPECT_EQ(search.of(0), names{mount_relative(tree.path("here"))});
  EXPECT_TRUE(search.of(1).empty());
  EXPECT_TRUE(search.of(2).empty());
}

}  // namespace
