// Extents that several files share, on real file systems that share them:
// loop-mounted xfs (with reflink) and btrfs images, in a private mount
// namespace. Each layout is scanned with -A and with -E, and -E must take
// away exactly the blocks that copies share: once in the unique total, and
// from a PATH's Freed if deleted unless every holder goes with it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/statvfs.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <grp.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "scan/scandata.h"
#include "testing/child_check_test_util-posix.h"
#include "testing/mount_namespace_test_util-posix.h"
#include "testing/read_ahead_test_util.h"
#include "testing/test_tree.h"

namespace scan {

namespace {

constexpr std::int64_t MiB = 1 << 20;

// The figures of one scan of `paths`, sizes allocated, with or without -E;
// with the rows of the space by directory down to `depth`, if not below 0.
struct figures {
  std::vector<_scandata_path_space> paths;
  std::int64_t unique = 0;  // the summary's unique total
  std::int64_t freed = 0;   // what deleting every PATH frees
  std::int64_t errors = 0;
  std::map<std::string, std::pair<std::int64_t, std::int64_t>> rows;  // unique, freed
  bool metadata_not_counted = false, compressed_at_least = false;
};

figures scan_of(const std::vector<std::string>& paths, bool shared, std::int32_t depth = -1) {
  _scandata scan;
  platform::native_ostringstream out;
  scan.out = &out;
  scan.err = &out;
  scan.keep_all_names = false;
  scan.space.enabled = true;
  scan.measure_sizes(size_measure::allocated);
  if (shared) scan.count_shared_extents();
  if (depth >= 0) scan.collect_directories(depth);
  scan.scan_paths(paths);
  figures f;
  f.paths = scan.space.paths;
  f.unique = scan.unique_size;
  f.freed = scan.space.freed;
  f.errors = scan.scan_errors;
  f.metadata_not_counted = scan.metadata_not_counted();
  f.compressed_at_least = scan.compressed_counted_at_least();
  for (const _scandata_directory_row& row : scan.directories.rows)
    f.rows[std::string(scan.directories.path_of(row))] = {row.unique_size(), row.freed()};
  return f;
}

// What went wrong, one line each.
struct problems {
  std::string text;
  void expect_eq(std::int64_t actual, std::int64_t expected, const std::string& what) {
    if (actual != expected)
      text += what + ": " + std::to_string(actual) + ", expected " + std::to_string(expected) + "\n";
  }
  void expect(bool holds, const std::string& what) {
    if (!holds) text += what + "\n";
  }
};

// A file system on a loop-mounted image.
struct image_kind {
  const char* name;
  const char* mkfs;  // the command, before the image's path
  off_t size;
  const char* options = "";  // mount options beside the loop
};

// Mounts a fresh image of `kind` at `mnt` in a namespace of the child's
// own, then runs `body` there. Skips where the tools, loop devices or
// namespaces are missing.
std::string on_image(const image_kind& kind, const test_tree& tree,
                     const std::function<void(const std::string& mnt, problems&)>& body) {
  const std::string image = tree.path(std::string(kind.name) + ".img");
  const std::string mnt = tree.path(std::string(kind.name) + "-mnt");
  mkdir(mnt.c_str(), 0755);
  return in_own_namespace(
      [&]() -> std::string {
        const std::string tool = std::string(kind.mkfs).substr(0, std::string(kind.mkfs).find(' '));
        if (!run_quietly("command -v " + tool)) return tool + " is not installed";
        if (!run_quietly("command -v losetup && losetup -f")) return "no free loop device";
        { std::ofstream(image).close(); }
        if (truncate(image.c_str(), kind.size) != 0) return "no image";
        if (!run_quietly(std::string(kind.mkfs) + " " + image)) return tool + " failed";
        if (!run_quietly("mount -o loop" + std::string(*kind.options ? "," : "") + kind.options +
                         " " + image + " " + mnt))
          return "no loop mount of " + std::string(kind.name);
        return "";
      },
      [&] {
        problems found;
        body(mnt, found);
        run_quietly("umount " + mnt);
        return found.text;
      });
}

void shell(const std::string& command, problems& found) {
  found.expect(run_quietly(command), "failed: " + command);
}

// `bytes` of random data at `path`, written out to disk.
void random_file(const std::string& path, std::int64_t bytes, problems& found) {
  shell("mkdir -p \"$(dirname '" + path + "')\" && head -c " + std::to_string(bytes) +
            " /dev/urandom > '" + path + "'",
        found);
}

void reflink(const std::string& from, const std::string& to, problems& found) {
  shell("mkdir -p \"$(dirname '" + to + "')\" && cp --reflink=always '" + from + "' '" + to + "'",
        found);
}

// Overwrites `bytes` at `offset` of `path` in place, with new data.
void rewrite(const std::string& path, std::int64_t offset, std::int64_t bytes, problems& found) {
  shell("dd if=/dev/urandom of='" + path + "' bs=1M seek=" + std::to_string(offset / MiB) +
            " count=" + std::to_string(bytes / MiB) + " conv=notrunc,fsync",
        found);
}

// Under -E, the row of each of `directories` below their common PATH
// holds what the space by path says of it as a PATH of its own.
void expect_rows_as_paths(const std::string& top, const std::vector<std::string>& directories,
                          const std::string& what, problems& found) {
  std::vector<std::string> paths;
  for (const std::string& directory : directories) paths.push_back(top + "/" + directory);
  const figures by_path = scan_of(paths, true);
  figures by_directory = scan_of({top}, true, 1);
  found.expect_eq(by_directory.errors, 0, what + ": errors");
  for (std::size_t i = 0; i < paths.size(); ++i) {
    found.expect(by_directory.rows.count(paths[i]) == 1, what + ": no row for " + directories[i]);
    found.expect_eq(by_directory.rows[paths[i]].first, by_path.paths[i].unique_size,
                    what + ": unique of " + directories[i]);
    found.expect_eq(by_directory.rows[paths[i]].second, by_path.paths[i].freed,
                    what + ": freed by " + directories[i]);
  }
  // The PATH's own row holds what the space by path says of the PATH.
  found.expect_eq(by_directory.rows[top].first, by_directory.paths[0].unique_size,
                  what + ": the PATH's unique");
  found.expect_eq(by_directory.rows[top].second, by_directory.paths[0].freed,
                  what + ": freed by the PATH");
}

// Scans `dirs` of `top` as PATHs with -A and with -E: -E must take
// `unique_less` from the unique total, `freed_less` from what deleting
// every PATH frees, and `path_freed_less[i]` from what deleting PATH i
// frees, and leave each PATH's unique as it was. A figure of `unchecked`
// is not checked: it differs between file systems.
constexpr std::int64_t unchecked = -1;
void expect_shared(const std::string& top, const std::vector<std::string>& dirs,
                   std::int64_t unique_less, std::int64_t freed_less,
                   const std::vector<std::int64_t>& path_freed_less, const std::string& what,
                   problems& found) {
  std::vector<std::string> paths;
  for (const std::string& dir : dirs) paths.push_back(top + "/" + dir);
  const figures a = scan_of(paths, false), e = scan_of(paths, true);
  found.expect_eq(e.errors, 0, what + ": errors");
  found.expect(a.unique >= unique_less * 2, what + ": -A sees every copy");
  found.expect_eq(e.unique, a.unique - unique_less, what + ": unique");
  if (freed_less != unchecked) found.expect_eq(e.freed, a.freed - freed_less, what + ": freed by all");
  for (std::size_t i = 0; i < dirs.size(); ++i) {
    if (path_freed_less[i] != unchecked)
      found.expect_eq(e.paths[i].freed, a.paths[i].freed - path_freed_less[i],
                      what + ": freed by " + dirs[i]);
    found.expect_eq(e.paths[i].unique_size, a.paths[i].unique_size, what + ": unique of " + dirs[i]);
  }
}

// The layouts every file system that shares extents must get right.
void check_layouts(const std::string& mnt, problems& found) {
  // A file and its reflinked copy in two PATHs: -E counts the 16 MiB once,
  // and neither PATH alone frees them; both do, once.
  random_file(mnt + "/pair/a/f", 16 * MiB, found);
  reflink(mnt + "/pair/a/f", mnt + "/pair/b/g", found);
  // The copy rewritten in part: deleting it frees the rewritten blocks.
  random_file(mnt + "/part/a/f", 16 * MiB, found);
  reflink(mnt + "/part/a/f", mnt + "/part/b/g", found);
  rewrite(mnt + "/part/b/g", 4 * MiB, 4 * MiB, found);
  // Hard links and reflinks in one tree: a file with a name in each of two
  // snapshots and a reflinked copy in a third; each counts once.
  random_file(mnt + "/mixed/s1/f", 8 * MiB, found);
  shell("mkdir -p " + mnt + "/mixed/s2 && ln " + mnt + "/mixed/s1/f " + mnt + "/mixed/s2/f", found);
  reflink(mnt + "/mixed/s1/f", mnt + "/mixed/s3/f", found);
  sync();
  expect_shared(mnt + "/pair", {"a", "b"}, 16 * MiB, 16 * MiB, {16 * MiB, 16 * MiB}, "pair", found);
  // Held by a file outside the PATHs: the copy alone frees none of it.
  expect_shared(mnt + "/pair", {"b"}, 0, 16 * MiB, {16 * MiB}, "outside", found);
  expect_rows_as_paths(mnt + "/pair", {"a", "b"}, "pair rows", found);
  // (btrfs keeps the whole of a partly rewritten extent: what deleting the
  // original frees differs between file systems.)
  expect_shared(mnt + "/part", {"a", "b"}, 12 * MiB, unchecked, {unchecked, 12 * MiB}, "part", found);
  expect_shared(mnt + "/mixed", {"s1", "s2", "s3"}, 8 * MiB, 8 * MiB, {0, 0, 8 * MiB}, "mixed",
                found);
}

const image_kind xfs{"xfs", "mkfs.xfs -q -f -m reflink=1", off_t{320} * MiB};
const image_kind btrfs{"btrfs", "mkfs.btrfs -q -f", off_t{256} * MiB};

TEST(SharedExtentsPosix, ReflinkedCopiesOnXfs) {
  test_tree tree;
  EXPECT_CHECKED(on_image(xfs, tree, check_layouts));
}

TEST(SharedExtentsPosix, ReflinkedCopiesOnBtrfs) {
  test_tree tree;
  EXPECT_CHECKED(on_image(btrfs, tree, check_layouts));
}

// A btrfs snapshot of a small tree: unchanged, it frees nothing and adds
// nothing; changed, each side frees what only it holds. btrfs gives
// directories no blocks, and the files are too large to be kept inline.
TEST(SharedExtentsPosix, BtrfsSubvolumeSnapshotBeforeAndAfterChanges) {
  test_tree tree;
  EXPECT_CHECKED(on_image(btrfs, tree, [](const std::string& mnt, problems& found) {
    shell("btrfs subvolume create " + mnt + "/s1", found);
    for (int i = 0; i < 3; ++i) random_file(mnt + "/s1/big" + std::to_string(i), MiB, found);
    for (int i = 0; i < 5; ++i)
      random_file(mnt + "/s1/d/small" + std::to_string(i), 16384, found);
    sync();
    shell("btrfs subvolume snapshot " + mnt + "/s1 " + mnt + "/s2", found);
    sync();
    const std::vector<std::string> paths = {mnt + "/s1", mnt + "/s2"};
    const std::int64_t data = 3 * MiB + 5 * 16384;
    figures e = scan_of(paths, true);
    found.expect_eq(e.errors, 0, "before: errors");
    found.expect_eq(e.unique, data, "before: unique");
    found.expect_eq(e.paths[0].freed, 0, "before: s1 freed");
    found.expect_eq(e.paths[1].freed, 0, "before: s2 freed");
    found.expect_eq(e.freed, data, "before: freed by both");

    // The snapshot's copy of one large file replaced by new data, and a new
    // file of its own.
    rewrite(mnt + "/s2/big1", 0, MiB, found);
    random_file(mnt + "/s2/new", 512 * 1024, found);
    sync();
    e = scan_of(paths, true);
    found.expect_eq(e.unique, data + MiB + 512 * 1024, "after: unique");
    found.expect_eq(e.paths[0].freed, MiB, "after: s1 freed");
    found.expect_eq(e.paths[1].freed, MiB + 512 * 1024, "after: s2 freed");
    found.expect_eq(e.freed, e.unique, "after: freed by both");
    expect_rows_as_paths(mnt, {"s1", "s2"}, "snapshot rows", found);
  }));
}

// Where workers read ahead of the walk, they map the files of the
// directories they read, beside the walk: the figures are those of a walk
// alone, whatever the threads, on a tree of directories large enough to be
// read in slices and small enough to be opened ahead, with what no worker
// maps among them (inline files, a file of two links, an empty file, a
// link, a FIFO that must never be opened, a file of more extents than a
// worker keeps), a snapshot changed in part and
// a reflinked copy; compressed too, half the files compressing well.
TEST(SharedExtentsPosix, MapsReadAheadCountAsTheWalksAlone) {
  const image_kind zstd{"btrfs-zstd", "mkfs.btrfs -q -f", off_t{256} * MiB, "compress-force=zstd"};
  for (const image_kind& kind : {btrfs, zstd}) {
    SCOPED_TRACE(kind.name);
    test_tree tree;
    chmod(tree.path().c_str(), 0755);  // for the user below
    EXPECT_CHECKED(on_image(kind, tree, [](const std::string& mnt, problems& found) {
      shell("btrfs subvolume create " + mnt + "/s1", found);
      shell("cd " + mnt + "/s1 && for d in 0 1 2 3 4 5; do mkdir -p d$d/e; "
                "for i in $(seq 1 20); do head -c 8192 /dev/urandom > d$d/f$i; "
                "yes \"line $i of $d\" | head -c 65536 > d$d/text$i; done; "
                "for i in $(seq 1 8); do head -c 700 /dev/urandom > d$d/e/small$i; done; done && "
                "ln d0/f1 d1/again && : > d2/empty && ln -s ../d0 d3/link && mkfifo d4/fifo && "
              "for i in $(seq 0 99); do dd if=/dev/urandom of=d5/pieces bs=4k seek=$((i * 2)) "
              "count=1 conv=notrunc,fsync status=none; done",
            found);
      sync();
      shell("btrfs subvolume snapshot " + mnt + "/s1 " + mnt + "/s2", found);
      shell("cp -a --reflink=always " + mnt + "/s1 " + mnt + "/s3", found);
      rewrite(mnt + "/s2/d1/f3", 0, MiB, found);
      random_file(mnt + "/s2/d5/new", 65536, found);
      // A file mounted over a file the listing calls regular: a worker
      // opens no name across a mount point, and reads it by name instead.
      random_file(mnt + "/elsewhere", 65536, found);
      shell("mount --bind " + mnt + "/elsewhere " + mnt + "/s2/d0/f2", found);
      sync();
      const std::vector<std::string> paths = {mnt + "/s1", mnt + "/s2", mnt + "/s3"};
      figures alone;
      {
        platform::read_ahead_threads_for_test threads(0);
        alone = scan_of(paths, true, 1);
      }
      found.expect_eq(alone.errors, 0, "alone: errors");
      found.expect(alone.unique > 0 && alone.paths.size() == 3, "alone: figures");
      for (const std::size_t count : {1, 2}) {
        platform::read_ahead_threads_for_test threads(count);
        const figures ahead = scan_of(paths, true, 1);
        const std::string what = std::to_string(count) + " threads: ";
        found.expect_eq(ahead.errors, alone.errors, what + "errors");
        found.expect_eq(ahead.unique, alone.unique, what + "unique");
        found.expect_eq(ahead.freed, alone.freed, what + "freed by all");
        for (std::size_t i = 0; i < alone.paths.size() && i < ahead.paths.size(); ++i) {
          found.expect_eq(ahead.paths[i].unique_size, alone.paths[i].unique_size,
                          what + "unique of " + paths[i]);
          found.expect_eq(ahead.paths[i].freed, alone.paths[i].freed, what + "freed by " + paths[i]);
        }
        found.expect(ahead.rows == alone.rows, what + "rows");
        found.expect(ahead.metadata_not_counted == alone.metadata_not_counted, what + "not counted");
        found.expect(ahead.compressed_at_least == alone.compressed_at_least, what + "compressed");
      }
      shell("umount " + mnt + "/s2/d0/f2", found);
      // A file the listing calls regular that its reader may not open: a
      // worker reads it by name, and the walk meets and reports the map it
      // cannot read, as alone.
      shell("chmod -R a+rX " + mnt + " && chmod 000 " + mnt + "/s1/d0/f5", found);
      const std::string as_nobody = check_in_child([&]() -> std::string {
        if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
            setresuid(65534, 65534, 65534) != 0)
          return "no user to become";
        figures by_threads[2];
        for (const std::size_t count : {0, 1}) {
          platform::read_ahead_threads_for_test threads(count);
          by_threads[count] = scan_of(paths, true, 1);
        }
        const figures& alone = by_threads[0];
        const figures& ahead = by_threads[1];
        if (alone.errors == 0) return "the unreadable map went unreported";
        if (ahead.errors != alone.errors || ahead.unique != alone.unique ||
            ahead.freed != alone.freed || !(ahead.rows == alone.rows))
          return "a worker's reading differs from the walk's alone";
        return "";
      });
      found.expect(as_nobody.empty(), "as a user who may not read a file: " + as_nobody);
    }));
  }
}

// The bytes of data a btrfs holds, as `btrfs filesystem df` gives them; -1
// where it cannot say.
std::int64_t btrfs_data_used(const std::string& mnt) {
  const std::string out = mnt + ".df";
  if (!run_quietly("btrfs filesystem df -b " + mnt + " > " + out)) return -1;
  std::ifstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, 5, "Data,") != 0) continue;
    const std::size_t used = line.find("used=");
    if (used != std::string::npos) return std::stoll(line.substr(used + 5));
  }
  return -1;
}

// Compressed extents: each is known by its start, and counts its length on
// disk, read from the file extent items (the tests run as root); a copy of
// a compressed file holds the same extents, which count once. The file
// system holds nothing else: the unique total is its data.
TEST(SharedExtentsPosix, CompressedCopiesOnBtrfsCountOnceAtTheirLengthOnDisk) {
  test_tree tree;
  const image_kind zstd{"btrfs-zstd", "mkfs.btrfs -q -f", off_t{256} * MiB, "compress-force=zstd"};
  EXPECT_CHECKED(on_image(zstd, tree, [](const std::string& mnt, problems& found) {
    // Text that compresses well, but not to nothing.
    shell("mkdir -p " + mnt + "/a && for i in $(seq 1 60000); do echo \"line $i of the file\"; done > " +
              mnt + "/a/f",
          found);
    sync();
    reflink(mnt + "/a/f", mnt + "/b/g", found);
    sync();
    struct stat st;
    found.expect(stat((mnt + "/a/f").c_str(), &st) == 0, "no file");
    const std::int64_t allocated = static_cast<std::int64_t>(st.st_blocks) * 512;
    const std::vector<std::string> paths = {mnt + "/a", mnt + "/b"};
    const figures e = scan_of(paths, true);
    found.expect_eq(e.errors, 0, "errors");
    found.expect_eq(e.unique, btrfs_data_used(mnt), "unique: the data on disk");
    found.expect(e.unique * 4 < allocated, "compressed to less than a quarter");
    found.expect_eq(e.freed, e.unique, "freed by both");
    found.expect_eq(e.paths[0].freed, 0, "freed by a");
    found.expect_eq(e.paths[1].freed, 0, "freed by b");
  }));
}

// -E against what deleting gives back, on real file systems: each
// snapshot of a layout deleted in turn, the scan before against the data
// `btrfs filesystem df` says was freed and against what `df` gains.

// The bytes in use by `df`'s count.
std::int64_t df_used(const std::string& mnt) {
  struct statvfs info;
  if (statvfs(mnt.c_str(), &info) != 0) return -1;
  return static_cast<std::int64_t>(info.f_blocks - info.f_bfree) *
         static_cast<std::int64_t>(info.f_frsize);
}

// df's count once the file system has let go of what was deleted: xfs
// frees deleted inodes in the background, after sync has returned, so the
// count is read until it holds still for a fifth of a second (at most
// four seconds).
std::int64_t settled_df_used(const std::string& mnt) {
  sync();
  std::int64_t used = df_used(mnt);
  for (int i = 0; i < 20; ++i) {
    usleep(200 * 1000);
    sync();
    const std::int64_t now = df_used(mnt);
    if (now == used) break;
    used = now;
  }
  return used;
}

// Within `percent` of `expected`, or `slack` bytes.
bool near(std::int64_t actual, std::int64_t expected, double percent, std::int64_t slack) {
  const double off = static_cast<double>(actual > expected ? actual - expected : expected - actual);
  return off <= slack || off <= percent / 100 * static_cast<double>(expected);
}

// A tree worth a snapshot: files of a few blocks, many under 2 KiB (btrfs
// keeps those inline), symbolic links; text when `compressible`.
void fill(const std::string& dir, bool compressible, problems& found) {
  const std::string source = compressible ? "yes 'a line of text that compresses' | head -c"
                                          : "head -c";
  const std::string tail = compressible ? "" : " /dev/urandom";
  shell("mkdir -p " + dir + "/small " + dir + "/big && cd " + dir +
            " && for i in $(seq 1 200); do " + source + " $((i * 9)) " + tail +
            " > small/f$i; done && for i in $(seq 1 6); do " + source + " $((i * 150000))" +
            tail + " > big/f$i; done && for i in $(seq 1 50); do ln -s small/f$i l$i; done",
        found);
}

// The next snapshot changed: a large file rewritten, small ones replaced,
// one added.
// The snapshots `left` (by number) under `mnt` as PATHs, oldest first;
// `row` gets the place of the snapshot `gone`.
std::vector<std::string> snapshots_left(const std::string& mnt, const std::vector<int>& left,
                                        int gone, std::size_t& row) {
  std::vector<std::string> paths;
  for (std::size_t i = 0; i < left.size(); ++i) {
    if (left[i] == gone) row = i;
    paths.push_back(mnt + "/s" + std::to_string(left[i]));
  }
  return paths;
}

void change(const std::string& dir, int n, problems& found) {
  shell("cd " + dir + " && head -c 300000 /dev/urandom > big/f" + std::to_string(n) +
            " && for i in $(seq " + std::to_string(n * 10) + " " + std::to_string(n * 10 + 20) +
            "); do head -c 900 /dev/urandom > small/f$i; done && head -c 200000 /dev/urandom > new" +
            std::to_string(n),
        found);
}

enum class snapshots { reflinked, subvolumes };

// Makes four snapshots s0..s3 at `mnt`, each from the one before and
// changed, then deletes s3, s1, s0 in turn: before each, -E's Freed if
// deleted for it, scanning every snapshot left, against the data freed
// and df's gain once the file system has let it go.
void delete_in_turn(const std::string& mnt, snapshots kind, bool compressible,
                    const std::string& what, problems& found) {
  const bool subvolumes = kind == snapshots::subvolumes;
  if (subvolumes) shell("btrfs subvolume create " + mnt + "/s0", found);
  fill(mnt + "/s0", compressible, found);
  for (int n = 1; n <= 3; ++n) {
    const std::string from = mnt + "/s" + std::to_string(n - 1), to = mnt + "/s" + std::to_string(n);
    shell(subvolumes ? "btrfs subvolume snapshot " + from + " " + to
                     : "cp -a --reflink=always " + from + " " + to,
          found);
    change(to, n, found);
  }
  sync();
  std::vector<int> left = {0, 1, 2, 3};
  for (const int gone : {3, 1, 0}) {
    std::size_t row = 0;
    const std::vector<std::string> paths = snapshots_left(mnt, left, gone, row);
    const figures e = scan_of(paths, true);
    found.expect_eq(e.errors, 0, what + ": errors");
    found.expect(e.metadata_not_counted, what + ": metadata said not counted");
    const std::int64_t data_before = btrfs_data_used(mnt), df_before = df_used(mnt);
    const std::string dir = mnt + "/s" + std::to_string(gone);
    shell(subvolumes ? "btrfs subvolume delete " + dir + " && btrfs subvolume sync " + mnt
                     : "rm -rf " + dir,
          found);
    sync();
    shell("btrfs filesystem sync " + mnt, found);
    const std::int64_t data_freed = data_before - btrfs_data_used(mnt);
    const std::int64_t df_freed = df_before - df_used(mnt);
    const std::int64_t freed = e.paths[row].freed;
    std::cout << "[measured] " << what << " s" << gone << ": -E " << freed << ", data freed "
              << data_freed << ", df " << df_freed << std::endl;
    found.expect(near(freed, data_freed, 1, 0), what + ": s" + std::to_string(gone) + " -E " +
                                                    std::to_string(freed) + " against data freed " +
                                                    std::to_string(data_freed));
    found.expect(freed <= df_freed + std::max<std::int64_t>(256 * 1024, df_freed / 100),
                 what + ": above df's gain");
    left.erase(left.begin() + static_cast<std::ptrdiff_t>(row));
  }
}

// A commit each second: a deleted subvolume is let go of soon.
const image_kind btrfs_zstd{"btrfs-zstd", "mkfs.btrfs -q -f", off_t{256} * MiB,
                            "compress=zstd,commit=1"};
const image_kind btrfs_quick{"btrfs", "mkfs.btrfs -q -f", off_t{256} * MiB, "commit=1"};

// Each snapshot deleted in turn frees what -E showed for it, on every
// layout btrfs makes of copies.
TEST(SharedExtentsAccuracyStress, BtrfsLayoutsFreeWhatMinusEShows) {
  struct layout {
    const char* name;
    const image_kind* image;
    snapshots made;
    bool compressible;
  };
  for (const layout& one : {layout{"btrfs reflinked", &btrfs, snapshots::reflinked, false},
                            layout{"btrfs snapshots", &btrfs_quick, snapshots::subvolumes, false},
                            layout{"btrfs zstd", &btrfs_zstd, snapshots::subvolumes, true}}) {
    SCOPED_TRACE(one.name);
    test_tree tree;
    EXPECT_CHECKED(on_image(*one.image, tree, [&one](const std::string& mnt, problems& found) {
      delete_in_turn(mnt, one.made, one.compressible, one.name, found);
    }));
  }
}

// On xfs deleting also frees the inode chunks it empties, which -E counts
// where it met all 64 inodes of one: each snapshot, made by hard links
// (cp -al) or by reflinked copies, deleted in turn against df's gain. Each
// snapshot holds a directory of many small files of its own, whose inodes
// fill chunks of their own; sparse inode chunks (the default) allocated in
// part are not counted, and neither are the inode btrees' blocks.
void xfs_delete_in_turn(const std::string& mnt, bool reflinked, const std::string& what,
                        problems& found) {
  fill(mnt + "/s0", false, found);
  for (int n = 1; n <= 3; ++n) {
    const std::string from = mnt + "/s" + std::to_string(n - 1);
    const std::string to = mnt + "/s" + std::to_string(n);
    shell(std::string(reflinked ? "cp -a --reflink=always " : "cp -al ") + from + " " + to, found);
    change(to, n, found);
    const std::string many = to + "/many" + std::to_string(n);
    shell("mkdir " + many + " && cd " + many + " && for i in $(seq 1 " +
              std::to_string(300 * n) + "); do echo $i > m$i; done",
          found);
  }
  sync();
  // The rows of -L 1 count the chunks as -S counts them for each snapshot.
  expect_rows_as_paths(mnt, {"s0", "s1", "s2", "s3"}, what + " rows", found);
  std::vector<int> left = {0, 1, 2, 3};
  for (const int gone : {3, 1, 0}) {
    std::size_t row = 0;
    const std::vector<std::string> paths = snapshots_left(mnt, left, gone, row);
    const figures e = scan_of(paths, true), a = scan_of(paths, false);
    found.expect_eq(e.errors, 0, what + ": errors");
    const std::int64_t df_before = settled_df_used(mnt);
    shell("rm -rf " + mnt + "/s" + std::to_string(gone), found);
    const std::int64_t df_freed = df_before - settled_df_used(mnt);
    const std::int64_t freed = e.paths[row].freed;
    std::cout << "[measured] " << what << " s" << gone << ": -E " << freed << ", -A "
              << a.paths[row].freed << ", df " << df_freed << std::endl;
    found.expect(near(freed, df_freed, 2, 512 * 1024),
                 what + ": s" + std::to_string(gone) + " -E " + std::to_string(freed) +
                     " against df " + std::to_string(df_freed));
    found.expect(freed <= df_freed + std::max<std::int64_t>(256 * 1024, df_freed / 100),
                 what + ": above df's gain");
    left.erase(left.begin() + static_cast<std::ptrdiff_t>(row));
  }
}

TEST(SharedExtentsAccuracyStress, XfsSnapshotsFreeWhatMinusEShowsInodeChunksIncluded) {
  for (const bool reflinked : {false, true}) {
    const std::string what = reflinked ? "xfs reflinked" : "xfs hard links";
    SCOPED_TRACE(what);
    test_tree tree;
    EXPECT_CHECKED(on_image(xfs, tree, [&](const std::string& mnt, problems& found) {
      xfs_delete_in_turn(mnt, reflinked, what, found);
    }));
  }
}

// A user who may not read btrfs's file extent items: each compressed
// extent counts one block, at or below the data deleting frees, and the run
// says so.
TEST(SharedExtentsAccuracyStress, BtrfsZstdUnprivilegedCountsCompressedDataAtItsLeast) {
  test_tree tree;
  chmod(tree.path().c_str(), 0755);
  EXPECT_CHECKED(on_image(btrfs_zstd, tree, [](const std::string& mnt, problems& found) {
    fill(mnt + "/a", true, found);
    shell("cp -a --reflink=always " + mnt + "/a " + mnt + "/b && chmod -R a+rX " + mnt, found);
    change(mnt + "/b", 1, found);
    // Data of b's own that compresses: counted at one block an extent.
    shell("yes 'text of b alone' | head -c 2000000 > " + mnt + "/b/text", found);
    sync();
    const std::string as_nobody = check_in_child([&]() -> std::string {
      if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
          setresuid(65534, 65534, 65534) != 0)
        return "no user to become";
      const figures e = scan_of({mnt + "/b"}, true);
      if (e.errors != 0) return "errors";
      if (!e.compressed_at_least || !e.metadata_not_counted) return "not said";
      return std::to_string(e.paths[0].freed);
    });
    const std::int64_t before = btrfs_data_used(mnt);
    shell("rm -rf " + mnt + "/b && btrfs filesystem sync " + mnt, found);
    const std::int64_t data_freed = before - btrfs_data_used(mnt);
    std::cout << "[measured] btrfs zstd unprivileged: -E " << as_nobody << ", data freed "
              << data_freed << std::endl;
    found.expect(!as_nobody.empty() && as_nobody[0] >= '0' && as_nobody[0] <= '9',
                 "unprivileged: " + as_nobody);
    if (!as_nobody.empty() && as_nobody[0] >= '0' && as_nobody[0] <= '9')
      found.expect(std::stoll(as_nobody) <= data_freed, "unprivileged -E above the data freed");
  }));
}

// ext4 with inline_data: small files live in their inodes, and deleting
// them frees no block.
TEST(SharedExtentsAccuracyStress, Ext4InlineDataFreesWhatMinusEShows) {
  test_tree tree;
  const image_kind ext4{"ext4", "mkfs.ext4 -q -F -O inline_data -I 512", off_t{64} * MiB};
  EXPECT_CHECKED(on_image(ext4, tree, [](const std::string& mnt, problems& found) {
    fill(mnt + "/a", false, found);
    sync();
    const figures e = scan_of({mnt + "/a"}, true);
    found.expect(!e.metadata_not_counted, "ext4: nothing said not counted");
    const std::int64_t before = df_used(mnt);
    shell("rm -rf " + mnt + "/a", found);
    sync();
    const std::int64_t df_freed = before - df_used(mnt);
    std::cout << "[measured] ext4 inline_data: -E " << e.paths[0].freed << ", df " << df_freed
              << std::endl;
    found.expect(near(e.paths[0].freed, df_freed, 0.1, 64 * 1024),
                 "ext4: -E " + std::to_string(e.paths[0].freed) + " against df " +
                     std::to_string(df_freed));
  }));
}

// Two xfs images whose copies lie at the same addresses, and a btrfs, in
// one run: each gives the figures it gives scanned alone.
TEST(SharedExtentsAccuracyStress, FileSystemsInOneRunEachCountAsAlone) {
  test_tree tree;
  const std::string top = tree.path("fs");
  EXPECT_CHECKED(in_own_namespace(
      [&]() -> std::string {
        for (const char* name : {"x1", "x2", "b"}) {
          const std::string image = top + "-" + name + ".img", mnt = top + "/" + name;
          const bool is_btrfs = name[0] == 'b';
          if (!run_quietly("mkdir -p " + mnt + " && truncate -s " + (is_btrfs ? "256M" : "320M") +
                           " " + image))
            return "no image";
          if (!run_quietly(std::string(is_btrfs ? "mkfs.btrfs -q -f " : "mkfs.xfs -q -f -m reflink=1 ") +
                           image))
            return "no mkfs";
          if (!run_quietly("mount -o loop " + image + " " + mnt)) return "no loop mount";
        }
        return "";
      },
      [&] {
        problems found;
        std::vector<std::string> paths;
        for (const char* name : {"x1", "x2", "b"}) {
          const std::string mnt = top + "/" + name;
          random_file(mnt + "/f", 16 * MiB, found);
          reflink(mnt + "/f", mnt + "/g", found);
          paths.push_back(mnt);
        }
        sync();
        const figures together = scan_of(paths, true);
        std::int64_t unique = 0, freed = 0;
        for (std::size_t i = 0; i < paths.size(); ++i) {
          const figures alone = scan_of({paths[i]}, true);
          found.expect_eq(together.paths[i].unique_size, alone.paths[0].unique_size,
                          paths[i] + ": unique");
          found.expect_eq(together.paths[i].freed, alone.paths[0].freed, paths[i] + ": freed");
          found.expect(alone.paths[0].freed >= 16 * MiB, paths[i] + ": frees its pair");
          unique += alone.unique;
          freed += alone.freed;
          found.expect(alone.metadata_not_counted == (i == 2), paths[i] + ": not counted said");
        }
        found.expect_eq(together.unique, unique, "unique of the run");
        found.expect_eq(together.freed, freed, "freed by the run");
        for (const char* name : {"x1", "x2", "b"}) run_quietly("umount " + top + "/" + name);
        return found.text;
      }));
}

// Nothing is said not counted where everything is: tmpfs, xfs.
TEST(SharedExtentsAccuracyStress, NotCountedIsSaidOnlyOnBtrfs) {
  test_tree tree;
  const std::string mnt = tree.path("tmp");
  EXPECT_CHECKED(in_own_namespace(
      [&]() -> std::string {
        mkdir(mnt.c_str(), 0755);
        return run_quietly("mount -t tmpfs none " + mnt) ? "" : "no tmpfs";
      },
      [&] {
        problems found;
        fill(mnt + "/a", false, found);
        const figures e = scan_of({mnt + "/a"}, true);
        found.expect(!e.metadata_not_counted && !e.compressed_at_least, "tmpfs: said not counted");
        return found.text;
      }));
  EXPECT_CHECKED(on_image(xfs, tree, [](const std::string& m, problems& found) {
    fill(m + "/a", false, found);
    sync();
    const figures e = scan_of({m + "/a"}, true);
    found.expect(!e.metadata_not_counted && !e.compressed_at_least, "xfs: said not counted");
  }));
}

}  // namespace

}  // namespace scan
