// Wildcard patterns on POSIX: the byte-wise matcher, and the matches of a
// real directory with their order and directory bits.
#include "fs/patterns-posix.h"
#include "fs/wildcard.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "fs/filesystem.h"
#include "testing/child_check_test_util-posix.h"
#include "testing/process_state_test_util-posix.h"
#include "testing/test_tree.h"

namespace {

using platform::matches_wildcard;

TEST(WildcardMatch, StarsQuestionMarksAndLiterals) {
  EXPECT_TRUE(matches_wildcard("*.txt", "a.txt"));
  EXPECT_TRUE(matches_wildcard("*.txt", ".txt"));  // '*' takes nothing
  EXPECT_FALSE(matches_wildcard("*.txt", "a.txt.bak"));
  EXPECT_FALSE(matches_wildcard("*.txt", "a.TXT"));  // bytes, no case folding
  EXPECT_TRUE(matches_wildcard("a?c", "abc"));
  EXPECT_FALSE(matches_wildcard("a?c", "ac"));
  EXPECT_FALSE(matches_wildcard("a?c", "abbc"));
  EXPECT_TRUE(matches_wildcard("*b*d*", "abcde"));
  EXPECT_TRUE(matches_wildcard("**", "x"));
  EXPECT_TRUE(matches_wildcard("a*b*c", "aXbYbZc"));
  EXPECT_FALSE(matches_wildcard("a*b*c", "aXbYbZ"));
  EXPECT_TRUE(matches_wildcard("*a", "aaa"));  // the star must give back
  EXPECT_TRUE(matches_wildcard("*ab", "aab"));
}

TEST(WildcardMatch, NothingButStarAndQuestionMarkIsSpecial) {
  EXPECT_TRUE(matches_wildcard("*", ".hidden"));
  EXPECT_TRUE(matches_wildcard("?hidden", ".hidden"));
  EXPECT_TRUE(matches_wildcard("[ab].txt", "[ab].txt"));
  EXPECT_FALSE(matches_wildcard("[ab].txt", "a.txt"));
  EXPECT_TRUE(matches_wildcard("a\\*", "a\\bc"));  // no escapes either
  // A '*' or '?' in a name is matched by the wildcards like any byte.
  EXPECT_TRUE(matches_wildcard("a*", "a*b"));
  EXPECT_TRUE(matches_wildcard("?", "*"));
}

TEST(WildcardMatch, EmptyNamesAndPatterns) {
  EXPECT_TRUE(matches_wildcard("", ""));
  EXPECT_TRUE(matches_wildcard("*", ""));
  EXPECT_TRUE(matches_wildcard("***", ""));
  EXPECT_FALSE(matches_wildcard("?", ""));
  EXPECT_FALSE(matches_wildcard("", "a"));
}

TEST(WildcardMatch, NamesAreBytesWhateverTheirEncoding) {
  const std::string e_acute = "\xC3\xA9";  // UTF-8: two bytes
  EXPECT_FALSE(matches_wildcard("?", e_acute));
  EXPECT_TRUE(matches_wildcard("??", e_acute));
  const std::string invalid = "a\xFF\x80\xC3z";  // no valid UTF-8
  EXPECT_TRUE(matches_wildcard("a*z", invalid));
  EXPECT_TRUE(matches_wildcard("a???z", invalid));
  EXPECT_TRUE(matches_wildcard("*\xFF*", invalid));
  EXPECT_FALSE(matches_wildcard("*\xFE*", invalid));
}

// In a multibyte encoding '?' takes a whole character, and a '*' never
// stops inside one: the bytes of a character cut in two would pass for
// characters of their own.
TEST(WildcardMatch, AQuestionMarkIsOneCharacterOfTheEncoding) {
  const platform::locale_encoding utf8("C.UTF-8");
  if (utf8.kind != platform::locale_encoding::form::utf8) GTEST_SKIP() << "no C.UTF-8 locale";
  const std::string e_acute = "\xC3\xA9";
  const std::string euro = "\xE2\x82\xAC";
  EXPECT_TRUE(platform::matches_in_encoding("?.txt", e_acute + ".txt", utf8));
  EXPECT_FALSE(platform::matches_in_encoding("??.txt", e_acute + ".txt", utf8));
  EXPECT_TRUE(platform::matches_in_encoding("?", euro, utf8));
  EXPECT_FALSE(platform::matches_in_encoding("*??", euro, utf8));
  EXPECT_FALSE(platform::matches_in_encoding("*?\xACz", euro + "z", utf8));
  EXPECT_TRUE(platform::matches_in_encoding("*?", "a" + euro, utf8));
  EXPECT_TRUE(platform::matches_in_encoding("a*" + e_acute, "ab" + e_acute, utf8));
  // Invalid bytes, a truncated sequence among them, are one each.
  EXPECT_TRUE(platform::matches_in_encoding("?.txt", "\xFF.txt", utf8));
  EXPECT_TRUE(platform::matches_in_encoding("???", "\xC3\xFF\x80", utf8));
  EXPECT_FALSE(platform::matches_in_encoding("a?z", "a\xE2\x82z", utf8));
  EXPECT_TRUE(platform::matches_in_encoding("a??z", "a\xE2\x82z", utf8));
  // A byte is a character in a single-byte encoding.
  const platform::locale_encoding ascii("C");
  EXPECT_FALSE(platform::matches_in_encoding("?.txt", e_acute + ".txt", ascii));
  EXPECT_TRUE(platform::matches_in_encoding("??.txt", e_acute + ".txt", ascii));
}

TEST(WildcardMatch, ManyStarsAgainstALongNameFinishQuickly) {
  std::string pattern;
  for (int i = 0; i < 40; ++i) pattern += "a*";
  pattern += "b";
  const std::string name(100000, 'a');
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(matches_wildcard(pattern, name));
  EXPECT_TRUE(matches_wildcard(pattern, name + "b"));
  EXPECT_FALSE(matches_wildcard("*a*a*a*a*a*a*a*a*a*a*a*a*b", std::string(5000, 'a')));
  // Exponential backtracking would not end within the age of the universe.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

std::string listed(const std::vector<platform::pattern_match>& matches) {
  std::string text;
  for (const platform::pattern_match& match : matches)
    text += match.name + (match.is_directory ? "/ " : " ");
  return text;
}

TEST(PatternMatches, SortedByNameWithDirectoriesAndLinksToThemMarked) {
  test_tree tree;
  for (const char* name : {"b.txt", "a.txt", ".hidden.txt", "[x].txt", "c.dat", "\xFF.txt"})
    tree.file(name);
  tree.directory("sub.txt");
  tree.directory("other");
  ASSERT_EQ(symlink("sub.txt", tree.path("link.txt").c_str()), 0);
  ASSERT_EQ(symlink("b.txt", tree.path("file-link.txt").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", tree.path("dangling.txt").c_str()), 0);

  std::vector<platform::pattern_match> matches;
  ASSERT_TRUE(platform::find_pattern_matches(tree.path("*.txt"), matches).outcome);
  EXPECT_EQ(listed(matches),
            ".hidden.txt [x].txt a.txt b.txt dangling.txt file-link.txt link.txt/ sub.txt/ "
            "\xFF.txt ");

  // "." and ".." are directories that ".*" fits, as the Windows search
  // lists them.
  ASSERT_TRUE(platform::find_pattern_matches(tree.path(".*"), matches).outcome);
  EXPECT_EQ(listed(matches), "./ ../ .hidden.txt ");
  // One '?' per byte: "\xFF.txt" is five of them.
  ASSERT_TRUE(platform::find_pattern_matches(tree.path("?????"), matches).outcome);
  EXPECT_EQ(listed(matches), "a.txt b.txt c.dat other/ \xFF.txt ");
}

// A link of several names counts as a file at every name, wherever it
// leads: it is no directory to a pattern either, so each of its names has
// a breakdown, from the directory where it leads to one as from the other.
TEST(PatternMatches, ALinkOfSeveralNamesIsAFileWhereverItLeads) {
  test_tree tree;
  tree.directory("a/target");
  tree.directory("b");
  ASSERT_EQ(symlink("target", tree.path("a/link").c_str()), 0);
  ASSERT_EQ(symlink("target", tree.path("a/alone").c_str()), 0);
  ASSERT_EQ(linkat(AT_FDCWD, tree.path("a/link").c_str(), AT_FDCWD, tree.path("b/link").c_str(), 0), 0);
  std::vector<platform::pattern_match> matches;
  ASSERT_TRUE(platform::find_pattern_matches(tree.path("a/*"), matches).outcome);
  EXPECT_EQ(listed(matches), "./ ../ alone/ link target/ ");
  ASSERT_TRUE(platform::find_pattern_matches(tree.path("b/*"), matches).outcome);
  EXPECT_EQ(listed(matches), "./ ../ link ");
}

TEST(PatternMatches, NoMatchAndUnreadableDirectoriesFail) {
  test_tree tree;
  tree.file("a.txt");
  tree.file("dir*/x.txt");  // a real directory named "dir*"
  std::vector<platform::pattern_match> matches;
  platform::result<> search = platform::find_pattern_matches(tree.path("*.none"), matches);
  EXPECT_FALSE(search.outcome);
  EXPECT_EQ(search.error, static_cast<platform::error_code>(ENOENT));
  EXPECT_TRUE(matches.empty());
  search = platform::find_pattern_matches(tree.path("missing/*"), matches);
  EXPECT_FALSE(search.outcome);
  EXPECT_EQ(search.error, static_cast<platform::error_code>(ENOENT));
  search = platform::find_pattern_matches(tree.path("a.txt/*"), matches);
  EXPECT_FALSE(search.outcome);
  EXPECT_EQ(search.error, static_cast<platform::error_code>(ENOTDIR));
  // The directory part is taken as written, never expanded.
  EXPECT_FALSE(platform::find_pattern_matches(tree.path("d?r*/*.txt"), matches).outcome);
  ASSERT_TRUE(platform::find_pattern_matches(tree.path("dir*/*.txt"), matches).outcome);
  EXPECT_EQ(listed(matches), "x.txt ");
}

// Lists `patterns`, then "d/*" from `working`, as an unprivileged user
// (permissions do not bind root): each must find f and g, "." and "..".
std::string match_f_and_g_unprivileged(std::vector<std::string> patterns,
                                       const std::string& working) {
  if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
    return "cannot drop privileges";
  if (chdir(working.c_str()) != 0) return "cannot enter " + working;
  patterns.push_back("d/*");
  std::string problems;
  for (const std::string& pattern : patterns) {
    std::vector<platform::pattern_match> matches;
    const platform::result<> search = platform::find_pattern_matches(pattern, matches);
    const std::string which = "the pattern of " + std::to_string(pattern.size()) + " bytes ending " +
                              pattern.substr(pattern.size() > 40 ? pattern.size() - 40 : 0);
    if (!search.outcome)
      problems += which + " failed with " + std::to_string(search.error) + "\n";
    else if (listed(matches) != "./ ../ f g ")
      problems += which + " found " + listed(matches) + "\n";
  }
  return problems;
}

// A directory that can be listed but not searched (r--, as ls lists it):
// its names match, with the bits of its listing, as the entries themselves
// cannot be read; whether its path is short, ends in '/', is relative or is
// longer than the system takes whole. Only the breakdown of each match then
// fails, each with its own line.
TEST(PatternMatches, ADirectoryThatCanBeListedButNotSearchedIsListed) {
  test_tree tree;
  tree.file("d/f");
  tree.file("d/g");
  // 20 levels of 252-byte names, then d: a path of over 5,000 bytes.
  std::string deep;
  const int fd = make_deep_directories(tree.path(), 20, 252, deep);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(mkdirat(fd, "d", 0755), 0);
  for (const char* name : {"d/f", "d/g"}) close(openat(fd, name, O_CREAT | O_WRONLY, 0644));
  deep += "/d";
  ASSERT_GT(deep.size(), 5000u);
  ASSERT_EQ(fchmodat(fd, "d", 0644, 0), 0);
  ASSERT_EQ(chmod(tree.path("d").c_str(), 0644), 0);

  EXPECT_EQ(check_in_child([&] {
              return match_f_and_g_unprivileged(
                  {tree.path("d") + "/*", tree.path("d") + "//*", deep + "/*"}, tree.path());
            }),
            "");
  // Open to its owner again, to be removed.
  EXPECT_EQ(fchmodat(fd, "d", 0755, 0), 0);
  EXPECT_EQ(chmod(tree.path("d").c_str(), 0755), 0);
  close(fd);
}

TEST(PatternMatches, APatternWithoutDirectoryListsTheWorkingDirectory) {
  test_tree tree;
  tree.file("one.txt");
  tree.file("two.txt");
  working_directory in(tree.path());
  std::vector<platform::pattern_match> matches;
  ASSERT_TRUE(platform::find_pattern_matches("*.txt", matches).outcome);
  EXPECT_EQ(listed(matches), "one.txt two.txt ");
  EXPECT_EQ(platform::join_pattern_match("*.txt", "one.txt"), "one.txt");
}

TEST(PatternMatches, APatternAtTheRootListsTheRoot) {
  std::vector<platform::pattern_match> matches;
  ASSERT_TRUE(platform::find_pattern_matches("/t?p", matches).outcome);
  EXPECT_EQ(listed(matches), "tmp/ ");
}

TEST(PatternMatches, JoinedPathsKeepTheDirectoryPartAsWritten) {
  EXPECT_EQ(platform::join_pattern_match("dir/*.txt", "a.txt"), "dir/a.txt");
  EXPECT_EQ(platform::join_pattern_match("/*.txt", "a.txt"), "/a.txt");
  EXPECT_EQ(platform::join_pattern_match("a//b/*", "x"), "a//b/x");
  EXPECT_EQ(platform::join_pattern_match("./x?/*", "y"), "./x?/y");
  EXPECT_EQ(platform::join_pattern_match("?", "z"), "z");
}

}  // namespace
