// The inode chunks of xfs under -E, on the in-memory file system: a chunk
// of 64 inodes counts where the scan met all of them, and is freed by a
// PATH, or in a row of the space by directory, only where every name of
// every one of them lies below it.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "testing/filesystem-fake.h"
#include "testing/scan_test_util.h"
#include "scan/scandata.h"

namespace scan {

namespace {

// Inodes of 512 bytes, as mkfs.xfs makes them.
constexpr std::int64_t chunk = 64 * 512;

// The volume of the tree: an xfs, sharing extents, its chunks counted
// (`inode_size` 0: a volume that has none).
void xfs_volume(const platform::fake_tree& tree, std::uint64_t inode_size = 512) {
  platform::volume_extents xfs;
  xfs.shares = true;
  xfs.block_size = 4096;
  xfs.inode_chunk_bytes = 64 * inode_size;
  tree.set_volume_extents("", xfs);
}

// `count` files named `prefix`1, `prefix`2...: the next inodes.
void files(const platform::fake_tree& tree, const std::string& prefix, int count) {
  for (int i = 1; i <= count; ++i) tree.file(prefix + std::to_string(i));
}

// One walk's figures: unique, freed, freed with the PATHs before.
struct walk_figures {
  std::int64_t unique, freed, with_those_before;
  bool operator==(const walk_figures& o) const {
    return std::tie(unique, freed, with_those_before) ==
           std::tie(o.unique, o.freed, o.with_those_before);
  }
};
std::ostream& operator<<(std::ostream& out, const walk_figures& f) {
  return out << f.unique << " " << f.freed << " " << f.with_those_before;
}

struct scanned {
  // Then the run's row, its third figure the summary's unique total; and
  // the summary's naive total, never less than it.
  std::vector<walk_figures> paths;
  std::int64_t naive = 0;
  std::map<std::string, std::pair<std::int64_t, std::int64_t>> rows;  // unique, freed
};

// A scan of `paths` under -E, with rows down to `depth` where not below 0;
// with every file's names kept (a -C 1 listing), or those of several links.
scanned scan_of(const platform::fake_tree& tree, const std::vector<std::string>& paths,
                std::int32_t depth = -1, bool keep_all = false) {
  captured_scan run;
  run.scan.space.enabled = true;
  run.scan.keep_all_names = keep_all;
  run.scan.measure_sizes(size_measure::allocated);
  run.scan.count_shared_extents();
  if (depth >= 0) run.scan.collect_directories(depth);
  std::vector<native_string> full;
  for (const std::string& path : paths) full.push_back(tree.path(path));
  run.scan.scan_paths(full);
  scanned s;
  for (const _scandata_path_space& p : run.scan.space.paths)
    s.paths.push_back({p.unique_size, p.freed, p.freed_with_those_before});
  s.paths.push_back({run.scan.space.unique_size, run.scan.space.freed, run.scan.unique_size});
  s.naive = run.scan.naive_size;
  const std::size_t top = tree.path().size() + 1;
  for (const _scandata_directory_row& row : run.scan.directories.rows) {
    const native_string path(run.scan.directories.path_of(row));
    std::string name;
    for (std::size_t i = top; i < path.size(); ++i)
      name += path[i] == platform::path_separator ? '/' : static_cast<char>(path[i]);
    s.rows[name] = {row.unique_size(), row.freed()};
  }
  return s;
}

// Chunk 10 (inodes 640 to 703): the directory p and 63 files in it.
void whole_chunk(const platform::fake_tree& tree) {
  xfs_volume(tree);
  tree.number_from(640);
  tree.directory("p");
  files(tree, "p/f", 63);
}

struct path_case {
  const char* name;
  std::function<void(const platform::fake_tree&)> make;
  std::vector<std::string> paths;
  std::vector<walk_figures> expected;
};

TEST(InodeChunks, AChunkCountsWhereAllItsInodesAreMetAndFreedWhereAllGo) {
  const auto held_outside = [](const platform::fake_tree& tree) {
    whole_chunk(tree);
    tree.hard_link("p/f63", "out/f63");
  };
  // The chunk's last inode is the directory q, outside p.
  const auto split = [](const platform::fake_tree& tree) {
    xfs_volume(tree);
    tree.number_from(640);
    tree.directory("p");
    files(tree, "p/f", 62);
    tree.directory("q");
    tree.file("q/next");  // chunk 11, met alone
  };
  // The chunk's last inode is an empty directory q: a walk of q meets no
  // entry to tell its volume by, and counts it only where an earlier walk
  // asked that volume.
  const auto empty_path = [](const platform::fake_tree& tree) {
    xfs_volume(tree);
    tree.number_from(640);
    tree.directory("p");
    files(tree, "p/f", 62);
    tree.directory("q");
  };
  // A file of two names, in p and in q, is one inode: its chunk needs both.
  const auto linked = [](const platform::fake_tree& tree) {
    whole_chunk(tree);
    tree.hard_link("p/f1", "q/f1");
  };
  const auto not_xfs = [](const platform::fake_tree& tree) {
    xfs_volume(tree, 0);
    tree.number_from(640);
    tree.directory("p");
    files(tree, "p/f", 63);
  };
  // Links, to a file and to a directory, and a special file are inodes too.
  const auto kinds = [](const platform::fake_tree& tree) {
    xfs_volume(tree);
    tree.number_from(640);
    tree.directory("p");
    tree.directory("p/d");
    files(tree, "p/f", 59);
    tree.symlink("p/to-file", "p/f1");
    tree.symlink("p/to-d", "p/d");
    tree.special("p/fifo");
  };
  const walk_figures whole{chunk, chunk, chunk}, none{0, 0, 0};
  const std::vector<path_case> cases = {
      {"all met and freed", whole_chunk, {"p"}, {whole, {chunk, chunk, chunk}}},
      // Below a PATH, the chunk's directory is an entry like the others.
      {"below the PATH", whole_chunk, {""}, {whole, {chunk, chunk, chunk}}},
      {"given twice", whole_chunk, {"p", "p"}, {whole, whole, {chunk, chunk, chunk}}},
      {"an inode with a name outside", held_outside, {"p"}, {{chunk, 0, 0}, {chunk, 0, chunk}}},
      {"an inode not met", split, {"p"}, {none, none}},
      // Both walks meet it; only the two PATHs together free it.
      {"met by two PATHs", split, {"p", "q"},
       {{chunk, 0, 0}, {chunk, 0, chunk}, {chunk, chunk, chunk}}},
      {"an empty PATH after", empty_path, {"p", "q"},
       {{chunk, 0, 0}, {chunk, 0, chunk}, {chunk, chunk, chunk}}},
      {"an empty PATH first", empty_path, {"q", "p"}, {none, none, none}},
      {"a hard link across PATHs", linked, {"p", "q"},
       {{chunk, 0, 0}, {chunk, 0, chunk}, {chunk, chunk, chunk}}},
      {"links and special files", kinds, {"p"}, {whole, {chunk, chunk, chunk}}},
      {"a volume without chunks", not_xfs, {"p"}, {none, none}},
  };
  for (const path_case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::fake_tree tree;
    c.make(tree);
    const scanned s = scan_of(tree, c.paths);
    EXPECT_EQ(s.paths, c.expected);
    EXPECT_EQ(s.naive, s.paths.back().with_those_before) << "naive";
    EXPECT_EQ(scan_of(tree, c.paths, -1, true).paths, c.expected) << "every name kept";
  }
}

// Below t: chunk 10 wholly in t/a (the directory and 63 files); chunk 11
// split between t/b and t/c/d; chunk 12 wholly in t/c/d (the rest of it).
void three_chunks(const platform::fake_tree& tree) {
  xfs_volume(tree);
  tree.directory("t");
  tree.number_from(640);
  tree.directory("t/a");
  files(tree, "t/a/f", 63);
  tree.directory("t/b");
  files(tree, "t/b/g", 31);
  tree.directory("t/c");
  tree.directory("t/c/d");
  files(tree, "t/c/d/h", 30 + 64);
}

TEST(InodeChunks, RowsFreeAChunkAtTheDeepestDirectoryHoldingEveryName) {
  struct rows_case {
    const char* name;
    std::function<void(const platform::fake_tree&)> make;
    std::int32_t depth;
    std::map<std::string, std::pair<std::int64_t, std::int64_t>> expected;
  };
  // A name of one of chunk 10's files in t/c/d as well.
  const auto linked = [](const platform::fake_tree& tree) {
    three_chunks(tree);
    tree.hard_link("t/a/f1", "t/c/d/f1");
  };
  const std::vector<rows_case> cases = {
      {"depth 2", three_chunks, 2,
       {{"t", {3 * chunk, 3 * chunk}}, {"t/a", {chunk, chunk}}, {"t/b", {chunk, 0}},
        {"t/c", {2 * chunk, chunk}}, {"t/c/d", {2 * chunk, chunk}}}},
      // Deeper than the rows, t/c/d's inodes are t/c's.
      {"depth 1", three_chunks, 1,
       {{"t", {3 * chunk, 3 * chunk}}, {"t/a", {chunk, chunk}}, {"t/b", {chunk, 0}},
        {"t/c", {2 * chunk, chunk}}}},
      {"depth 0", three_chunks, 0, {{"t", {3 * chunk, 3 * chunk}}}},
      // Chunk 10 has a name in t/c/d: t/c/d holds a name of it, and only t
      // holds them all.
      {"a hard link across rows", linked, 2,
       {{"t", {3 * chunk, 3 * chunk}}, {"t/a", {chunk, 0}}, {"t/b", {chunk, 0}},
        {"t/c", {3 * chunk, chunk}}, {"t/c/d", {3 * chunk, chunk}}}},
      {"a hard link across rows, depth 1", linked, 1,
       {{"t", {3 * chunk, 3 * chunk}}, {"t/a", {chunk, 0}}, {"t/b", {chunk, 0}},
        {"t/c", {3 * chunk, chunk}}}},
  };
  const std::vector<std::string> children = {"t/a", "t/b", "t/c"};
  for (const rows_case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::fake_tree tree;
    c.make(tree);
    const scanned s = scan_of(tree, {"t"}, c.depth);
    EXPECT_EQ(s.rows, c.expected);
    EXPECT_EQ(scan_of(tree, {"t"}, c.depth, true).rows, c.expected) << "every name kept";
    // The PATH's row is its space by path; at depth 1, each row is that of
    // its directory as a PATH.
    EXPECT_EQ(s.rows.at("t"), std::make_pair(s.paths[0].unique, s.paths[0].freed));
    if (c.depth != 1) continue;
    const scanned by_paths = scan_of(tree, children);
    for (std::size_t i = 0; i < children.size(); ++i)
      EXPECT_EQ(s.rows.at(children[i]),
                std::make_pair(by_paths.paths[i].unique, by_paths.paths[i].freed))
          << children[i];
  }
}

}  // namespace

}  // namespace scan
