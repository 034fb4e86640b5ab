// The helpers that read stats ahead of the walk: every ticket's facts are
// those of its own entry, whoever read it, through the window's wrap, a
// listing given up half way, and none or several helpers.
#include "platform/stat_prefetch-posix.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/read_ahead_test_util-posix.h"
#include "scan/test_tree.h"

namespace platform {
namespace {

TEST(StatPrefetch, EveryTicketGetsTheFactsOfItsOwnEntry) {
  test_tree tree;
  const int count = 2500;  // more than the window holds
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) {
    names.push_back("f" + std::to_string(i));
    tree.file("d/" + names.back(), static_cast<std::size_t>(i % 97));
  }
  names.push_back("missing");  // a name that is gone by the time it is read
  directory_listing listing;
  for (const std::string& name : names) {
    listed_entry entry;
    entry.name_offset = listing.names.size();
    entry.name_length = static_cast<std::uint16_t>(name.size());
    listing.names.append(name.c_str(), name.size() + 1);
    listing.entries.push_back(entry);
  }
  const int fd = open(tree.path("d").c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  for (const std::size_t helpers : {std::size_t{0}, std::size_t{1}, std::size_t{2}}) {
    stat_helpers_for_test setting(helpers);
    stat_prefetch prefetch;
    for (int round = 0; round < 3; ++round) {
      // Tickets in the listing's order, backwards in the last round.
      std::vector<std::uint32_t> order;
      for (std::uint32_t i = 0; i < names.size(); ++i)
        order.push_back(round == 2 ? static_cast<std::uint32_t>(names.size()) - 1 - i : i);
      prefetch.start(fd, 0, listing, order);
      // The second round gives the listing up half way, as a walk that
      // ends early does; the next one starts afresh.
      const int taken = round == 1 ? count / 2 : count + 1;
      for (int i = 0; i < taken; ++i) {
        const int index = round == 2 ? count - i : i;  // of the entry read
        entry_facts facts;
        const result<> read = prefetch.take(static_cast<std::size_t>(i), facts);
        if (index == count) {
          EXPECT_FALSE(read.outcome);
          EXPECT_EQ(static_cast<error_code>(ENOENT), read.error);
          continue;
        }
        ASSERT_TRUE(read.outcome) << names[static_cast<std::size_t>(index)];
        ASSERT_EQ(index % 97, facts.size) << helpers << " helpers, " << names[static_cast<std::size_t>(index)];
        ASSERT_EQ(1, facts.links);
      }
    }
    prefetch.stop();
  }
  close(fd);
}

// While a helper reads the entry the walk needs, the walk reads those after
// it: each result, a failure included, still lands with its own ticket.
TEST(StatPrefetch, EntriesReadAheadByTheWalkKeepTheirOwnResults) {
  test_tree tree;
  directory_listing listing;
  const int count = 3000;
  for (int i = 0; i < count; ++i) {
    const std::string name = "f" + std::to_string(i);
    if (i % 7 != 3) tree.file("d/" + name, static_cast<std::size_t>(i % 89));  // else missing
    listing.entries.push_back(listed_entry{});
    listing.entries.back().name_offset = listing.names.size();
    listing.entries.back().name_length = static_cast<std::uint16_t>(name.size());
    listing.names.append(name.c_str(), name.size() + 1);
  }
  const int fd = open(tree.path("d").c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  stat_helpers_for_test setting(1);
  stat_prefetch prefetch;
  for (int round = 0; round < 5; ++round) {
    std::vector<std::uint32_t> order(count);
    for (int i = 0; i < count; ++i) order[static_cast<std::size_t>(i)] = static_cast<std::uint32_t>(i);
    prefetch.start(fd, 0, listing, order);
    for (int i = 0; i < count; ++i) {
      entry_facts facts;
      const result<> read = prefetch.take(static_cast<std::size_t>(i), facts);
      ASSERT_EQ(i % 7 != 3, read.outcome) << i;
      if (read.outcome) ASSERT_EQ(i % 89, facts.size) << i;
      else ASSERT_EQ(static_cast<error_code>(ENOENT), read.error) << i;
    }
  }
  prefetch.stop();
  close(fd);
}

TEST(StatPrefetch, SmallListingsAndNoHelpersAreLeftToTheWalk) {
  {
    stat_helpers_for_test setting(0);
    stat_prefetch prefetch;
    EXPECT_FALSE(prefetch.worth_it(100000));
  }
  stat_helpers_for_test setting(2);
  stat_prefetch prefetch;
  EXPECT_FALSE(prefetch.worth_it(3));
  EXPECT_TRUE(prefetch.worth_it(100));
}

}  // namespace
}  // namespace platform
