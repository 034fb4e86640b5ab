// The space allocated on disk against GNU du on generated snapshot trees:
// the totals of a scan by allocation must be du's totals, and each PATH's
// Freed if deleted what du gives that PATH as the last of its operands,
// since du counts a file at its first name and a directory at its one name.
// So too the space by directory: each row's Unique size is du's of that
// directory alone, and its Freed if deleted what du of all the PATHs loses
// when that directory is excluded. And the PATHs as a series: du of the
// first k PATHs less du of the first k-1 is what the k-th adds.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "scan/scandata.h"
#include "testing/test_tree.h"

namespace scan {

namespace {

// What `command` prints on standard output, through the shell.
std::string output_of(const std::string& command) {
  std::string text;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return text;
  char buffer[4096];
  std::size_t read;
  while ((read = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, read);
  pclose(pipe);
  return text;
}

bool have_gnu_du() {
  return output_of("du --version 2>/dev/null").find("GNU coreutils") != std::string::npos;
}

// The figure of the last line du prints for `paths`, or -1.
std::int64_t du_last(const std::string& options, const std::vector<native_string>& paths) {
  std::string command = "du " + options;
  for (const native_string& path : paths) command += " '" + path + "'";
  std::string out = output_of(command + " 2>/dev/null");
  while (!out.empty() && out.back() == '\n') out.pop_back();
  const std::size_t last = out.rfind('\n');
  const std::string line = last == std::string::npos ? out : out.substr(last + 1);
  if (line.empty()) return -1;
  return std::strtoll(line.c_str(), nullptr, 10);
}

// A file of `size` bytes that holds data only at its middle.
void sparse_file(const test_tree& tree, const std::string& name, off_t size) {
  const int fd = open(tree.path(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, size), 0);
  ASSERT_EQ(pwrite(fd, "x", 1, size / 2), 1);
  close(fd);
}

void run(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

// Three snapshots, each made from the one before with cp -al, as backup
// tools make them, then changed: files replaced, added and removed, a
// subtree dropped, more names of a shared file made. Directories by the
// hundred, one large enough to take several blocks, empty files, a sparse
// file, symbolic links long enough to take a block of their own, and
// links to directories, which cp -al links like any file: one of them to a
// directory the later snapshots drop, so that its relative target leads to
// a directory from its first name only.
void make_snapshots(const test_tree& tree) {
  for (int d = 0; d < 24; ++d) {
    const std::string dir = "s1/d" + std::to_string(d);
    for (int f = 0; f < 3; ++f)
      tree.file(dir + "/f" + std::to_string(f), static_cast<std::size_t>((d * 7 + f * 977) % 9000));
    tree.directory(dir + "/e/deeper");
  }
  for (int i = 0; i < 60; ++i)
    tree.file("s1/big/" + std::string(200, 'n') + std::to_string(i));
  tree.file("s1/empty");
  tree.file("s1/d1/empty");
  sparse_file(tree, "s1/sparse", off_t{1} << 30);
  ASSERT_EQ(symlink(std::string(300, 't').c_str(), tree.path("s1/long-link").c_str()), 0);
  ASSERT_EQ(symlink("d0/f0", tree.path("s1/short-link").c_str()), 0);
  std::string to_d1;  // long enough to take a block
  for (int i = 0; i < 150; ++i) to_d1 += "./";
  ASSERT_EQ(symlink((to_d1 + "d1").c_str(), tree.path("s1/to-d1").c_str()), 0);
  ASSERT_EQ(symlink((to_d1 + "d5").c_str(), tree.path("s1/to-d5").c_str()), 0);  // s2 drops d5
  tree.hard_link("s1/d2/f0", "s1/d3/also-f0");  // two names in one snapshot

  const std::string root = "'" + tree.path() + "'";
  run("cd " + root + " && cp -al s1 s2");
  run("cd " + root + " && rm s2/d0/f1 && rm -r s2/d5 && rm s2/sparse");
  tree.file("s2/d0/f1", 5000);
  tree.file("s2/new", 9000);
  tree.file("s2/extra/one", 100);
  sparse_file(tree, "s2/sparse", off_t{1} << 31);
  run("cd " + root + " && cp -al s2 s3");
  tree.file("s3/d7/new", 20000);
  tree.hard_link("s3/d8/f0", "s3/d9/twin");  // one more name of a file of all three
  run("cd " + root + " && rm s3/long-link");
}

struct allocated_scan {
  captured_scan run;
  // With the space by directory down to `depth`, where not below 0.
  explicit allocated_scan(const std::vector<native_string>& paths, std::int32_t depth = -1) {
    run.scan.keep_all_names = false;  // as the program runs
    run.scan.space.enabled = true;
    if (depth >= 0) run.scan.collect_directories(depth);
    run.scan.measure_sizes(size_measure::allocated);
    run.scan.scan_paths(paths);
  }
};

// `path` as a pattern of du --exclude that matches it alone.
std::string exclude_pattern(const std::string& path) {
  std::string pattern;
  for (const char c : path) {
    if (c == '*' || c == '?' || c == '[' || c == '\\') pattern += '\\';
    pattern += c;
  }
  return pattern;
}

// One tree for every comparison, as each du reads it whole.
TEST(AllocatedAgainstDu, TotalsAndWhatEachSnapshotAndDirectoryFreesAreDus) {
  if (!have_gnu_du()) GTEST_SKIP() << "GNU du is not installed";
  test_tree tree;
  make_snapshots(tree);
  const std::vector<native_string> paths{tree.path("s1"), tree.path("s2"), tree.path("s3")};

  // The plain scan: its totals are du's, over every snapshot and over two.
  for (const std::vector<native_string>& some : {paths, {paths[2], paths[0]}}) {
    SCOPED_TRACE(some.size());
    const allocated_scan scanned(some);
    EXPECT_EQ(scanned.run.scan.scan_errors, 0);
    EXPECT_EQ(scanned.run.scan.unique_size, du_last("-s -c -B1 -x", some));
    EXPECT_EQ(scanned.run.scan.naive_size, du_last("-s -c -l -B1 -x", some));
  }

  // The space by path: each snapshot frees what du gives it after all the
  // others have taken theirs.
  const allocated_scan scanned(paths);
  ASSERT_EQ(scanned.run.scan.space.paths.size(), paths.size());
  for (std::size_t i = 0; i < paths.size(); ++i) {
    SCOPED_TRACE(paths[i]);
    std::vector<native_string> last_of_all;
    for (std::size_t j = 0; j < paths.size(); ++j)
      if (j != i) last_of_all.push_back(paths[j]);
    last_of_all.push_back(paths[i]);
    const std::int64_t freed = scanned.run.scan.space.paths[i].freed;
    EXPECT_EQ(freed, du_last("-s -B1 -x", last_of_all));
    EXPECT_GT(freed, 0);
  }
  // Alone, a snapshot holds what du gives it alone.
  EXPECT_EQ(scanned.run.scan.space.paths[1].unique_size, du_last("-s -B1 -x", {paths[1]}));
  // No name lies outside the snapshots: deleting all of them frees all.
  EXPECT_EQ(scanned.run.scan.space.freed, scanned.run.scan.unique_size);
  EXPECT_EQ(held_outside(scanned.run.scan.space), 0);

  // The space by directory: every directory of the snapshots down to depth
  // 3 is a row; what it holds is du's of it alone, and what deleting it
  // frees is what du of every snapshot loses without it.
  const allocated_scan deep(paths, 3);
  EXPECT_EQ(deep.run.scan.scan_errors, 0);
  const std::vector<_scandata_directory_row>& rows = deep.run.scan.directories.rows;
  const std::int64_t all = du_last("-s -c -B1 -x", paths);
  std::int32_t deepest = 0;
  for (const _scandata_directory_row& row : rows) {
    const native_string path(deep.run.scan.directories.path_of(row));
    SCOPED_TRACE(path);
    deepest = std::max(deepest, row.depth);
    EXPECT_EQ(row.unique_size(), du_last("-s -B1 -x", {path}));
    const std::string exclude = "--exclude='" + exclude_pattern(path) + "'";
    EXPECT_EQ(row.freed(), all - du_last("-s -c -B1 -x " + exclude, paths));
  }
  EXPECT_EQ(deepest, 3);
  EXPECT_EQ(rows.front().freed(), deep.run.scan.space.paths.front().freed);
  EXPECT_GT(rows.size(), 3u * 24 * 3);
  // A row's figures are its subtree's, whatever depth the rows go to.
  const auto down_to_1 = [](const allocated_scan& at) {
    std::vector<std::tuple<native_string, std::int64_t, std::int64_t>> figures;
    for (const _scandata_directory_row& row : at.run.scan.directories.rows)
      if (row.depth <= 1)
        figures.emplace_back(at.run.scan.directories.path_of(row), row.unique_size(),
                             row.freed());
    return figures;
  };
  EXPECT_EQ(down_to_1(allocated_scan(paths, 1)), down_to_1(deep));
}

// The snapshots as a series, in two orders: with every name below the
// PATHs, what a PATH adds is what du of it and those before it counts more
// than du of those before it, and what it frees with those before it is
// what du of all the PATHs counts more than du of those after it.
TEST(AllocatedAgainstDu, EachSnapshotInOrderAddsAndFreesWhatDuCountsOfItsSeries) {
  if (!have_gnu_du()) GTEST_SKIP() << "GNU du is not installed";
  test_tree tree;
  make_snapshots(tree);
  const native_string s1 = tree.path("s1"), s2 = tree.path("s2"), s3 = tree.path("s3");
  const auto du_total = [](const std::vector<native_string>& paths) -> std::int64_t {
    return paths.empty() ? 0 : du_last("-s -c -B1 -x", paths);
  };
  for (const std::vector<native_string>& paths :
       {std::vector<native_string>{s1, s2, s3}, {s3, s1, s2}}) {
    const allocated_scan scanned(paths);
    EXPECT_EQ(scanned.run.scan.scan_errors, 0);
    const std::vector<_scandata_path_space>& rows = scanned.run.scan.space.paths;
    ASSERT_EQ(rows.size(), paths.size());
    const std::int64_t all = du_total(paths);
    for (std::size_t k = 0; k < paths.size(); ++k) {
      SCOPED_TRACE(paths[k]);
      const std::vector<native_string> before(paths.begin(), paths.begin() + k);
      const std::vector<native_string> through(paths.begin(), paths.begin() + k + 1);
      const std::vector<native_string> after(paths.begin() + k + 1, paths.end());
      EXPECT_EQ(rows[k].added_size, du_total(through) - du_total(before));
      EXPECT_EQ(rows[k].freed_with_those_before, all - du_total(after));
      EXPECT_GT(rows[k].added_size, 0);
    }
    EXPECT_EQ(rows.back().freed_with_those_before, all);
  }
}

// On a real disk: a symbolic link with a relative target
// of 100 bytes (a block of its own on ext4: more than fits in the inode),
// hard-linked into a second directory where its target does not exist. It
// leads to a directory from one name only, and is one file of two links at
// both, whichever is met first: both names listed, counted once, nothing
// held outside the PATHs.
TEST(AllocatedAgainstDu, ALinkLeadingToADirectoryFromOneNameOnlyIsOneFile) {
  test_tree tree;
  const std::string target(100, 'd');
  tree.directory("a/" + target);
  tree.directory("b");
  ASSERT_EQ(symlink(target.c_str(), tree.path("a/link").c_str()), 0);
  ASSERT_EQ(linkat(AT_FDCWD, tree.path("a/link").c_str(), AT_FDCWD, tree.path("b/link").c_str(), 0),
            0);
  struct stat link_stat, target_stat;
  ASSERT_EQ(lstat(tree.path("b/link").c_str(), &link_stat), 0);
  ASSERT_NE(stat(tree.path("b/link").c_str(), &target_stat), 0);  // nowhere from b
  const std::int64_t link_allocated = static_cast<std::int64_t>(link_stat.st_blocks) * 512;
  const bool gnu_du = have_gnu_du();

  const native_string a = tree.path("a"), b = tree.path("b");
  for (const std::vector<native_string>& paths : {std::vector<native_string>{a, b}, {b, a}}) {
    for (const size_measure measure : {size_measure::allocated, size_measure::apparent}) {
      SCOPED_TRACE(paths[0] + (measure == size_measure::allocated ? " first, -A" : " first"));
      captured_scan run;
      run.scan.keep_all_names = false;  // as the program runs, with -C 2
      run.scan.listed_link_counts = {2};
      run.scan.space.enabled = true;
      run.scan.measure_sizes(measure);
      run.scan.scan_paths(paths);
      const _scandata& scan = run.scan;
      EXPECT_EQ(scan.scan_errors, 0);
      EXPECT_EQ(scan.files_total, 2);
      EXPECT_EQ(scan.files_symlink, 2);
      EXPECT_EQ(scan.dirs_total, 1);  // a's directory alone
      EXPECT_EQ(scan.dirs_symlink, 0);
      ASSERT_EQ(scan.hardlinkcounts.count(2), 1u);
      EXPECT_EQ(scan.hardlinkcounts.at(2).file_count, 2);
      EXPECT_EQ(scan.hardlinkcounts.at(2).distinct_files, 1);
      std::vector<native_string> names = all_kept_names(scan);
      std::sort(names.begin(), names.end());
      EXPECT_EQ(names, (std::vector<native_string>{tree.path("a/link"), tree.path("b/link")}));
      // Every name lies inside the PATHs: deleting both frees everything.
      EXPECT_EQ(held_outside(scan.space), 0);
      EXPECT_EQ(scan.space.freed, scan.unique_size);
      ASSERT_EQ(scan.space.paths.size(), 2u);
      for (const _scandata_path_space& path : scan.space.paths) {
        EXPECT_EQ(path.files, 1);
        EXPECT_EQ(path.unique_files, 1);
      }
      if (measure == size_measure::apparent) {
        EXPECT_EQ(scan.naive_size, 200);  // the link's length, at both names
        EXPECT_EQ(scan.unique_size, 100);
        continue;
      }
      EXPECT_EQ(scan.naive_size - scan.unique_size, link_allocated);
      if (!gnu_du) continue;
      EXPECT_EQ(scan.unique_size, du_last("-s -c -B1 -x", paths));
      EXPECT_EQ(scan.naive_size, du_last("-s -c -l -B1 -x", paths));
    }
  }
  if (!gnu_du) GTEST_SKIP() << "GNU du is not installed: checked all but du's figures";
}

}  // namespace

}  // namespace scan
