// The identity table and the identity map built on it.
#include "scan/identity_table.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

#include "scan/scandata.h"

namespace scan {

namespace {

using platform::file_identity;

// Many identities of a few volumes, in the patterns file systems hand out:
// runs of indexes, indexes of one stride (which a weak hash piles onto few
// slots), the same index on every volume, 0 and negative ones; checked
// against a std::map through every growth of the table.
TEST(IdentityTable, HoldsWhatAMapHoldsThroughEveryGrowth) {
  identity_table table;
  std::map<file_identity, std::uint32_t> expected;
  std::mt19937_64 random(7);
  auto add = [&](file_identity id) {
    const auto value = static_cast<std::uint32_t>(random());
    const bool is_new = expected.emplace(id, value).second;
    const identity_table::inserted in = table.insert(id, value);
    ASSERT_EQ(is_new, in.added);
    ASSERT_EQ(expected[id], *in.value);  // an identity added before keeps its value
  };
  for (std::int64_t i = 0; i < 20000; ++i) add(file_identity{2049, 1000000 + i});
  for (std::int64_t i = 0; i < 5000; ++i) add(file_identity{66306, i << 20});
  for (std::uint64_t volume = 1; volume <= 40; ++volume) add(file_identity{volume, 42});
  add(file_identity{2049, 0});
  add(file_identity{2049, -1});
  add(file_identity{~std::uint64_t{0}, std::numeric_limits<std::int64_t>::min()});
  for (int i = 0; i < 3000; ++i) add(file_identity{random() % 3, static_cast<std::int64_t>(random())});
  for (std::int64_t i = 0; i < 20000; i += 3) add(file_identity{2049, 1000000 + i});  // again

  EXPECT_EQ(expected.size(), table.size());
  for (const auto& [id, value] : expected) {
    const std::uint32_t* found = table.find(id);
    ASSERT_TRUE(found) << id.volume << ":" << id.key;
    EXPECT_EQ(value, *found);
  }
  EXPECT_FALSE(table.find(file_identity{2049, 999999}));
  EXPECT_FALSE(table.find(file_identity{12345, 42}));  // a volume never seen
  std::map<file_identity, std::uint32_t> visited;
  table.for_each([&](const file_identity& id, std::uint32_t value) { visited[id] = value; });
  EXPECT_EQ(expected, visited);
}

// Where files are numbered with 128 bits, two may share the low 64 and the
// volume: they are two files all the same. A volume whose high halves differ
// from directory to directory gives the table many of them to tell apart.
TEST(IdentityTable, HighHalvesOfWideIndexesTellFilesApart) {
  identity_table table;
  std::map<file_identity, std::uint32_t> expected;
  std::uint32_t value = 0;
  for (std::uint64_t high = 0; high < 300; ++high) {
    for (std::int64_t key = 1; key <= 20; ++key) {
      const file_identity id{7, key, high};
      expected[id] = ++value;
      ASSERT_TRUE(table.insert(id, value).added) << high << ":" << key;
    }
  }
  // The same low halves on another volume are other files again.
  for (std::int64_t key = 1; key <= 20; ++key)
    ASSERT_TRUE(table.insert(file_identity{8, key, 5}, expected[file_identity{8, key, 5}] = ++value).added);
  EXPECT_EQ(expected.size(), table.size());
  for (const auto& [id, v] : expected) {
    const std::uint32_t* found = table.find(id);
    ASSERT_TRUE(found) << id.key_high << ":" << id.key;
    EXPECT_EQ(v, *found);
  }
  EXPECT_FALSE(table.find(file_identity{7, 1, 300}));
  EXPECT_FALSE(table.insert(file_identity{7, 3, 150}, 0).added);
  std::map<file_identity, std::uint32_t> visited;
  table.for_each([&](const file_identity& id, std::uint32_t v) { visited[id] = v; });
  EXPECT_EQ(expected, visited);
}

TEST(IdentityTable, AnEmptyTableFindsNothing) {
  const identity_table table;
  EXPECT_FALSE(table.find(file_identity{0, 0}));
  EXPECT_TRUE(table.empty());
  int visits = 0;
  table.for_each([&](const file_identity&, std::uint32_t) { ++visits; });
  EXPECT_EQ(0, visits);
}

// The identity map gives records only to the files that asked for one, and
// a record keeps what was put in it however much the map grows.
TEST(FileTable, RecordsOnlyWhereAskedAndKeptThroughGrowth) {
  file_table files;
  for (std::int64_t i = 0; i < 10000; ++i) {
    const file_table::found f = files.insert(file_identity{1, i}, i % 10 == 0);
    ASSERT_TRUE(f.added);
    ASSERT_EQ(i % 10 == 0, f.record != nullptr);
    if (f.record) f.record->space.walk_names = static_cast<std::uint32_t>(i);
  }
  const file_table::found again = files.insert(file_identity{1, 20}, false);
  EXPECT_FALSE(again.added);
  ASSERT_TRUE(again.record);  // its first meeting decided
  EXPECT_EQ(20u, again.record->space.walk_names);
  EXPECT_EQ(10000u, files.size());
  EXPECT_TRUE(files.contains(file_identity{1, 7}));
  EXPECT_FALSE(files.find(file_identity{1, 7}));
  ASSERT_TRUE(files.find(file_identity{1, 9990}));
  EXPECT_EQ(9990u, files.find(file_identity{1, 9990})->space.walk_names);
  // Asking for a record gives one to a file that had none.
  files[file_identity{1, 7}].space.run_names = 3;
  EXPECT_EQ(3u, files.find(file_identity{1, 7})->space.run_names);
  EXPECT_EQ(10000u, files.size());
  std::size_t with_record = 0;
  files.for_each([&](const file_identity&, const _scandata_fileinfo* record) { with_record += record != nullptr; });
  EXPECT_EQ(1001u, with_record);
}

}  // namespace

}  // namespace scan
