// The JSON writer: its punctuation and numbers byte for byte, and its
// escaping of names, checked against a JSON library's parser where the text
// is valid and byte for byte where it is not.
#include "report/json_writer.h"

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/json_test_util.h"
#include "testing/report_test_util.h"

namespace report {

namespace {

native_string written(native_string_view text) {
  report_test::report_stream stream;
  json_writer json{stream.out};
  json.string(text);
  return stream.out.str();
}

// A text given as its UTF-8 bytes (POSIX) and as its UTF-16 units (Windows).
native_string text_of(std::initializer_list<unsigned> bytes, std::initializer_list<unsigned> units) {
  native_string text;
  for (unsigned c : sizeof(native_char) == 1 ? bytes : units) text += static_cast<native_char>(c);
  return text;
}

TEST(JsonWriter, PunctuationAndNumbersIgnoreTheUsersLocale) {
  report_test::report_stream stream(',');  // groups digits by threes
  json_writer json{stream.out};
  json.begin_object();
  json.key("n");
  json.begin_array();
  json.number(1234567);
  json.number(std::numeric_limits<std::int64_t>::min());
  json.hex(0);
  json.hex(std::numeric_limits<std::uint64_t>::max());
  json.begin_object();
  json.end_object();
  json.end_array();
  json.key("kind");
  json.ascii("normal");
  json.end_object();
  EXPECT_EQ(T("{\"n\":[1234567,-9223372036854775808,\"0\",\"ffffffffffffffff\",{}],"
              "\"kind\":\"normal\"}"),
            stream.out.str());
}

TEST(JsonWriter, WideHexHasAllItsDigitsOnlyWhenItsHighHalfIsSet) {
  report_test::report_stream stream;
  json_writer json{stream.out};
  json.begin_array();
  json.hex(0, 0x4a2f);
  json.hex(1, 0);
  json.hex(std::numeric_limits<std::uint64_t>::max(), 0x4a2f);
  json.end_array();
  EXPECT_EQ(T("[\"4a2f\",\"00000000000000010000000000000000\","
              "\"ffffffffffffffff0000000000004a2f\"]"),
            stream.out.str());
}

TEST(JsonWriter, ShortEscapesAndControlCharacters) {
  EXPECT_EQ(T("\"a\\\"b\\\\c\\nd\\re\\tf\\bg\\fh\""), written(T("a\"b\\c\nd\re\tf\bg\fh")));
  native_string controls;
  for (int c = 0; c < 0x20; ++c) controls += static_cast<native_char>(c);
  controls += static_cast<native_char>(0x7F);
  EXPECT_EQ(T("\"\\u0000\\u0001\\u0002\\u0003\\u0004\\u0005\\u0006\\u0007\\b\\t\\n\\u000b\\f\\r"
              "\\u000e\\u000f\\u0010\\u0011\\u0012\\u0013\\u0014\\u0015\\u0016\\u0017\\u0018"
              "\\u0019\\u001a\\u001b\\u001c\\u001d\\u001e\\u001f\\u007f\""),
            written(controls));
  // Slashes, spaces and percent signs are plain characters.
  EXPECT_EQ(T("\"/tmp/a b/%s\""), written(T("/tmp/a b/%s")));
}

TEST(JsonWriter, CharactersThatCouldDriveATerminalAreEscaped) {
  // U+009B (CSI), U+2028 (line separator), U+202E (right-to-left override).
  EXPECT_EQ(T("\"a\\u009bb\\u2028c\\u202ed\\u2066\""),
            written(text_of({'a', 0xC2, 0x9B, 'b', 0xE2, 0x80, 0xA8, 'c', 0xE2, 0x80, 0xAE, 'd',
                             0xE2, 0x81, 0xA6},
                            {'a', 0x9B, 'b', 0x2028, 'c', 0x202E, 'd', 0x2066})));
}

#ifdef TWINFIND_HAVE_JSON_PARSER
TEST(JsonWriter, EveryValidTextSurvivesAParser) {
  const std::vector<native_string> texts = {
      T("plain"),
      T("quote \" backslash \\ slash /"),
      T("line\nend\r\ttab\x01\x1f\x7f"),
      native_string(1, native_char(0)) + T("nul"),
      text_of({0xC3, 0xA9, 't', 0xC3, 0xA9}, {0xE9, 't', 0xE9}),                     // two bytes
      text_of({0xE2, 0x82, 0xAC, 0xEF, 0xBF, 0xBD}, {0x20AC, 0xFFFD}),                // three
      text_of({0xF0, 0x9F, 0x98, 0x80, 'x'}, {0xD83D, 0xDE00, 'x'}),                  // four
      text_of({0xF4, 0x8F, 0xBF, 0xBF}, {0xDBFF, 0xDFFF}),                            // U+10FFFF
      text_of({0xC2, 0x85, 0xE2, 0x80, 0xAE, 0xC2, 0xA0}, {0x85, 0x202E, 0xA0}),      // escaped ones
  };
  for (const native_string& text : texts) {
    const nlohmann::json parsed = json_test::parse(written(text));
    ASSERT_TRUE(parsed.is_string());
    EXPECT_EQ(json_test::utf8_of(text), parsed.get<std::string>());
  }
}
#endif

TEST(JsonWriter, EachByteOfInvalidUtf8IsALowSurrogateEscape) {
  if (sizeof(native_char) != 1) GTEST_SKIP() << "names are UTF-16 here";
  struct invalid_case {
    std::string bytes;
    const char* expected;
  };
  const std::vector<invalid_case> cases = {
      {"\xff", "\\udcff"},
      {"a\x80z", "a\\udc80z"},                          // a continuation byte alone
      {"\xc0\x80", "\\udcc0\\udc80"},                   // an overlong NUL
      {"\xc1\xbf", "\\udcc1\\udcbf"},                   // overlong ASCII
      {"\xe0\x80\xaf", "\\udce0\\udc80\\udcaf"},        // an overlong '/'
      {"\xed\xa0\x80", "\\udced\\udca0\\udc80"},        // an encoded surrogate
      {"\xf0\x8f\xbf\xbf", "\\udcf0\\udc8f\\udcbf\\udcbf"},  // overlong, four bytes
      {"\xf4\x90\x80\x80", "\\udcf4\\udc90\\udc80\\udc80"},  // beyond U+10FFFF
      {"\xf5\x80", "\\udcf5\\udc80"},
      {"\xe2\x82", "\\udce2\\udc82"},                   // truncated at the end
      {"\xe2\x82" "A\xe2\x82\xac", "\\udce2\\udc82A\xe2\x82\xac"},  // truncated, then valid
      {"\xf0\x9f\x98", "\\udcf0\\udc9f\\udc98"},
      {"caf\xe9", "caf\\udce9"},                        // Latin-1
  };
  for (const invalid_case& c : cases) {
    EXPECT_EQ("\"" + std::string(c.expected) + "\"",
              json_test::utf8_of(written(native_string(c.bytes.begin(), c.bytes.end()))))
        << c.expected;
  }
}

TEST(JsonWriter, LoneSurrogatesAreEscapedAlone) {
  if (sizeof(native_char) == 1) GTEST_SKIP() << "names are bytes here";
  EXPECT_EQ(T("\"\\ud800\""), written(text_of({}, {0xD800})));
  EXPECT_EQ(T("\"a\\udc00b\""), written(text_of({}, {'a', 0xDC00, 'b'})));
  EXPECT_EQ(T("\"\\udc00\\ud800\""), written(text_of({}, {0xDC00, 0xD800})));  // reversed
  EXPECT_EQ(T("\"\\ud83d.\""), written(text_of({}, {0xD83D, '.'})));
  // A pair is a character and stays as it is.
  EXPECT_EQ(text_of({}, {'"', 0xD83D, 0xDE00, '"'}), written(text_of({}, {0xD83D, 0xDE00})));
}

}  // namespace

}  // namespace report
