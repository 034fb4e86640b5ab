// The wildcard matcher of -F on POSIX against a reference written here: a
// table over pattern and name, where a cell says whether the pattern's first
// i bytes match the name's first j. It is slow but plainly right: '*' takes
// nothing or one more byte, '?' exactly one byte, any other byte itself.
// The same table over characters instead of bytes, UTF-8 decoded here,
// checks the matcher where '?' is one character of a multibyte encoding.
//
// Random pairs come from a fixed seed and a small alphabet holding the
// wildcards, the bytes other matchers treat specially ('.', '[', ']', '\')
// and bytes beyond ASCII, so that every mix of them turns up. Long inputs
// shaped to make backtracking matchers explode must finish and agree.
#include "fs/wildcard.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

bool reference_match(const std::string& pattern, const std::string& name) {
  // row[j]: the pattern so far matches the first j bytes of the name.
  std::vector<char> row(name.size() + 1, 0);
  row[0] = 1;
  for (const char p : pattern) {
    std::vector<char> next(name.size() + 1, 0);
    if (p == '*') {
      for (std::size_t j = 0; j <= name.size(); ++j) next[j] = row[j] || (j > 0 && next[j - 1]);
    } else {
      for (std::size_t j = 1; j <= name.size(); ++j)
        next[j] = row[j - 1] && (p == '?' || p == name[j - 1]);
    }
    row.swap(next);
  }
  return row[name.size()] != 0;
}

// The length of the UTF-8 character that begins `text`, strictly: 1 for a
// byte that begins none (a stray continuation, an overlong form, a
// surrogate, a value beyond U+10FFFF, a truncated sequence).
std::size_t utf8_length(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 1;
  unsigned min_second = 0x80, max_second = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) min_second = 0xA0;
    if (lead == 0xED) max_second = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) min_second = 0x90;
    if (lead == 0xF4) max_second = 0x8F;
  } else {
    return 1;
  }
  if (text.size() < length || byte(1) < min_second || byte(1) > max_second) return 1;
  for (std::size_t i = 2; i < length; ++i)
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 1;
  return length;
}

std::vector<std::string> utf8_characters(const std::string& text) {
  std::vector<std::string> characters;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = utf8_length(std::string_view(text).substr(at));
    characters.push_back(text.substr(at, length));
    at += length;
  }
  return characters;
}

// The reference's table over the characters of pattern and name.
bool reference_match_utf8(const std::string& pattern, const std::string& name) {
  const std::vector<std::string> p = utf8_characters(pattern);
  const std::vector<std::string> n = utf8_characters(name);
  std::vector<char> row(n.size() + 1, 0);
  row[0] = 1;
  for (const std::string& c : p) {
    std::vector<char> next(n.size() + 1, 0);
    if (c == "*") {
      for (std::size_t j = 0; j <= n.size(); ++j) next[j] = row[j] || (j > 0 && next[j - 1]);
    } else {
      for (std::size_t j = 1; j <= n.size(); ++j) next[j] = row[j - 1] && (c == "?" || c == n[j - 1]);
    }
    row.swap(next);
  }
  return row[n.size()] != 0;
}

// Shows bytes beyond printable ASCII in hex, for failure messages.
std::string shown(const std::string& bytes) {
  static const char hex[] = "0123456789abcdef";
  std::string text = "\"";
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) {
      text += c;
    } else {
      text += "\\x";
      text += hex[byte >> 4];
      text += hex[byte & 0xF];
    }
  }
  return text + "\"";
}

std::string random_text(std::mt19937& random, const std::string& alphabet, std::size_t max_length) {
  std::string text;
  const std::size_t length = random() % (max_length + 1);
  for (std::size_t i = 0; i < length; ++i) text += alphabet[random() % alphabet.size()];
  return text;
}

TEST(WildcardFuzzPosix, RandomShortPairsAgreeWithTheReference) {
  // Patterns draw wildcards more often than names do; names hold them too,
  // where they are bytes like any other.
  const std::string name_bytes = std::string("ab.[]\\*?") + '\x80' + '\xFF' + '\xC3' + '\xA9';
  const std::string pattern_bytes = name_bytes + "***??";
  std::mt19937 random(0x5EED5u);
  int matched = 0;
  const int pairs = 60000;
  for (int i = 0; i < pairs; ++i) {
    const std::string pattern = random_text(random, pattern_bytes, 8);
    // Half the names come from the pattern with its wildcards filled in,
    // so that matches are common and near misses too.
    std::string name;
    if (i % 2 == 0) {
      name = random_text(random, name_bytes, 10);
    } else {
      for (const char p : pattern) {
        if (p == '*') {
          name += random_text(random, name_bytes, 3);
        } else if (p == '?') {
          name += name_bytes[random() % name_bytes.size()];
        } else {
          name += p;
        }
      }
      if (random() % 4 == 0 && !name.empty()) name.erase(random() % name.size(), 1);  // a near miss
    }
    const bool expected = reference_match(pattern, name);
    matched += expected;
    ASSERT_EQ(platform::matches_wildcard(pattern, name), expected)
        << "pattern " << shown(pattern) << " name " << shown(name);
  }
  // Both answers are common.
  EXPECT_GT(matched, pairs / 10);
  EXPECT_LT(matched, pairs - pairs / 10);
}

TEST(WildcardFuzzPosix, RandomPairsOfUtf8CharactersAgreeWithTheReference) {
  // Whole characters of two, three and four bytes, and the pieces of them
  // that begin none, so that a '*' or '?' stopping inside a character shows.
  const std::vector<std::string> pieces = {"a", "b", "*", "?", "\xC3\xA9", "\xE2\x82\xAC",
                                           "\xF0\x9F\x98\x80", "\xC3", "\xA9", "\xE2\x82",
                                           "\x82\xAC", "\xFF", "\xC0\xAF", "\xED\xA0\x80"};
  std::mt19937 random(0xC4A2u);
  int matched = 0;
  const int pairs = 40000;
  for (int i = 0; i < pairs; ++i) {
    std::string pattern;
    for (std::size_t k = random() % 7; k > 0; --k) pattern += pieces[random() % pieces.size()];
    std::string name;
    if (i % 2 == 0) {
      for (std::size_t k = random() % 8; k > 0; --k) name += pieces[random() % pieces.size()];
    } else {
      // The pattern with its wildcards filled in by whole pieces.
      for (const std::string& c : utf8_characters(pattern)) {
        if (c == "*") {
          for (std::size_t k = random() % 3; k > 0; --k) name += pieces[random() % pieces.size()];
        } else if (c == "?") {
          name += pieces[4 + random() % 3];
        } else {
          name += c;
        }
      }
    }
    const bool expected = reference_match_utf8(pattern, name);
    matched += expected;
    ASSERT_EQ(platform::matches_wildcard(pattern, name, utf8_length), expected)
        << "pattern " << shown(pattern) << " name " << shown(name);
  }
  EXPECT_GT(matched, pairs / 10);
  EXPECT_LT(matched, pairs - pairs / 10);
}

TEST(WildcardFuzzPosix, EveryPairOverATinyAlphabetAgrees) {
  // Exhaustive: every pattern of up to 5 bytes over {a, b, *, ?} against
  // every name of up to 4 bytes over {a, b, *}.
  auto all_texts = [](const std::string& alphabet, std::size_t max_length) {
    std::vector<std::string> texts{""};
    for (std::size_t start = 0; texts.back().size() < max_length;) {
      const std::size_t end = texts.size();
      for (std::size_t i = start; i < end; ++i)
        for (const char c : alphabet) texts.push_back(texts[i] + c);
      start = end;
    }
    return texts;
  };
  const std::vector<std::string> patterns = all_texts("ab*?", 5);
  const std::vector<std::string> names = all_texts("ab*", 4);
  for (const std::string& pattern : patterns)
    for (const std::string& name : names)
      ASSERT_EQ(platform::matches_wildcard(pattern, name), reference_match(pattern, name))
          << "pattern " << shown(pattern) << " name " << shown(name);
}

TEST(WildcardFuzzPosix, LongInputsShapedToExplodeBacktrackingFinishAndAgree) {
  // Each would take a matcher that retries every split of every '*' longer
  // than the universe's age; the answers must also be right.
  std::string stars_then_b;
  for (int i = 0; i < 8; ++i) stars_then_b += "*a";
  stars_then_b += "*b";
  std::string forty_a_stars;
  for (int i = 0; i < 40; ++i) forty_a_stars += "a*";
  std::string ab_runs;
  for (int i = 0; i < 12; ++i) ab_runs += "*ab";
  std::string alternating;
  for (int i = 0; i < 10000; ++i) alternating += "ab";
  std::string questions;
  for (int i = 0; i < 30; ++i) questions += "*?";

  struct long_case {
    std::string pattern;
    std::string name;
    bool expected;
  };
  const std::string a10k(10000, 'a');
  const std::vector<long_case> cases = {
      {"*a*a*a*a*a*a*a*a*b", a10k, false},
      {"*a*a*a*a*a*a*a*a*b", a10k + "b", true},
      {stars_then_b, std::string(200000, 'a'), false},
      {forty_a_stars + "b", std::string(100000, 'a'), false},
      {forty_a_stars + "b", std::string(100000, 'a') + "b", true},
      {forty_a_stars, a10k, true},
      {ab_runs + "c", alternating, false},
      {ab_runs + "*", alternating, true},
      {questions + "x", a10k, false},
      {questions, a10k, true},
      {std::string(200, '*') + "b", a10k, false},
      {std::string(9999, '?') + "*", a10k, true},
      {std::string(10001, '?'), a10k, false},
      {"*\xFF*\x80*\xFF*\x80*z", std::string(5000, '\xFF') + std::string(5000, '\x80'), false},
  };
  for (const long_case& c : cases) {
    SCOPED_TRACE("pattern of " + std::to_string(c.pattern.size()) + " bytes " +
                 shown(c.pattern.substr(0, 60)) + ", name of " + std::to_string(c.name.size()));
    // The reference checks itself where its table stays small.
    if (c.pattern.size() * c.name.size() <= 20000000u) {
      EXPECT_EQ(reference_match(c.pattern, c.name), c.expected);
    }
    EXPECT_EQ(platform::matches_wildcard(c.pattern, c.name), c.expected);
    // ASCII, or bytes that begin no UTF-8 character: the same characters.
    EXPECT_EQ(platform::matches_wildcard(c.pattern, c.name, utf8_length), c.expected);
  }

  // And random ones: many stars among few bytes, names of thousands.
  std::mt19937 random(77u);
  for (int i = 0; i < 100; ++i) {
    const std::string pattern = random_text(random, "ab****?", 30);
    const std::string name = random_text(random, i % 2 ? "ab" : "aaaaab", 3000);
    ASSERT_EQ(platform::matches_wildcard(pattern, name), reference_match(pattern, name))
        << "pattern " << shown(pattern) << " name of " << name.size() << " bytes";
  }
}

}  // namespace
