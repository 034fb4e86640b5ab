// Masking by the encoding of a locale: UTF-8, single-byte encodings and
// other multibyte ones.
#include "term/masking-posix.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "testing/child_check_test_util-posix.h"
#include "testing/test_tree.h"

namespace {

using platform::locale_encoding;

struct masking_case {
  std::string text;
  std::string shown;
};

void expect_masked(const locale_encoding& encoding, const std::vector<masking_case>& cases) {
  for (const masking_case& c : cases) {
    std::ostringstream out;
    platform::write_masked(out, c.text, encoding);
    EXPECT_EQ(c.shown, out.str()) << "for the bytes of \"" << c.text << "\"";
  }
}

TEST(MaskingPosix, Utf8MasksControlsInvalidBytesAndReorderingButKeepsLetters) {
  const locale_encoding utf8("C.UTF-8");
  if (utf8.kind != locale_encoding::form::utf8) GTEST_SKIP() << "no C.UTF-8 locale";
  expect_masked(
      utf8,
      {
          {"plain name.txt", "plain name.txt"},
          {"a\x1b[2J\x07\x7f" "b", "a?[2J??b"},
          // Letters and signs of every length stay: é, 日本, 😀.
          {"caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80",
           "caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80"},
          // C1 controls as characters, one '?' each: U+0085, CSI U+009B, OSC U+009D.
          {"x\xc2\x85y\xc2\x9b" "31m\xc2\x9dz", "x?y?31m?z"},
          // The controls that reorder text: U+202A, U+202E, U+2066, U+2069; U+2067 between.
          {"\xe2\x80\xaa" "a\xe2\x80\xae" "b\xe2\x81\xa6" "c\xe2\x81\xa7\xe2\x81\xa9",
           "?a?b?c??"},
          // U+2028 and U+2029 end lines: not printable in the locale either.
          {"a\xe2\x80\xa8" "b", "a?b"},
          // Every byte that begins no character: raw C1 bytes, a stray
          // continuation, 0xFF, an overlong '/', a surrogate, a cut sequence.
          {"\x9b" "1\x80\xff", "?1??"},
          {"\xc0\xaf", "??"},
          {"\xed\xa0\x80!", "???" "!"},  // split: no trigraph
          {"\xe6\x97" "x\xe6", "??x?"},
          {"\xf4\x90\x80\x80", "????"},  // beyond U+10FFFF
      });
}

TEST(MaskingPosix, TheCLocaleShowsAsciiOnly) {
  const locale_encoding ascii("C");
  ASSERT_EQ(ascii.kind, locale_encoding::form::single_byte);
  expect_masked(ascii, {{"plain", "plain"},
                        {"a\x1b\x7f\x80\x9b\xa0\xc3\xa9\xff", "a????????"}});
  // A locale that cannot be loaded is read as "C".
  const locale_encoding unknown("xx_NOWHERE.NOTHING");
  EXPECT_EQ(unknown.kind, locale_encoding::form::single_byte);
  expect_masked(unknown, {{"caf\xc3\xa9", "caf??"}});
}

// Locales of other encodings, compiled for the test where localedef and
// its sources are installed, and loaded through LOCPATH. Each is compiled
// when a test first needs it: ctest runs every test in a process of its
// own, and compiling one takes half a second.
class CompiledLocales : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { directory_ = new test_tree; }
  static void TearDownTestSuite() {
    delete directory_;
    directory_ = nullptr;
  }
  // Compiles the locale C.`charmap` unless it is there; false when it could
  // not be made, and the test that needs it is skipped.
  static bool made(const std::string& charmap) {
    const std::string path = directory_->path("C." + charmap);
    if (!std::filesystem::exists(path + "/LC_CTYPE")) {
      const std::string command =
          "localedef -c -i C -f " + charmap + " '" + path + "' >/dev/null 2>&1";
      (void)std::system(command.c_str());
    }
    return std::filesystem::exists(path + "/LC_CTYPE");
  }
  // How the compiled locale `name` masks `cases`, when not as they say.
  static std::string masking_problems(const std::string& name, locale_encoding::form kind,
                                      const std::vector<masking_case>& cases) {
    setenv("LOCPATH", directory_->path().c_str(), 1);
    const locale_encoding encoding(name.c_str());
    std::string problems;
    if (encoding.kind != kind) problems += "not read as the expected kind of encoding\n";
    for (const masking_case& c : cases) {
      std::ostringstream out;
      platform::write_masked(out, c.text, encoding);
      if (out.str() != c.shown) problems += "\"" + c.text + "\" shown as \"" + out.str() + "\"\n";
    }
    return problems;
  }
  // Checks the masking in a child process: glibc keeps for good the
  // LOCPATH it parses, which the leak checker of the debug build would
  // report.
  static void expect_masked_in_child(const std::string& name, locale_encoding::form kind,
                                     const std::vector<masking_case>& cases) {
    EXPECT_EQ(check_in_child([&] { return masking_problems(name, kind, cases); }), "");
  }
  static test_tree* directory_;
};

test_tree* CompiledLocales::directory_ = nullptr;

TEST_F(CompiledLocales, ASingleByteEncodingKeepsItsLettersAndMasksRawC1Bytes) {
  if (!made("ISO-8859-1")) GTEST_SKIP() << "localedef could not make C.ISO-8859-1";
  expect_masked_in_child("C.ISO-8859-1", locale_encoding::form::single_byte,
                         {{"caf\xe9 \xa0\xff", "caf\xe9 \xa0\xff"},  // é, no-break space, ÿ
                          {"a\x1b\x7f" "b\x80\x85\x9b\x9f" "c", "a??b????c"}});
}

TEST_F(CompiledLocales, OtherMultibyteEncodingsAreReadByTheCLibrary) {
  if (!made("EUC-JP")) GTEST_SKIP() << "localedef could not make C.EUC-JP";
  expect_masked_in_child("C.EUC-JP", locale_encoding::form::multibyte,
                         {
                             // 日本 and a half-width katakana (SS2 0x8E, then its byte).
                             {"\xc6\xfc\xcb\xdc-\x8e\xb1", "\xc6\xfc\xcb\xdc-\x8e\xb1"},
                             {"a\x1b\x7f" "b", "a??b"},
                             // A byte that begins nothing, and a character cut short.
                             {"\x9b" "x\xff" "y\xc6", "?x?y?"},
                         });
}

}  // namespace
