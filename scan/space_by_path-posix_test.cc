// The space by path on POSIX trees: a tree reached through a link, and
// entries that cannot be examined.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "scan/scandata.h"
#include "testing/test_tree.h"

namespace scan {

namespace {

TEST(SpaceByPathPosix, ATreeReachedThroughALinkCountsOnceForTheRun) {
  test_tree tree;
  tree.file("real/f", 8);
  tree.hard_link("real/f", "real/sub/g");
  tree.hard_link("real/f", "elsewhere/h");
  ASSERT_EQ(symlink("real", tree.path("link").c_str()), 0);
  captured_scan run;
  run.scan.space.enabled = true;
  run.scan.scan_paths({tree.path("link"), tree.path("real"), tree.path("real/./sub")});
  ASSERT_EQ(run.scan.space.paths.size(), 3u);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(run.scan.space.paths[i].files, 2) << i;
    EXPECT_EQ(run.scan.space.paths[i].unique_files, 1) << i;
    EXPECT_EQ(run.scan.space.paths[i].freed, 0) << i;  // h lies outside
  }
  EXPECT_EQ(run.scan.files_total, 5);
  // Counted by names, the five meetings would pass for three links.
  EXPECT_EQ(run.scan.space.freed, 0);
  EXPECT_EQ(held_outside(run.scan.space), 8);
}

void scan_with_skipped_entry_unprivileged(const test_tree& tree) {
  if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
  captured_scan run;
  run.scan.space.enabled = true;
  run.scan.scan_paths({tree.path()});
  const _scandata_path_space& path = run.scan.space.paths.at(0);
  // The unseen file is listed (Files) but not examined (no unique file).
  const bool ok = run.scan.files_skipped == 1 && path.files == 2 && path.unique_files == 1 &&
                  path.unique_size == 3 && path.freed == 3 && run.scan.space.freed == 3;
  if (!ok) std::fprintf(stderr, "%lld files, %lld unique\n", static_cast<long long>(path.files),
                        static_cast<long long>(path.unique_files));
  _exit(ok ? 0 : 1);
}

TEST(SpaceByPathPosix, SkippedEntriesAreFilesButNoUniqueFiles) {
  test_tree tree;
  tree.file("blind/unseen", 5);
  tree.file("open/seen", 3);
  ASSERT_EQ(chmod(tree.path("blind").c_str(), 0444), 0);  // listable, not searchable
  EXPECT_EXIT(scan_with_skipped_entry_unprivileged(tree), ::testing::ExitedWithCode(0), "");
}

}  // namespace

}  // namespace scan
