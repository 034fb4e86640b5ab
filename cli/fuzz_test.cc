// Random command lines against the parser, and random counts against the
// C library's conversion.
//
// Every line is drawn from a fixed seed, so a failure repeats. Each one is
// checked against what any outcome must look like, by the documented
// grammar and without retyping the parser: a run prints nothing and keeps
// only arguments of the line, each where the line put it; the usage text
// and the version are printed exactly; an error is one of the two
// documented messages on the error stream and nothing else; and whatever
// does not run leaves nothing behind. The examples of command_line_test.cc
// pin down what each line means.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "cli/command_line.h"
#include "program/arguments.h"
#include "testing/text_test_util.h"

namespace cli {

namespace {

const native_char prefix = platform::option_prefix;

// A text beyond ASCII: `bytes` where a name is bytes (POSIX), `units` where
// it is UTF-16 (Windows).
native_string beyond_ascii(std::initializer_list<unsigned> bytes,
                           std::initializer_list<unsigned> units) {
  native_string result;
  for (unsigned c : sizeof(native_char) == 1 ? bytes : units) result += static_cast<native_char>(c);
  return result;
}

std::vector<native_string> non_ascii_texts() {
  return {
      beyond_ascii({0xC3, 0xA9}, {0xE9}),              // e acute
      beyond_ascii({0xFF}, {0xFF}),                    // a lone high byte / y diaeresis
      beyond_ascii({0x80}, {0x80}),                    // a continuation byte / a C1 control
      beyond_ascii({0xEF, 0xBC, 0x91}, {0xFF11}),      // full-width digit one
      beyond_ascii({0xC2, 0xA0}, {0xA0}),              // no-break space
      beyond_ascii({0xEF, 0xBD, 0x96}, {0xFF56}),      // full-width small v
      beyond_ascii({0xC4, 0xB0}, {0x130}),             // capital I with dot
      beyond_ascii({0xE3, 0x80, 0x80}, {0x3000}),      // ideographic space
      beyond_ascii({0xF0, 0x9F, 0x98, 0x80}, {0xD83D, 0xDE00}),  // outside the BMP
      beyond_ascii({0xED, 0xA0, 0x80}, {0xD800}),      // a lone surrogate
  };
}

// ---------------------------------------------------------------------------
// The C library as the reference of -C.

// The C library's conversion, saturated to 32 bits. Code units beyond ASCII
// become a letter, which the conversion stops at as the parser must; a NUL
// ends the text, as it ends every C string.
std::int32_t reference_count(native_string_view value) {
  std::string narrow;
  for (native_char c : value) {
    const auto unit = static_cast<std::uint32_t>(static_cast<std::make_unsigned<native_char>::type>(c));
    if (unit == 0) break;
    narrow += unit < 0x80 ? static_cast<char>(unit) : 'x';
  }
  errno = 0;
  const long long converted = std::strtoll(narrow.c_str(), nullptr, 10);
  if (converted > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
  if (converted < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(converted);
}

// ---------------------------------------------------------------------------
// Random command lines.

class line_maker {
 public:
  explicit line_maker(std::uint32_t seed) : random_(seed), non_ascii_(non_ascii_texts()) {}

  std::vector<native_string> line() {
    std::vector<native_string> arguments;
    const std::uint32_t count = pick(8);  // 0 to 7 arguments
    for (std::uint32_t i = 0; i < count; ++i) arguments.push_back(argument());
    return arguments;
  }

  // Leading white space, a sign, a run of digits and a tail, each maybe.
  native_string count_text() {
    static const char* const spaces[] = {"", "", " ", "\t", " \n\v\f\r", "  "};
    static const char* const signs[] = {"", "", "+", "-", "+-", "--"};
    static const char* const tails[] = {"", "", "x", " 5", "9", ".5", "e3", "%"};
    native_string value = T(spaces[pick(6)]) + T(signs[pick(6)]);
    const std::uint32_t digits = pick(4) == 0 ? 10 + pick(40) : pick(11);  // long runs too
    for (std::uint32_t i = 0; i < digits; ++i)
      value += static_cast<native_char>(pick(3) == 0 ? '0' : '0' + pick(10));
    value += T(tails[pick(8)]);
    if (pick(8) == 0) value += non_ascii_[pick(static_cast<std::uint32_t>(non_ascii_.size()))];
    if (pick(16) == 0) value.insert(value.begin() + pick(static_cast<std::uint32_t>(value.size() + 1)), native_char(0));
    return value;
  }

  std::uint32_t pick(std::uint32_t n) { return static_cast<std::uint32_t>(random_() % n); }

 private:
  native_string argument() {
    switch (pick(8)) {
      case 0:
      case 1:
        return option();
      case 2:
        return special();
      case 3:
        return count_text();
      case 4:
        return plain();
      case 5:
        return control();
      case 6:
        return non_ascii_[pick(static_cast<std::uint32_t>(non_ascii_.size()))];
      default:
        return soup();
    }
  }

  // The prefix, a letter in either case or some other character, and
  // maybe more text.
  native_string option() {
    static const char letters[] = "VvCcFfHh?VCFvcfSsJjAaEeLlUuXxZz-/:1 ";
    static const char* const tails[] = {"", "", "", "erbose", "X", "123", "=5", "ount", " ",
                                        "\t", "%s", "AS", "sL", "jE"};
    native_string value(1, prefix);
    value += static_cast<native_char>(letters[pick(sizeof letters - 1)]);
    value += T(tails[pick(14)]);
    if (pick(10) == 0) value += non_ascii_[pick(static_cast<std::uint32_t>(non_ascii_.size()))];
    return value;
  }

  // Lone prefixes, long options and the other platform's prefix.
  native_string special() {
    static const char* const texts[] = {"-", "/", "--help", "--HELP", "--", "--h", "---help",
                                        "--help=1", "--help ", "/?", "/V", "/C", "-?", "//", "\\",
                                        "--version", "--versoin", "--verbose", "---"};
    return T(texts[pick(19)]);
  }

  native_string plain() {
    static const char* const texts[] = {"",        "",        "dir",  "C:\\x", "a b",   "%s%n%d",
                                        "100%",    "%",       "*.txt", "?",    "data",  "0",
                                        "x/y/z",   "\\\\?\\C:", "help", "V"};
    return T(texts[pick(16)]);
  }

  native_string control() {
    static const char* const texts[] = {"\t", "a\nb", "\x01", "\x7f", "\r", "x\x1b[31m", "\n", "\b\b"};
    native_string value = T(texts[pick(8)]);
    if (pick(4) == 0) value = native_string(1, prefix) + value;
    if (pick(4) == 0) value += native_char(0);
    return value;
  }

  // Up to six characters from everything above.
  native_string soup() {
    static const char alphabet[] = "-/VvCcFfHh?x0123456789+ \t\n%\x01\x7f";
    native_string value;
    const std::uint32_t length = pick(7);
    for (std::uint32_t i = 0; i < length; ++i) {
      if (pick(8) == 0) {
        value += non_ascii_[pick(static_cast<std::uint32_t>(non_ascii_.size()))];
      } else {
        value += static_cast<native_char>(alphabet[pick(sizeof alphabet - 1)]);
      }
    }
    return value;
  }

  std::mt19937 random_;
  std::vector<native_string> non_ascii_;
};

native_string usage_text() {
  native_ostringstream out;
  print_usage(out);
  return out.str();
}

// Shows an argument list in a failure message: every code unit in hex.
std::string described(const std::vector<native_string>& arguments) {
  std::string shown;
  for (const native_string& argument : arguments) {
    shown += "[";
    for (native_char c : argument) {
      static const char hex[] = "0123456789abcdef";
      const auto unit = static_cast<std::uint32_t>(static_cast<std::make_unsigned<native_char>::type>(c));
      if (unit >= 0x20 && unit < 0x7F) {
        shown += static_cast<char>(unit);
      } else {
        shown += "\\x";
        for (int shift = (sizeof(native_char) == 1 ? 4 : 12); shift >= 0; shift -= 4) shown += hex[(unit >> shift) & 0xF];
      }
    }
    shown += "] ";
  }
  return shown;
}

bool starts_with(const native_string& text_value, const native_string& start) {
  return text_value.compare(0, start.size(), start) == 0;
}

// True when every element of `part` is an element of `whole`, in the same
// order.
bool in_order_within(const std::vector<native_string>& part,
                     const std::vector<native_string>& whole) {
  std::size_t at = 0;
  for (const native_string& element : part) {
    while (at < whole.size() && whole[at] != element) ++at;
    if (at == whole.size()) return false;
    ++at;
  }
  return true;
}

std::size_t line_ends(const native_string& value) {
  std::size_t count = 0;
  for (native_char c : value) count += c == '\n';
  return count;
}

TEST(CommandLineFuzz, RandomLinesEndInExactlyOneWellFormedOutcome) {
  const native_string usage = usage_text();
  line_maker maker(0x7A1F1ADu);
  const int lines = 5000;
  int outcomes[4] = {0, 0, 0, 0};
  for (int i = 0; i < lines; ++i) {
    const std::vector<native_string> arguments = maker.line();
    SCOPED_TRACE("line " + std::to_string(i) + ": " + described(arguments));
    command_line parsed;
    // Left over from an earlier parse: must never survive this one.
    parsed.directories.push_back(T("stale"));
    parsed.files.push_back(T("stale"));
    parsed.list_files_for_hardlinkcount.push_back(7);
    parsed.verbose = true;
    parsed.space_by_path = true;
    parsed.json = true;
    parsed.allocated = true;
    parsed.shared_extents = true;
    parsed.sizes_in_units = true;
    parsed.directory_depth = 5;
    native_ostringstream out;
    native_ostringstream err;
    const parse_outcome outcome = parse_command_line(arguments, parsed, out, err);
    const native_string out_text = out.str();
    const native_string err_text = err.str();

    // What any outcome must look like.
    switch (outcome) {
      case parse_outcome::run:
        ++outcomes[0];
        ASSERT_TRUE(out_text.empty());
        ASSERT_TRUE(err_text.empty());
        ASSERT_FALSE(parsed.directories.empty() && parsed.files.empty());
        break;
      case parse_outcome::usage:
        ++outcomes[1];
        ASSERT_TRUE(out_text == usage);
        ASSERT_TRUE(err_text.empty());
        break;
      case parse_outcome::version:
        ++outcomes[3];
        ASSERT_TRUE(out_text == T("twinfind " TWINFIND_VERSION "\n"));
        ASSERT_TRUE(err_text.empty());
        break;
      case parse_outcome::error: {
        ++outcomes[2];
        ASSERT_TRUE(out_text.empty());
        ASSERT_FALSE(err_text.empty());
        ASSERT_EQ(err_text.back(), native_char('\n'));
        // One line (two for an unknown long option, the second pointing to
        // --help), unless the argument it quotes holds line ends itself:
        // names are printed unchanged but on a terminal.
        std::size_t quoted_ends = 0;
        for (const native_string& argument : arguments)
          if (err_text.find(argument) != native_string::npos)
            quoted_ends = std::max(quoted_ends, line_ends(argument));
        // The grammar's two complaints: an argument that is no option, or
        // an option without its parameter.
        ASSERT_TRUE(starts_with(err_text, T("Invalid argument '")) ||
                    starts_with(err_text, T("Expected parameter for ") + prefix));
        const native_string hint = T("\nTry 'twinfind --help'.\n");
        const bool hinted = err_text.size() > hint.size() &&
                            err_text.compare(err_text.size() - hint.size(), hint.size(), hint) == 0;
        ASSERT_LE(line_ends(err_text), 1 + quoted_ends + hinted);
        break;
      }
    }
    if (outcome != parse_outcome::run) {
      ASSERT_TRUE(parsed.directories.empty() && parsed.files.empty() &&
                  parsed.list_files_for_hardlinkcount.empty() && !parsed.verbose &&
                  !parsed.space_by_path && !parsed.json && !parsed.allocated &&
                  !parsed.shared_extents && !parsed.sizes_in_units &&
                  parsed.directory_depth == -1)
          << "a parse that does not run left something behind";
    }

    ASSERT_GE(parsed.directory_depth, -1);  // never below 0 when given

    // Only arguments of the line, each in the line's order.
    ASSERT_TRUE(in_order_within(parsed.directories, arguments));
    ASSERT_TRUE(in_order_within(parsed.files, arguments));
    ASSERT_LE(parsed.directories.size() + parsed.files.size() +
                  parsed.list_files_for_hardlinkcount.size(),
              arguments.size());
  }
  // The draw reaches every outcome often.
  EXPECT_GT(outcomes[0], lines / 10);
  EXPECT_GT(outcomes[1], lines / 20);
  EXPECT_GT(outcomes[2], lines / 10);
  if (prefix == '-') {
    EXPECT_GT(outcomes[3], lines / 200);
  }
}

TEST(CommandLineFuzz, RandomCountsConvertAsTheCLibrarySaturatedTo32Bits) {
  line_maker maker(20240611u);
  for (int i = 0; i < 20000; ++i) {
    const native_string value = maker.count_text();
    ASSERT_EQ(parse_count(value), reference_count(value)) << described({value});
  }
}

}  // namespace

}  // namespace cli
