// The tally of examined entries: sizes, link counts and names by file.
#include <gtest/gtest.h>

#include <limits>

#include "testing/text_test_util.h"
#include "scan/scandata.h"

namespace scan {

namespace {

platform::entry_facts file(std::int64_t key, std::int32_t links, std::int64_t size,
                           std::uint64_t volume = 1) {
  platform::entry_facts facts;
  facts.identity.volume = volume;
  facts.identity.key = key;
  facts.links = links;
  facts.size = size;
  return facts;
}

TEST(Tally, TwoNamesOfOneFileAndAPlainFile) {
  _scandata scan;
  scan.record_entry(T("D\\a.txt"), file(1, 2, 100));
  EXPECT_EQ(scan.naive_size, 100);
  EXPECT_EQ(scan.unique_size, 100);
  scan.record_entry(T("D\\b.txt"), file(1, 2, 100));
  EXPECT_EQ(scan.naive_size, 200);
  EXPECT_EQ(scan.unique_size, 100);
  scan.record_entry(T("D\\c.txt"), file(2, 1, 50));

  EXPECT_EQ(scan.files_normal, 3);
  EXPECT_EQ(scan.naive_size, 250);
  EXPECT_EQ(scan.unique_size, 150);
  EXPECT_EQ(scan.hardlinkcounts.at(2).file_count, 2);
  EXPECT_EQ(scan.hardlinkcounts.at(2).file_ids.size(), 1u);
  EXPECT_EQ(scan.hardlinkcounts.at(1).file_count, 1);
  ASSERT_EQ(scan.filenames_by_key.size(), 2u);
  EXPECT_EQ(kept_names(scan.filenames_by_key.find(platform::file_identity{1, 1})),
            (std::vector<native_string>{T("D\\a.txt"), T("D\\b.txt")}));
}

TEST(Tally, SameIndexOnAnotherVolumeIsAnotherFile) {
  _scandata scan;
  scan.record_entry(T("C:\\x"), file(7, 1, 10, /*volume=*/1));
  scan.record_entry(T("D:\\x"), file(7, 1, 10, /*volume=*/2));
  EXPECT_EQ(scan.filenames_by_key.size(), 2u);
  EXPECT_EQ(scan.unique_size, 20);
  EXPECT_EQ(scan.hardlinkcounts.at(1).file_ids.size(), 2u);
}

TEST(Tally, KindsAndDirectories) {
  _scandata scan;
  platform::entry_facts directory = file(9, 1, 4096);
  directory.is_directory = true;
  scan.record_entry(T("dir"), directory);
  directory.kind = platform::entry_kind::reparse;
  scan.record_entry(T("mount"), directory);
  directory.kind = platform::entry_kind::symlink;
  scan.record_entry(T("dirlink"), directory);
  platform::entry_facts link = file(10, 1, 12);
  link.kind = platform::entry_kind::symlink;
  scan.record_entry(T("link"), link);

  EXPECT_EQ(scan.dirs_normal, 1);
  EXPECT_EQ(scan.dirs_reparse, 1);
  EXPECT_EQ(scan.dirs_symlink, 1);
  EXPECT_EQ(scan.files_symlink, 1);
  // Directories never enter the maps or the sizes.
  EXPECT_EQ(scan.filenames_by_key.size(), 1u);
  EXPECT_EQ(scan.naive_size, 12);
}

TEST(Tally, LinkCountChangingBetweenNamesKeepsTheKeyAtItsFirstCount) {
  _scandata scan;
  scan.record_entry(T("a"), file(5, 2, 1));
  scan.record_entry(T("b"), file(5, 3, 1));
  EXPECT_EQ(scan.hardlinkcounts.at(2).file_ids.size(), 1u);
  EXPECT_EQ(scan.hardlinkcounts.at(3).file_count, 1);
  EXPECT_TRUE(scan.hardlinkcounts.at(3).file_ids.empty());
  EXPECT_EQ(kept_names(scan.filenames_by_key.find(platform::file_identity{1, 5})).size(), 2u);
}

TEST(Tally, NamesFollowTheLinkCountOfTheFirstName) {
  _scandata scan;
  scan.keep_all_names = false;
  scan.listed_link_counts = {2};
  scan.record_entry(T("kept"), file(1, 2, 1));
  scan.record_entry(T("kept-too"), file(1, 3, 1));  // count changed meanwhile
  scan.record_entry(T("dropped"), file(2, 3, 1));
  scan.record_entry(T("dropped-too"), file(2, 2, 1));
  EXPECT_EQ(kept_names(scan.filenames_by_key.find(platform::file_identity{1, 1})),
            (std::vector<native_string>{T("kept"), T("kept-too")}));
  EXPECT_TRUE(scan.filenames_by_key.contains(platform::file_identity{1, 2}));
  EXPECT_FALSE(scan.filenames_by_key.find(platform::file_identity{1, 2}));  // no record
}

// A directory listed by the walk, at its top, by its identity alone.
platform::listed_directory listed(const platform::file_identity* identity) {
  static const native_string path;
  return platform::listed_directory{identity, path, 0, 0, true};
}

// A directory can be listed twice by one walk (a bind mount the system does
// not flag) and again by later walks: its names count each time, its files
// and their space once per walk and once for the run, single-link files
// (kept nowhere) like the others.
TEST(Tally, ADirectoryListedAgainAddsOnlyNames) {
  _scandata scan;
  scan.keep_all_names = false;
  scan.space.enabled = true;
  const platform::file_identity d{1, 100}, other{1, 101};
  auto list_d = [&] {
    scan.directory_listed(listed(&d));
    scan.record_entry(T("d/single"), file(1, 1, 10));
    scan.record_entry(T("d/pair"), file(2, 2, 100));  // its other name lies elsewhere
  };
  scan.space.paths.emplace_back();  // the first walk
  ++scan.walks;
  list_d();
  list_d();
  scan.directory_listed(listed(&other));
  scan.record_entry(T("other/single"), file(3, 1, 5));
  EXPECT_EQ(scan.files_normal, 5);
  EXPECT_EQ(scan.naive_size, 225);
  EXPECT_EQ(scan.unique_files, 3u);
  EXPECT_EQ(scan.unique_size, 115);
  EXPECT_EQ(scan.hardlinkcounts.at(1).distinct_files, 2);
  EXPECT_EQ(scan.filenames_by_key.size(), 1u);
  const _scandata_path_space& first = scan.space.paths[0];
  EXPECT_EQ(first.unique_files, 3);
  EXPECT_EQ(first.unique_size, 115);
  EXPECT_EQ(first.freed, 15);  // one name of the pair, met twice, is not both
  scan.space.paths.emplace_back();  // a second walk, through d alone
  ++scan.walks;
  list_d();
  EXPECT_EQ(scan.unique_files, 3u);
  EXPECT_EQ(scan.space.paths[1].unique_files, 2);
  EXPECT_EQ(scan.space.paths[1].freed, 10);
  EXPECT_EQ(scan.space.freed, 15);
  EXPECT_EQ(scan.space.unique_size, 115);
}

// Some file systems give every directory index 0: that is no identity, and
// two such directories do not hide each other's files.
TEST(Tally, DirectoriesWithoutAnIndexAreNeverTakenForEachOther) {
  _scandata scan;
  scan.keep_all_names = false;
  const platform::file_identity none{1, 0};
  ++scan.walks;
  scan.directory_listed(listed(&none));
  scan.record_entry(T("x/a"), file(1, 1, 1));
  scan.directory_listed(listed(&none));
  scan.record_entry(T("y/b"), file(2, 1, 1));
  scan.directory_listed(listed(nullptr));
  scan.record_entry(T("z/c"), file(3, 1, 1));
  EXPECT_EQ(scan.unique_files, 3u);
  EXPECT_EQ(scan.unique_size, 3);
}

// Sparse files can claim lengths that add up past the 64-bit range: the
// totals stop at its end instead of wrapping (and without overflowing on the
// way, which the sanitizers of the debug build would catch).
TEST(Tally, SizeTotalsStopAtTheEndOfTheRange) {
  const std::int64_t max = std::numeric_limits<std::int64_t>::max();
  const std::int64_t quarter = std::int64_t{1} << 62;  // a quarter of the 64-bit range
  _scandata scan;
  scan.record_entry(T("a"), file(1, 2, quarter));
  scan.record_entry(T("a2"), file(1, 2, quarter));
  EXPECT_EQ(scan.naive_size, max);  // 2^63
  EXPECT_EQ(scan.unique_size, quarter);
  scan.record_entry(T("b"), file(2, 1, quarter - 1));
  EXPECT_EQ(scan.unique_size, max);  // 2^63 - 1 exactly
  scan.record_entry(T("c"), file(3, 1, 1));
  scan.record_entry(T("d"), file(4, 1, max));
  scan.record_entry(T("empty"), file(5, 1, 0));
  EXPECT_EQ(scan.naive_size, max);
  EXPECT_EQ(scan.unique_size, max);
}

}  // namespace

}  // namespace scan
