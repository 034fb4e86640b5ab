// The one walk engine with a visitor of the test's own: the order of the
// visits, the choice of what to enter, an early end, and the test that
// keeps a walk out of cycles.
#include "walk/tree_walk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "testing/text_test_util.h"
#include "testing/test_tree.h"

namespace {

// Records every visit, relative to the top, and enters every directory but
// those named "skip...".
struct recording_visitor {
  std::size_t top_length;
  std::vector<platform::native_string> visits;
  std::vector<platform::native_string> failures;
  int entered = 0;
  std::size_t stop_after = static_cast<std::size_t>(-1);
  platform::entry_facts facts;

  void before_entering() { ++entered; }
  void not_entered(platform::entering, platform::error_code, const platform::native_string& path) {
    failures.push_back(path.substr(top_length));
  }
  void unreadable(platform::error_code, const platform::native_string& path) {
    failures.push_back(path.substr(top_length));
  }
  void listed(const platform::listed_directory&) {}
  platform::descent visit(platform::walk_cursor& cursor, const platform::listed_entry& entry,
                          const platform::native_string& path) {
    visits.push_back(path.substr(top_length));
    const bool examined = platform::examine_entry(cursor, path, entry, facts).outcome ==
                          platform::examination::examined;
    const platform::native_string_view name = platform::native_string_view(path).substr(path.size() - entry.name_length);
    if (!entry.is_directory || name.substr(0, 4) == T("skip")) return platform::descent();
    return platform::descent{true, examined ? &facts.identity : nullptr};
  }
  bool finished() const { return visits.size() >= stop_after; }
};

platform::native_string relative(const char* ascii) {
  platform::native_string path;
  for (const char c : std::string(ascii)) {
    path += c == '/' ? platform::path_separator : platform::native_char(c);
  }
  return path;
}

TEST(TreeWalk, FilesThenDirectoriesThenEachChosenSubtreeInTurn) {
  // One file and at most two directories a level, so that the order holds
  // whatever order the system lists in.
  test_tree tree;
  tree.file("a");
  tree.file("D/c");
  tree.file("D/x/deep");
  tree.file("skipped/hidden");
  recording_visitor visitor{tree.path().size(), {}, {}, 0, static_cast<std::size_t>(-1), {}};
  platform::walk_tree(tree.path(), visitor);

  ASSERT_EQ(visitor.visits.size(), 6u);
  EXPECT_EQ(visitor.visits[0], relative("/a"));
  EXPECT_EQ(visitor.visits[1] + visitor.visits[2] == relative("/D/skipped") ||
                visitor.visits[1] + visitor.visits[2] == relative("/skipped/D"),
            true);
  EXPECT_EQ(visitor.visits[3], relative("/D/c"));
  EXPECT_EQ(visitor.visits[4], relative("/D/x"));
  EXPECT_EQ(visitor.visits[5], relative("/D/x/deep"));
  EXPECT_EQ(visitor.entered, 3);  // the top, D and D/x; never "skipped"
  EXPECT_TRUE(visitor.failures.empty());
}

TEST(TreeWalk, AFinishedVisitorEndsTheWalkAtOnce) {
  test_tree tree;
  tree.file("a");
  tree.file("D/b");
  tree.file("D/E/c");
  recording_visitor visitor{tree.path().size(), {}, {}, 0, 3, {}};
  platform::walk_tree(tree.path(), visitor);
  EXPECT_EQ(visitor.visits, (std::vector<platform::native_string>{relative("/a"), relative("/D"),
                                                        relative("/D/b")}));
  EXPECT_EQ(visitor.entered, 2);
}

TEST(TreeWalk, WhatCannotBeEnteredIsReportedAndTheWalkGoesOn) {
  test_tree tree;
  tree.file("plain");
  recording_visitor visitor{tree.path().size(), {}, {}, 0, static_cast<std::size_t>(-1), {}};
  platform::walk_tree(tree.path("missing"), visitor);
  platform::walk_tree(tree.path("plain"), visitor);
  EXPECT_EQ(visitor.failures.size(), 2u);
  EXPECT_TRUE(visitor.visits.empty());
  EXPECT_EQ(visitor.entered, 2);
}

// The listings of both halves leave out "." and "..", and nothing else.
TEST(TreeWalk, DotNamesOtherThanDotAndDotDotAreOrdinaryEntries) {
  test_tree tree;
  tree.file(".git/config");
  tree.file("..hidden");
  recording_visitor visitor{tree.path().size(), {}, {}, 0, static_cast<std::size_t>(-1), {}};
  platform::walk_tree(tree.path(), visitor);
  std::sort(visitor.visits.begin(), visitor.visits.end());
  EXPECT_EQ(visitor.visits, (std::vector<platform::native_string>{relative("/..hidden"), relative("/.git"),
                                                        relative("/.git/config")}));
  EXPECT_EQ(visitor.entered, 2);
}

// An entry that changed kind between the listing and its examination is
// examined as what it is now, every fact from that one reading, its
// directory bit too: the walk's user decides what to believe.
TEST(TreeWalk, AnExaminationReadsWhatTheEntryIsNowNotWhatWasListed) {
  test_tree tree;
  tree.file("a-file", 1);
  tree.file("b-dir/inner", 1);
  platform::tree_walk walk;
  walk.cursor.path = tree.path();
  ASSERT_EQ(walk.enter(nullptr).outcome, platform::entering::entered);
  ASSERT_TRUE(platform::list_directory(walk.cursor, walk.cursor.path).outcome);
  ASSERT_EQ(walk.cursor.listing.entries.size(), 2u);

  std::filesystem::remove(tree.path("a-file"));
  std::filesystem::create_directory(tree.path("a-file"));
  std::filesystem::remove_all(tree.path("b-dir"));
  tree.file("b-dir", 1);

  for (const platform::listed_entry& entry : walk.cursor.listing.entries) {
    const platform::native_string name(walk.cursor.listing.name(entry));
    SCOPED_TRACE(std::filesystem::path(name).string());
    const bool listed_as_directory = name == T("b-dir");
    EXPECT_EQ(entry.is_directory, listed_as_directory);
    const platform::native_string path = tree.path() + platform::path_separator + name;
    platform::entry_facts facts;
    ASSERT_EQ(platform::examine_entry(walk.cursor, path, entry, facts).outcome,
              platform::examination::examined);
    EXPECT_EQ(facts.is_directory, !listed_as_directory);
    if (!facts.is_directory) {
      EXPECT_EQ(facts.links, 1);
      EXPECT_EQ(facts.size, 1);
    }
  }
}

TEST(TreeWalk, OnlyIdentitiesThatTellCyclesKeepADirectoryFromBeingEnteredAgain) {
  test_tree tree;
  platform::tree_walk walk;
  walk.cursor.path = tree.path();
  ASSERT_EQ(walk.enter(nullptr).outcome, platform::entering::entered);
  platform::file_identity top;
  const bool known = platform::current_identity(walk.cursor, top);
  EXPECT_EQ(known, platform::identities_find_cycles);
  if (!known) top = platform::file_identity{7, 7};

  // Met again below itself: a cycle, where identities can tell one.
  walk.enter_later(T("again"), &top);
  EXPECT_EQ(walk.pending.size(), platform::identities_find_cycles ? 0u : 1u);
  // Index 0 is no identity: some file systems give it to every file.
  const platform::file_identity zero{top.volume, 0};
  walk.enter_later(T("zero"), &zero);
  walk.enter_later(T("unknown"), nullptr);
  EXPECT_EQ(walk.pending_names.substr(walk.pending_names.size() - 11), T("zerounknown"));
}

}  // namespace
