// The queue reading ahead of the walk, on the in-memory file system, driven
// by hand: the test completes or claims requests at moments it chooses (a
// listing's hook, a visit), so that every order of events between a worker
// and the walk is one the test names, and no thread runs. Whatever the
// order, the walk tells what a walk alone tells of the same events, adopts
// only directories it can vouch for, and leaves no directory open.
#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "scan/scandata.h"
#include "testing/filesystem-fake.h"
#include "testing/scan_test_util.h"
#include "testing/text_test_util.h"
#include "walk/tree_walk.h"

namespace {

using platform::fake_calls;
using platform::fake_operation;
using platform::fake_tree;

using build_function = std::function<void(const fake_tree&)>;

// A path below the top, as the walk spells it.
platform::native_string relative(const char* ascii) {
  platform::native_string path;
  for (const char c : std::string(ascii)) path += c == '/' ? platform::path_separator : platform::native_char(c);
  return path;
}

platform::native_string number(std::int64_t n) { return T(std::to_string(n)); }

// What a verbose scan of a tree tells, and how often it asked the file
// system; the tree built and its hooks hung by `build`, the queue driven
// by hand or not there at all.
struct scan_result {
  platform::native_string told;
  fake_calls calls;
};

scan_result scan_of(const build_function& build, bool by_hand) {
  fake_tree tree;
  build(tree);
  if (by_hand) tree.read_ahead_by_hand();
  captured_scan run(/*verbose=*/true);
  run.scan.scan_directory(tree.path("top"));
  scan_result result{run.out.str() + run.err.str(), tree.calls()};
  for (const platform::native_string& name : all_kept_names(run.scan)) result.told += name + T("\n");
  for (const std::int64_t n : {run.scan.files_total, run.scan.dirs_total, run.scan.naive_size,
                               run.scan.unique_size, run.scan.scan_errors})
    result.told += number(n) + T(" ");
  return result;
}

// Makes each file named, of sizes 1, 2, 3... in turn.
void files(const fake_tree& t, std::initializer_list<const char*> paths) {
  std::int64_t size = 0;
  for (const char* path : paths) t.file(path, ++size);
}

// A tree of a few levels, hard links across them; the walk lists top,
// then a, a/x, b, c, c/d, c/d/e.
void plain_tree(const fake_tree& t) {
  files(t, {"top/a/one", "top/a/x/two", "top/b/three", "top/c/four", "top/c/d/five",
            "top/c/d/e/six", "top/z.txt"});
  t.hard_link("top/a/one", "top/b/again");
}

// Every order a request can end in beside the walk: done before the walk
// reaches it (after each listing), being read when it does (the walk waits
// and takes it), never begun (the walk reads alone); and a worker that
// cannot open or list a directory, or read one entry, whose failure the walk
// meets itself and reports where a walk alone does. The scan tells the same,
// every directory is read once, by a worker or by the walk, and none stays
// open.
TEST(ReadAheadFake, AnyMomentARequestEndsTheScanTellsTheSameFailuresIncluded) {
  struct failure_case {
    const char* what;
    std::function<void(const fake_tree&)> fail;
    bool reported = true;  // by a walk alone too
  };
  const std::vector<failure_case> cases = {
      {"nothing fails", [](const fake_tree&) {}, false},
      {"the worker alone is refused", [](const fake_tree& t) { t.fail_read_ahead("top/b"); },
       false},
      {"entering denied (EACCES)",
       [](const fake_tree& t) { t.fail(fake_operation::enter, "top/b", 13); }},
      {"listing finds it gone (ENOENT)",
       [](const fake_tree& t) { t.fail(fake_operation::list, "top/c", 2); }},
      {"out of descriptors (EMFILE)",
       [](const fake_tree& t) {
         t.fail(fake_operation::list, "top/c/d", 24);
         t.fail(fake_operation::enter, "top/a/x", 24);
       }},
      {"an entry denied (EACCES)",
       [](const fake_tree& t) {
         t.fail(fake_operation::examine, "top/b/three", 13, platform::examination::not_opened);
         t.fail(fake_operation::examine, "top/c/d/e/six", 2);
       }},
  };
  enum class moment { completed_before, claimed, never_begun };
  for (const failure_case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto faulty = [&c](const fake_tree& t) {
      plain_tree(t);
      c.fail(t);
    };
    const scan_result alone = scan_of(faulty, false);
    ASSERT_EQ(alone.calls.opened_ahead, 0);
    EXPECT_EQ(alone.told.find(T("Error")) != platform::native_string::npos, c.reported);
    if (!c.reported) {
      EXPECT_EQ(alone.calls.listed, 7);
    }
    for (const moment m : {moment::completed_before, moment::claimed, moment::never_begun}) {
      SCOPED_TRACE(static_cast<int>(m));
      const scan_result ahead = scan_of(
          [&](const fake_tree& t) {
            faulty(t);
            if (m == moment::never_begun) return;
            for (const char* directory : {"top", "top/a", "top/a/x", "top/b", "top/c", "top/c/d",
                                          "top/c/d/e"})
              t.after_listing(directory, [&t, m] {
                if (m == moment::claimed) {
                  t.claim_read_ahead();
                } else {
                  t.complete_read_ahead();
                }
              });
          },
          true);
      EXPECT_EQ(ahead.told, alone.told);
      EXPECT_EQ(ahead.calls.opened_ahead_and_held, 0);
      // Every directory a worker read was adopted: nothing read twice.
      EXPECT_EQ(ahead.calls.adopted, ahead.calls.opened_ahead);
      EXPECT_EQ(ahead.calls.adopted > 0, m != moment::never_begun);
      EXPECT_EQ(ahead.calls.listed + ahead.calls.adopted, alone.calls.listed);
      EXPECT_EQ(ahead.calls.entered + ahead.calls.adopted, alone.calls.entered);
      EXPECT_EQ(ahead.calls.examined, alone.calls.examined);
    }
  }
}

// A visitor of the walk that examines every entry (or those `examines`
// says), tells what each examination read, enters what its examination
// says is a plain directory (except names beginning with 'q'), or what the
// listing says is one where it does not examine, and runs the test's
// `at_visit` before each visit, where the queue has been asked for the
// subdirectories of every level listed.
struct examining_visitor {
  std::size_t top_length = 0;
  std::vector<platform::native_string> told;
  std::function<void(const platform::native_string&)> at_visit;
  std::function<bool(const platform::native_string&)> examines;
  std::size_t stop_after = static_cast<std::size_t>(-1);
  platform::entry_facts facts;

  void before_entering() {}
  void not_entered(platform::entering outcome, platform::error_code error, const platform::native_string& path) {
    told.push_back(T("not entered ") + path.substr(top_length) + T(" ") +
                   number(static_cast<int>(outcome)) + T(" ") + number(error));
  }
  void unreadable(platform::error_code error, const platform::native_string& path) {
    told.push_back(T("unreadable ") + path.substr(top_length) + T(" ") + number(error));
  }
  void listed(const platform::listed_directory&) {}
  platform::descent visit(platform::walk_cursor& cursor, const platform::listed_entry& entry,
                          const platform::native_string& path) {
    const platform::native_string at = path.substr(top_length);
    if (at_visit) at_visit(at);
    told.push_back(at);
    if (examines && !examines(at)) return platform::descent{entry.is_directory && !entry.is_reparse};
    const platform::result<platform::examination> examined =
        platform::examine_entry(cursor, path, entry, facts);
    told.back() += T(" ") + number(static_cast<int>(examined.outcome)) + T(" ") + number(examined.error);
    if (examined.outcome != platform::examination::examined) return platform::descent();
    told.back() += T(" ") + number(facts.size) + T(" ") + number(facts.links) + T(" ") +
                   number(facts.identity.key);
    if (!facts.is_directory || facts.kind != platform::entry_kind::normal ||
        at[at.rfind(platform::path_separator) + 1] == 'q')
      return platform::descent();
    return platform::descent{true, &facts.identity};
  }
  bool finished() const { return told.size() >= stop_after; }
};

// Walks "top" of a tree built by `build`, which also sets what the
// visitor does at each visit.
std::vector<platform::native_string> walk_of(const std::function<void(const fake_tree&, examining_visitor&)>& build,
                                   bool by_hand, fake_calls* calls = nullptr) {
  fake_tree tree;
  examining_visitor visitor;
  visitor.top_length = tree.path("top").size() + 1;
  build(tree, visitor);
  if (by_hand) tree.read_ahead_by_hand();
  platform::walk_tree(tree.path("top"), visitor);
  if (calls) *calls = tree.calls();
  return visitor.told;
}

// Walks alone, then with the queue read by hand (`*by_hand` set in
// between, for builds that drive the queue only in the second walk): the
// two must tell the same, and nothing opened ahead may stay held.
struct alike_walks {
  std::vector<platform::native_string> told;  // by the walk with the queue
  fake_calls calls;
  fake_calls alone_calls;
};

alike_walks walked_alike(const std::function<void(const fake_tree&, examining_visitor&)>& build,
                         bool* by_hand = nullptr) {
  alike_walks w;
  const std::vector<platform::native_string> alone = walk_of(build, false, &w.alone_calls);
  if (by_hand) *by_hand = true;
  w.told = walk_of(build, true, &w.calls);
  EXPECT_EQ(w.told, alone);
  EXPECT_EQ(w.calls.opened_ahead_and_held, 0);
  EXPECT_EQ(w.calls.levels_closed, w.alone_calls.levels_closed);  // each once
  return w;
}

// Whether any line told names `marker`: the contents of a dead directory.
void expect_never_told(const std::vector<platform::native_string>& told, const char* marker) {
  for (const platform::native_string& line : told)
    EXPECT_EQ(line.find(T(marker)), platform::native_string::npos) << line;
}

// Runs `change` once, at the first visit.
std::function<void(const platform::native_string&)> at_first_visit(std::function<void()> change) {
  return [change, done = false](const platform::native_string&) mutable {
    if (!done) change();
    done = true;
  };
}

// A directory a worker holds that is no longer the one standing at its
// name when the walk enters it, because it was deleted, moved out of the
// tree, made anew, or replaced by another moved in, before or after the
// walk examined it (before, the examination sees the new one while the
// worker holds the old one): the worker's descriptor alone keeps it alive,
// and its contents are not the tree's. The walk never tells them; it tells
// what a walk alone tells of the same events: the error of a directory
// gone, or the new one entered. One the walk then does not enter (its
// examination says it is now a file, or a mount) is closed once the walk
// passes it, not at the end of the walk.
TEST(ReadAheadFake, ADirectoryNoLongerAtItsNameIsNeverTheOneTold) {
  struct change_case {
    const char* what;
    const char* at;  // the visit before which it happens: before b's, or after
    std::function<void(const fake_tree&)> change;
  };
  const auto deleted = [](const fake_tree& t) { t.remove("top/b"); };
  const auto moved_out = [](const fake_tree& t) { t.rename("top/b", "away"); };
  const auto made_anew = [](const fake_tree& t) {
    t.remove("top/b");
    t.file("top/b/new-marker", 4);
  };
  const auto replaced = [](const fake_tree& t) {
    t.rename("top/b", "away");
    t.rename("outside", "top/b");
  };
  const std::vector<change_case> cases = {
      {"deleted before its examination", "a", deleted},
      {"moved out before its examination", "a", moved_out},
      {"made anew before its examination", "a", made_anew},
      {"replaced by another before its examination", "a", replaced},
      {"deleted after its examination", "c", deleted},
      {"moved out after its examination", "c", moved_out},
      {"made anew after its examination", "c", made_anew},
      {"replaced by another after its examination", "c", replaced},
      {"made a file before its examination", "a",
       [](const fake_tree& t) {
         t.remove("top/b");
         t.file("top/b", 5);
       }},
      {"a mount before its examination", "a",
       [](const fake_tree& t) {
         t.rename("top/b", "away");
         t.mount("top/b");
       }},
  };
  for (const change_case& c : cases) {
    SCOPED_TRACE(c.what);
    int held_in_c = -1;
    const auto build = [&c, &held_in_c](const fake_tree& t, examining_visitor& v) {
      files(t, {"top/a/f", "top/b/dead-marker", "top/c/f", "outside/new"});
      v.at_visit = [&t, &c, &held_in_c](const platform::native_string& at) {
        if (at == relative("a")) t.complete_read_ahead();  // a, b and c opened
        if (at == relative(c.at)) c.change(t);
        if (at == relative("c/f")) held_in_c = t.calls().opened_ahead_and_held;
      };
    };
    const alike_walks w = walked_alike(build);
    expect_never_told(w.told, "dead-marker");
    EXPECT_EQ(w.calls.opened_ahead, 3);
    EXPECT_EQ(w.calls.adopted, 2);  // a and c, never b
    EXPECT_EQ(held_in_c, 0);
  }
}

// A directory a worker listed that changes before the walk arrives (an
// entry made, removed, renamed, or a directory made in it) is listed
// again by the walk, which tells what stands there on its arrival, as a
// walk alone does; its unchanged siblings are adopted.
TEST(ReadAheadFake, ADirectoryChangedSinceAWorkerListedItIsListedAgain) {
  struct change_case {
    const char* what;
    std::function<void(const fake_tree&)> change;
    const char* marker;  // told where the walk lists b on arrival
    int adopted;         // of a, b, b/deep and c
  };
  const std::vector<change_case> cases = {
      {"an entry made", [](const fake_tree& t) { t.file("top/b/new-marker", 3); }, "new-marker", 2},
      {"an entry removed", [](const fake_tree& t) { t.remove("top/b/old"); }, nullptr, 2},
      {"an entry renamed", [](const fake_tree& t) { t.rename("top/b/old", "top/b/renamed-marker"); },
       "renamed-marker", 2},
      {"a directory made", [](const fake_tree& t) { t.file("top/b/sub/inner-marker", 4); },
       "inner-marker", 2},
      {"an entry of b/deep made: b adopted, b/deep listed again",
       [](const fake_tree& t) { t.file("top/b/deep/x-marker", 5); }, "x-marker", 3},
  };
  for (const change_case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto build = [&c](const fake_tree& t, examining_visitor& v) {
      files(t, {"top/a/f", "top/b/old", "top/b/deep/y", "top/c/f"});
      v.at_visit = [&t, &c](const platform::native_string& at) {
        if (at != relative("a")) return;
        t.complete_read_ahead();  // a, b, b/deep and c listed ahead
        c.change(t);
      };
    };
    const alike_walks w = walked_alike(build);
    bool told_marker = false;
    for (const platform::native_string& line : w.told)
      told_marker = told_marker || (c.marker && line.find(T(c.marker)) != platform::native_string::npos);
    EXPECT_EQ(told_marker, c.marker != nullptr);
    EXPECT_EQ(w.calls.opened_ahead, 4);
    // What changed is listed again; b/deep only through the b adopted.
    EXPECT_EQ(w.calls.adopted, c.adopted);
  }
}

// A level left, or a walk ended early, with requests done or being read
// and not adopted: every directory they opened is closed.
TEST(ReadAheadFake, ALevelClosedWithRequestsInFlightClosesTheirDirectories) {
  for (const bool claim_only : {false, true}) {
    SCOPED_TRACE(claim_only ? "claimed" : "completed");
    int held_then = -1;
    int held_in_b = -1;
    const auto build = [&](const fake_tree& t, examining_visitor& v) {
      for (const char* f : {"top/a/m/f", "top/a/q1/f", "top/a/q2/f", "top/b/f", "top/c/f"}) t.file(f, 1);
      v.at_visit = [&t, &held_then, &held_in_b, claim_only](const platform::native_string& at) {
        if (at == relative("b/f")) held_in_b = t.calls().opened_ahead_and_held;
        if (at != relative("a/m")) return;
        // a's subdirectories and a's siblings, all asked for.
        if (claim_only) {
          t.claim_read_ahead();
        } else {
          t.complete_read_ahead();
          held_then = t.calls().opened_ahead_and_held;
        }
      };
    };
    const fake_calls calls = walked_alike(build).calls;
    EXPECT_EQ(held_then, claim_only ? -1 : 5);
    // q1 and q2 went with a's level; b is adopted.
    EXPECT_EQ(held_in_b, claim_only ? 0 : 1);  // c, done and waiting
    EXPECT_EQ(calls.adopted, 3);  // m, b, c

    // The same walk ended at a/m/f, with q1, q2, b and c not adopted.
    const auto ended = [&](const fake_tree& t, examining_visitor& v) {
      build(t, v);
      v.stop_after = 4;  // a, b, c, then a/m
    };
    EXPECT_GE(walked_alike(ended).calls.opened_ahead, claim_only ? 0 : 5);
  }
}

// The facts of a listing read beside the walk, in slices: a tree whose
// top and top/d list enough entries to share, with hard links across them
// and an entry that cannot be examined.
platform::native_string numbered(const char* prefix, int i) {
  const std::string digits = std::to_string(i);
  return relative(prefix) + T(std::string(digits.size() < 3 ? 3 - digits.size() : 0, '0') + digits);
}

constexpr int kWideEntries = 100;

void wide_tree(const fake_tree& t) {
  for (int i = 0; i < kWideEntries; ++i) {
    t.file(numbered("top/f", i), i);
    t.file(numbered("top/d/g", i), i);
  }
  t.hard_link("top/f001", "top/d/link");
  t.file("top/e/h", 1);
  t.fail(fake_operation::examine, "top/f050", 13, platform::examination::not_opened);
}

// Every order in which the slices of the facts end beside the walk, alone
// and with the subdirectories opened ahead among them: the walk tells what
// a walk alone tells, every entry of a shared listing is read once, by a
// worker or by the walk through the queue, and none after the walk let its
// listing go.
TEST(ReadAheadFakeFacts, AnyMomentASliceEndsTheWalkTellsTheSame) {
  using drive_function = std::function<void(const fake_tree&, examining_visitor&)>;
  const auto at_listings = [](std::function<void(const fake_tree&)> step) {
    return [step](const fake_tree& t, examining_visitor&) {
      for (const char* directory : {"top", "top/d"}) t.after_listing(directory, [&t, step] { step(t); });
    };
  };
  struct moment_case {
    const char* what;
    drive_function drive;
  };
  const std::vector<moment_case> cases = {
      {"never begun: the walk reads every slice", [](const fake_tree&, examining_visitor&) {}},
      {"done before the walk visits",
       at_listings([](const fake_tree& t) { t.complete_read_ahead(); })},
      {"one done, the walk reads the rest",
       at_listings([](const fake_tree& t) { t.complete_read_ahead(1); })},
      {"being read when the walk gets there: it waits",
       at_listings([](const fake_tree& t) { t.claim_read_ahead(); })},
      {"the first being read: the walk reads the next ones, then waits",
       at_listings([](const fake_tree& t) { t.claim_read_ahead(1); })},
      {"being read, their workers finishing while the walk visits",
       [&at_listings](const fake_tree& t, examining_visitor& v) {
         at_listings([](const fake_tree& tree) { tree.claim_read_ahead(); })(t, v);
         v.at_visit = [&t](const platform::native_string&) { t.finish_claimed_read_ahead(1); };
       }},
      {"slices and subdirectories, one at each visit",
       [](const fake_tree& t, examining_visitor& v) {
         v.at_visit = [&t](const platform::native_string&) { t.complete_read_ahead(1); };
       }},
      {"slices and subdirectories claimed, one finished at each visit",
       [](const fake_tree& t, examining_visitor& v) {
         v.at_visit = [&t](const platform::native_string&) {
           t.claim_read_ahead(1);
           t.finish_claimed_read_ahead(1);
         };
       }},
  };
  const auto build = [](const drive_function& drive) {
    return [drive](const fake_tree& t, examining_visitor& v) {
      wide_tree(t);
      drive(t, v);
    };
  };
  fake_calls alone_calls;
  const std::vector<platform::native_string> alone =
      walk_of(build([](const fake_tree&, examining_visitor&) {}), false, &alone_calls);
  EXPECT_EQ(alone_calls.examined_by_queue, 0);
  for (const moment_case& c : cases) {
    SCOPED_TRACE(c.what);
    const alike_walks w = walked_alike(build(c.drive));
    EXPECT_EQ(w.told, alone);
    const fake_calls& calls = w.calls;
    EXPECT_EQ(calls.examined, alone_calls.examined);
    // top's files, d and e at least; d's too, unless a worker opened d
    // and read them as it listed it.
    EXPECT_GE(calls.examined_by_queue, kWideEntries + 2);
    EXPECT_EQ(calls.examined_by_queue_too_late, 0);
  }
}

// The walk lets a listing go while workers still read slices of it (it
// examined only some of its entries): leaving for a subdirectory, leaving
// the directory, ending. It waits for them first: no worker reads a
// listing the walk has moved on from, nor in a directory it left.
TEST(ReadAheadFakeFacts, AListingLetGoWithSlicesBeingReadIsWaitedFor) {
  struct let_go_case {
    const char* what;
    const char* claimed_at;   // the listing whose slices are claimed
    const char* finished_at;  // the visit where their workers finish
    std::size_t stop_after;
  };
  const std::size_t all = static_cast<std::size_t>(-1);
  const std::vector<let_go_case> cases = {
      {"entering a subdirectory", "top", "d/g000", all},
      {"leaving the directory", "top/d", "e/h", all},
      {"ending the walk", "top", nullptr, 3},
  };
  for (const let_go_case& c : cases) {
    SCOPED_TRACE(c.what);
    std::size_t claimed = 0;
    const auto build = [&](const fake_tree& t, examining_visitor& v) {
      wide_tree(t);
      // The first entry of each directory and e's only one: the slices
      // after the first are never waited for by a visit.
      v.examines = [](const platform::native_string& at) {
        return at.find(T("000")) != platform::native_string::npos || at == relative("e/h");
      };
      v.stop_after = c.stop_after;
      t.after_listing(c.claimed_at, [&t, &claimed] { claimed = t.claim_read_ahead(); });
      v.at_visit = [&t, &c](const platform::native_string& at) {
        if (c.finished_at && at == relative(c.finished_at)) t.finish_claimed_read_ahead();
      };
    };
    const fake_calls calls = walked_alike(build).calls;
    EXPECT_GE(claimed, 2u);  // slices the walk never asked for among them
    EXPECT_EQ(calls.examined_by_queue_too_late, 0);
  }
}

// The walk's levels and the directories the queue holds draw on one count
// of descriptors: the queue opens one only while the walk keeps room for
// the levels it is in and its few more, and never more than its most; a
// budget too small for both leaves the walk reading alone. Whatever the
// budget, the walk tells the same.
TEST(ReadAheadFakeBudget, TheQueueOpensOnlyWhatTheWalkCanSpare) {
  // Too few entries for their facts to be shared: every request counted
  // below opens a directory.
  const auto flat = [](const fake_tree& t) {
    for (int i = 0; i + 1 < static_cast<int>(fake_tree::kFewestEntriesShared); ++i)
      t.file(numbered("top/s", i) + relative("/f"), i);
  };
  const auto deep = [](const fake_tree& t) {
    for (int i = 0; i < 6; ++i) t.file(numbered("top/a/b/c/s", i) + relative("/f"), i);
  };
  // Seven directories one in another below top: when the walk visits a,
  // the queue may open them all, each below the one it opened before.
  const auto chain = [](const fake_tree& t) { t.file("top/a/b/c/d/e/f/g/h", 1); };
  struct budget_case {
    const char* what;
    std::function<void(const fake_tree&)> build;
    platform::fake_descriptors budget;  // total, kept for levels, most ahead
    const char* at;  // where every request asked for so far is completed
    std::size_t opened;
  };
  const std::vector<budget_case> cases = {
      {"too few to spare beside the walk's levels: none", flat, {5, 8, 32}, "s000", 0},
      {"room for two beside the eight kept for the walk", flat, {10, 8, 32}, "s000", 2},
      {"room for many, no more than the queue's most", flat, {1000, 0, 3}, "s000", 3},
      {"four levels deep, the walk's four first: two", deep, {6, 0, 32}, "a/b/c/s000", 2},
      {"below what the queue opened, no more than its most", chain, {1000, 0, 3}, "a", 3},
      {"below what the queue opened, all the walk can spare", chain, {6, 0, 32}, "a", 5},
  };
  for (const budget_case& c : cases) {
    SCOPED_TRACE(c.what);
    std::size_t opened = 99;
    bool by_hand = false;
    const auto build = [&](const fake_tree& t, examining_visitor& v) {
      c.build(t);
      t.descriptors_for_a_walk(c.budget);
      v.at_visit = [&t, &c, &opened, &by_hand](const platform::native_string& at) {
        if (by_hand && at == relative(c.at)) opened = t.complete_read_ahead();
      };
    };
    walked_alike(build, &by_hand);
    EXPECT_EQ(opened, c.opened);
  }
}

// Below a directory a worker opened, requests for its subdirectories,
// pinned to it: a, where a/b, a/b/c, a/b/g and a/h are below, and z beside
// it. Whatever they are when the walk reaches a (done, being read, never
// begun), and whether the walk adopts a or finds another directory
// at its name, the walk tells what a walk alone tells, adopts the ones
// below only through the a it adopted, and leaves nothing open.
TEST(ReadAheadFakeNested, RequestsBelowAnOpenedDirectoryEndWithIt) {
  enum class below { queued, done, claimed };
  struct nested_case {
    const char* what;
    below state;
    bool replaced;  // another a stands at its name when the walk enters it
    int opened;
    int adopted;
  };
  const std::vector<nested_case> cases = {
      {"done: a adopted whole, and those below it in turn", below::done, false, 6, 6},
      {"being read when a is adopted: finished, then adopted", below::claimed, false, 4, 4},
      {"never begun: the walk opens them itself", below::queued, false, 1, 1},
      {"a replaced, those below it done: none adopted", below::done, true, 6, 1},
      {"a replaced, those below it being read", below::claimed, true, 4, 1},
      {"a replaced, those below it never begun: dropped", below::queued, true, 1, 0},
  };
  for (const nested_case& c : cases) {
    SCOPED_TRACE(c.what);
    int held_in_z = -1;
    const auto build = [&c, &held_in_z](const fake_tree& t, examining_visitor& v) {
      files(t, {"top/a/b/c/old-marker", "top/a/b/g/f", "top/a/h/f", "outside/b/c/f", "outside/h/f"});
      t.hard_link("top/a/h/f", "top/z/again");
      const auto first = at_first_visit([&t, &c] {
        if (c.state == below::done) {
          t.complete_read_ahead();  // a, all below a, and z
        } else {
          t.complete_read_ahead(1);  // a
          if (c.state == below::claimed) t.claim_read_ahead();  // a/b, a/h and z
        }
        if (c.replaced) {
          t.rename("top/a", "away");
          t.rename("outside", "top/a");
        }
      });
      v.at_visit = [&t, first, &held_in_z](const platform::native_string& at) mutable {
        first(at);
        if (at == relative("z/again")) held_in_z = t.calls().opened_ahead_and_held;
      };
    };
    const alike_walks w = walked_alike(build);
    if (c.replaced) expect_never_told(w.told, "old-marker");
    EXPECT_EQ(w.calls.opened_ahead, c.opened);
    EXPECT_EQ(w.calls.adopted, c.adopted);
    // Once the walk is past a, nothing opened in or below it is held, but
    // the a refused while a worker reads in it, until that worker ends.
    EXPECT_EQ(held_in_z, c.replaced && c.state == below::claimed ? 1 : 0);
  }
}

// A walk that ends, or leaves a level, while requests opened below what the
// queue holds are done or being read: every directory they opened
// is closed, deepest first, and none after the one it reads in.
TEST(ReadAheadFakeNested, AWalkEndedEarlyClosesEverythingOpenedBelow) {
  for (const int claimed : {0, 1}) {
    SCOPED_TRACE(claimed);
    for (const std::size_t stop_after : {1, 2, 3, 5}) {
      SCOPED_TRACE(stop_after);
      const auto build = [&](const fake_tree& t, examining_visitor& v) {
        t.file("top/a/b/c/d/f", 1);
        t.file("top/a/e/f", 2);
        t.file("top/z/y/f", 3);
        v.stop_after = stop_after;
        v.at_visit = at_first_visit([&t, claimed] {
          t.complete_read_ahead(3);  // a, z, and one below them
          if (claimed == 1) t.claim_read_ahead();
        });
      };
      EXPECT_GE(walked_alike(build).calls.opened_ahead, 3);
    }
  }
}

// A level the walk leaves, or a directory it refuses to adopt, while a
// worker still reads in it: the walk goes on without that request ending,
// and the queue holds the directory, counting its descriptor, until the
// worker ends, then closes it, once.
TEST(ReadAheadFakeHeld, ADirectoryLetGoWhileAWorkerReadsInItClosesAsTheWorkerEnds) {
  for (const bool refused : {false, true}) {
    SCOPED_TRACE(refused ? "adoption refused" : "level left");
    fake_calls before;
    fake_calls after;
    std::size_t finished = 0;
    const auto build = [&](const fake_tree& t, examining_visitor& v) {
      // q is visited and never entered: its request is the walk's no more.
      files(t, {"top/a/f", "top/a/q/f", "top/b/f", "outside/g"});
      v.at_visit = [&t, &before, &after, &finished, refused](const platform::native_string& at) {
        if (at == relative(refused ? "a" : "a/f")) {
          if (refused) t.complete_read_ahead(1);  // a
          t.claim_read_ahead(1);                  // a/q, in a
        }
        if (refused && at == relative("a")) {
          t.rename("top/a", "away");
          t.rename("outside", "top/a");
        }
        if (at == relative(refused ? "a/g" : "b/f")) {
          before = t.calls();
          finished = t.finish_claimed_read_ahead();
          after = t.calls();
        }
      };
    };
    const alike_walks w = walked_alike(build);
    EXPECT_EQ(finished, 1u);
    EXPECT_EQ(before.opened_ahead, refused ? 1 : 0);  // a/q not yet
    EXPECT_EQ(before.opened_ahead_and_held, refused ? 1 : 0);
    EXPECT_EQ(before.levels_closed_by_queue, 0);
    EXPECT_EQ(before.descriptors_ahead, 2u);  // a/q's, and a's
    EXPECT_EQ(after.opened_ahead, before.opened_ahead + 1);
    EXPECT_EQ(after.opened_ahead_and_held, 0);
    EXPECT_EQ(after.levels_closed_by_queue, refused ? 0 : 1);
    EXPECT_EQ(after.descriptors_ahead, 0u);
  }
}

}  // namespace
