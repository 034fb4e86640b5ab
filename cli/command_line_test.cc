// Tests of the command line: grammar, state machine, errors, usage text.
//
// Options are written here with '/' and turned into this platform's prefix
// ('-' on POSIX), so the same cases run on both builds.
#include "cli/command_line.h"

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "program/arguments.h"
#include "testing/text_test_util.h"

namespace cli {

namespace {

const native_char prefix = platform::option_prefix;

// An ASCII text in which every '/' stands for the option prefix.
native_string opt(const std::string& text) {
  native_string result = native_from_ascii(text);
  for (native_char& c : result) {
    if (c == '/') c = prefix;
  }
  return result;
}

struct parse_result {
  parse_outcome outcome;
  command_line parsed;
  native_string out;
  native_string err;
};

parse_result parse(const std::vector<native_string>& arguments) {
  parse_result result;
  native_ostringstream out;
  native_ostringstream err;
  // Left over from an earlier parse: must not survive this one.
  result.parsed.directories.push_back(T("stale"));
  result.parsed.verbose = true;
  result.outcome = parse_command_line(arguments, result.parsed, out, err);
  result.out = out.str();
  result.err = err.str();
  return result;
}

native_string usage_text() {
  native_ostringstream out;
  print_usage(out);
  return out.str();
}

// Parses a command line that must end in an error, and returns its line.
native_string error_of(const std::vector<native_string>& arguments) {
  parse_result result = parse(arguments);
  EXPECT_EQ(parse_outcome::error, result.outcome);
  EXPECT_EQ(native_string(), result.out);
  EXPECT_TRUE(result.parsed.directories.empty());
  EXPECT_TRUE(result.parsed.files.empty());
  EXPECT_TRUE(result.parsed.list_files_for_hardlinkcount.empty());
  EXPECT_FALSE(result.parsed.verbose);
  EXPECT_EQ(-1, result.parsed.directory_depth);
  return result.err;
}

// Parses a command line that must print the usage text and nothing else.
void expect_usage(const std::vector<native_string>& arguments) {
  parse_result result = parse(arguments);
  EXPECT_EQ(parse_outcome::usage, result.outcome);
  EXPECT_EQ(usage_text(), result.out);
  EXPECT_EQ(native_string(), result.err);
}

parse_result parse_run(const std::vector<native_string>& arguments) {
  parse_result result = parse(arguments);
  EXPECT_EQ(parse_outcome::run, result.outcome);
  EXPECT_EQ(native_string(), result.out);
  EXPECT_EQ(native_string(), result.err);
  return result;
}

using strings = std::vector<native_string>;
using counts = std::vector<std::int32_t>;

TEST(CommandLineUsage, TextByteForByte) {
  const std::string expected =
      "\n"
      "\"TWINFIND\" [/V] [PATH [PATH ...]] [/C COUNT [/C COUNT ...]]\n"
      "    [/F FILE [/F FILE ...]]\n"
      "\n"
      "Description:\n"
      "    Accepts a list of paths, scans them for hardlinked files and reports on\n"
      "    its findings.\n"
      "\n"
      "Parameter List:\n"
      "    /V                      Displays any errors opening directories or files.\n"
      "\n"
      "    PATH                    A path to scan for hardlinks.\n"
      "\n"
      "    /C COUNT                List all files with a hardlink count of COUNT.\n"
      "\n"
      "    /F FILE                 Specify a file (can include patterns) to give a\n"
      "                            complete breakdown on.\n"
      "\n"
      "    /A                      Counts sizes as the space allocated on disk.\n"
      "\n"
      "    /E                      Counts extents that copies share once.\n"
      "\n"
      "    /S                      Shows the space each path holds and would free.\n"
      "\n"
      "    /R                      Shows what each path adds and frees in order.\n"
      "\n"
      "    /L DEPTH                Shows the space of each directory down to DEPTH.\n"
      "\n"
      "    /U                      Shows sizes in units of 1024 (KiB, MiB, GiB).\n"
      "\n"
      "    /J                      Writes the report as JSON instead of text.\n"
      "\n"
      "    /?                      Displays this help message.\n";
  EXPECT_EQ(opt(expected), usage_text());
}

TEST(CommandLineUsage, PrintedWhenNothingIsToBeScanned) {
  expect_usage({});
  expect_usage({opt("/V")});
  expect_usage({opt("/C"), T("2")});
  expect_usage({opt("/V"), opt("/C"), T("2"), opt("/C"), T("3")});
}

TEST(CommandLineUsage, AskedForByEveryHelpSpelling) {
  expect_usage({opt("/?")});
  expect_usage({opt("/h")});
  expect_usage({opt("/H")});
  expect_usage({opt("/help")});
  // Paths and files are parsed but nothing runs.
  expect_usage({opt("/?"), T("data")});
  expect_usage({T("data"), opt("/F"), T("x"), opt("/?")});
}

TEST(CommandLineUsage, LaterErrorWinsOverHelp) {
  EXPECT_EQ(opt("Invalid argument '/x'.\n"), error_of({opt("/?"), opt("/x")}));
  EXPECT_EQ(opt("Expected parameter for /C, found EOL.\n"), error_of({opt("/?"), opt("/C")}));
}

TEST(CommandLineStates, NoneState) {
  // A non-option is a PATH; -V sets the flag and stays in the same state.
  parse_result r = parse_run({T("a"), opt("/V"), T("b")});
  EXPECT_EQ((strings{T("a"), T("b")}), r.parsed.directories);
  EXPECT_TRUE(r.parsed.verbose);
  EXPECT_TRUE(r.parsed.files.empty());
  EXPECT_TRUE(r.parsed.list_files_for_hardlinkcount.empty());

  r = parse_run({T("a")});
  EXPECT_FALSE(r.parsed.verbose);
}

TEST(CommandLineStates, WaitingForParameter) {
  parse_result r = parse_run({opt("/F"), T("x"), opt("/C"), T("2"), T("a")});
  EXPECT_EQ((strings{T("x")}), r.parsed.files);
  EXPECT_EQ((counts{2}), r.parsed.list_files_for_hardlinkcount);
  // After a parameter the parser is back in the state without a pending
  // option: the next non-option is a PATH.
  EXPECT_EQ((strings{T("a")}), r.parsed.directories);
}

TEST(CommandLineStates, OptionWhileWaitingIsAMissingParameter) {
  EXPECT_EQ(opt("Expected parameter for /C, found '/v'.\n"), error_of({opt("/c"), opt("/v")}));
  EXPECT_EQ(opt("Expected parameter for /F, found '/V'.\n"), error_of({opt("/F"), opt("/V")}));
  // Even options that would be errors of their own, and a lone prefix.
  EXPECT_EQ(opt("Expected parameter for /F, found '/x'.\n"), error_of({opt("/F"), opt("/x")}));
  EXPECT_EQ(opt("Expected parameter for /C, found '/'.\n"), error_of({opt("/C"), opt("/")}));
  EXPECT_EQ(opt("Expected parameter for /F, found '/?'.\n"), error_of({opt("/F"), opt("/?")}));
}

TEST(CommandLineStates, EndWhileWaitingIsAMissingParameter) {
  EXPECT_EQ(opt("Expected parameter for /F, found EOL.\n"), error_of({T("a"), opt("/f")}));
  EXPECT_EQ(opt("Expected parameter for /C, found EOL.\n"), error_of({T("a"), opt("/Cx")}));
}

TEST(CommandLineStates, InvalidOptions) {
  EXPECT_EQ(opt("Invalid argument '/x'.\n"), error_of({opt("/x")}));
  EXPECT_EQ(opt("Invalid argument '/'.\n"), error_of({opt("/")}));
  // The argument is quoted as typed, not upper-cased; only the first error
  // is reported.
  EXPECT_EQ(opt("Invalid argument '/data'.\n"), error_of({T("a"), opt("/data"), opt("/y")}));
}

TEST(CommandLineGrammar, OnlyTheLetterAfterThePrefixCounts) {
  parse_result r = parse_run({opt("/Verbose"), T("a")});
  EXPECT_TRUE(r.parsed.verbose);
  r = parse_run({opt("/vx"), T("a")});
  EXPECT_TRUE(r.parsed.verbose);
  // The text after the letter is never the parameter.
  r = parse_run({opt("/Cfoo"), T("3"), opt("/files"), T("x")});
  EXPECT_EQ((counts{3}), r.parsed.list_files_for_hardlinkcount);
  EXPECT_EQ((strings{T("x")}), r.parsed.files);
  EXPECT_TRUE(r.parsed.directories.empty());
}

TEST(CommandLineGrammar, OnlyAsciiLettersAreUpperCased) {
  // Letters outside a to z are never taken for an option letter.
  native_string argument = opt("/");
  argument.push_back(static_cast<native_char>(0xE7));  // c with cedilla in Latin-1
  EXPECT_EQ(native_string(opt("Invalid argument '")) + argument + T("'.\n"),
            error_of({argument}));
  EXPECT_EQ(opt("Invalid argument '/{'.\n"), error_of({opt("/{")}));
  EXPECT_EQ(opt("Invalid argument '/@'.\n"), error_of({opt("/@")}));
}

TEST(CommandLineGrammar, SpaceByPathAndJsonAreLettersWithoutParameter) {
  parse_result r = parse_run({opt("/s"), T("a"), opt("/Json"), T("b")});
  EXPECT_TRUE(r.parsed.space_by_path && r.parsed.json);
  EXPECT_EQ((strings{T("a"), T("b")}), r.parsed.directories);
  r = parse_run({T("a"), opt("/J")});
  EXPECT_TRUE(r.parsed.json && !r.parsed.space_by_path);
  expect_usage({opt("/J"), opt("/S")});  // nothing to scan
  EXPECT_EQ(opt("Expected parameter for /F, found '/J'.\n"), error_of({opt("/F"), opt("/J")}));
}

TEST(CommandLineGrammar, SpaceInOrderIsALetterWithoutParameter) {
  parse_result r = parse_run({opt("/r"), T("a"), opt("/Rows"), T("b")});
  EXPECT_TRUE(r.parsed.space_in_order && !r.parsed.space_by_path);
  EXPECT_EQ((strings{T("a"), T("b")}), r.parsed.directories);
  EXPECT_FALSE(parse_run({T("a"), opt("/S")}).parsed.space_in_order);
  expect_usage({opt("/R")});  // nothing to scan
  EXPECT_EQ(opt("Expected parameter for /L, found '/R'.\n"), error_of({opt("/L"), opt("/R")}));
}

TEST(CommandLineGrammar, AllocatedIsALetterWithoutParameter) {
  parse_result r = parse_run({opt("/allocated"), T("a"), opt("/S")});
  EXPECT_TRUE(r.parsed.allocated && r.parsed.space_by_path);
  EXPECT_EQ((strings{T("a")}), r.parsed.directories);
  EXPECT_FALSE(parse_run({T("a")}).parsed.allocated);
  expect_usage({opt("/A")});  // nothing to scan
  EXPECT_EQ(opt("Expected parameter for /C, found '/A'.\n"), error_of({opt("/C"), opt("/A")}));
}

TEST(CommandLineGrammar, SharedExtentsIsALetterThatImpliesAllocated) {
  parse_result r = parse_run({opt("/extents"), T("a")});
  EXPECT_TRUE(r.parsed.shared_extents && r.parsed.allocated);
  EXPECT_EQ((strings{T("a")}), r.parsed.directories);
  r = parse_run({opt("/A"), T("a")});
  EXPECT_TRUE(r.parsed.allocated && !r.parsed.shared_extents);
  expect_usage({opt("/E")});  // nothing to scan
  EXPECT_EQ(opt("Expected parameter for /F, found '/E'.\n"), error_of({opt("/F"), opt("/E")}));
}

TEST(CommandLineGrammar, ListsKeepOrderAndDuplicates) {
  parse_result r = parse_run({T("a"), opt("/F"), T("x"), T("b"), opt("/F"), T("y"),
                              T("a"), opt("/F"), T("x"), opt("/C"), T("2"),
                              opt("/C"), T("1"), opt("/C"), T("2")});
  EXPECT_EQ((strings{T("a"), T("b"), T("a")}), r.parsed.directories);
  EXPECT_EQ((strings{T("x"), T("y"), T("x")}), r.parsed.files);
  EXPECT_EQ((counts{2, 1, 2}), r.parsed.list_files_for_hardlinkcount);
}

TEST(CommandLineGrammar, EmptyArgumentIsAPathOrAParameter) {
  parse_result r = parse_run({T("")});
  EXPECT_EQ((strings{T("")}), r.parsed.directories);
  r = parse_run({opt("/F"), T("")});
  EXPECT_EQ((strings{T("")}), r.parsed.files);
  r = parse_run({opt("/C"), T(""), T("a")});
  EXPECT_EQ((counts{0}), r.parsed.list_files_for_hardlinkcount);
}

TEST(CommandLineGrammar, OtherPlatformsPrefixIsAPath) {
  // "/data" on POSIX, "-data" on Windows: an ordinary PATH.
  const char other = prefix == '-' ? '/' : '-';
  native_string path = T(std::string(1, other) + "data");
  parse_result r = parse_run({path, opt("/F"), T(std::string(1, other) + "x")});
  EXPECT_EQ((strings{path}), r.parsed.directories);
  EXPECT_EQ((strings{T(std::string(1, other) + "x")}), r.parsed.files);
}

TEST(CommandLineGrammar, CountParametersAreConverted) {
  // A negative count must not begin with '-', which is the prefix on POSIX:
  // " -2" is a parameter on both platforms.
  parse_result r = parse_run({opt("/C"), T("abc"), opt("/C"), T(" -2"), opt("/C"), T("3x"),
                              opt("/C"), T(" 7"), opt("/C"), T("+4"), T("a")});
  EXPECT_EQ((counts{0, -2, 3, 7, 4}), r.parsed.list_files_for_hardlinkcount);
}

// -L DEPTH reads its parameter as -C does; a depth below 0 is the PATH
// alone, and the last -L given is the one that counts.
TEST(CommandLineGrammar, DirectoryDepthIsACountAtLeastZero) {
  EXPECT_EQ(-1, parse_run({T("a")}).parsed.directory_depth);
  const struct {
    std::vector<std::string> depths;
    std::int32_t parsed;
  } cases[] = {
      {{"3"}, 3}, {{"0"}, 0}, {{" -2"}, 0}, {{"abc"}, 0}, {{""}, 0}, {{"3x"}, 3}, {{"+4"}, 4},
      {{"99999999999"}, std::numeric_limits<std::int32_t>::max()}, {{" -99999999999"}, 0},
      {{"2", "5"}, 5}, {{"5", " -1"}, 0},
  };
  for (const auto& c : cases) {
    std::vector<native_string> arguments{T("a")};
    for (const std::string& depth : c.depths) {
      arguments.push_back(opt("/Levels"));
      arguments.push_back(T(depth));
    }
    const parse_result r = parse_run(arguments);
    EXPECT_EQ(c.parsed, r.parsed.directory_depth) << c.depths.back();
    EXPECT_EQ((strings{T("a")}), r.parsed.directories);
    EXPECT_TRUE(r.parsed.list_files_for_hardlinkcount.empty());
  }
  EXPECT_EQ(opt("Expected parameter for /L, found EOL.\n"), error_of({T("a"), opt("/l")}));
  EXPECT_EQ(opt("Expected parameter for /L, found '/S'.\n"),
            error_of({opt("/L"), opt("/S"), T("a")}));
  expect_usage({opt("/L"), T("2")});  // nothing to scan
  // D is no letter of it: "/data" stays an invalid argument.
  EXPECT_EQ(opt("Invalid argument '/data'.\n"), error_of({T("a"), opt("/data")}));
}

// What a parse asked for, in a few letters: the options without a
// parameter that are set, then each -L or -C with its parameter, "usage"
// for the usage text, or the error line.
std::string options_of(const std::vector<native_string>& arguments) {
  const parse_result r = parse(arguments);
  if (r.outcome == parse_outcome::usage) return "usage";
  if (r.outcome == parse_outcome::error) return std::string(r.err.begin(), r.err.end());
  const command_line& p = r.parsed;
  std::string letters;
  if (p.verbose) letters += 'V';
  if (p.allocated) letters += 'A';
  if (p.shared_extents) letters += 'E';
  if (p.space_by_path) letters += 'S';
  if (p.sizes_in_units) letters += 'U';
  if (p.json) letters += 'J';
  if (p.directory_depth >= 0) letters += " L" + std::to_string(p.directory_depth);
  for (std::int32_t count : p.list_files_for_hardlinkcount) letters += " C" + std::to_string(count);
  for (const native_string& file : p.files) letters += " F" + std::string(file.begin(), file.end());
  return letters;
}

// On POSIX an argument of option letters without a parameter, the last
// maybe one with, is those options together; any other argument, and every
// argument on Windows, is its first letter.
TEST(CommandLineGrammar, LettersTogetherAreSeveralOptionsOnPosixOnly) {
  const struct {
    std::vector<std::string> arguments;
    const char* posix;
    const char* windows;
  } cases[] = {
      {{"/AS"}, "AS", "A"},
      {{"/SA"}, "AS", "S"},
      {{"/asj"}, "ASJ", "A"},
      {{"/Verbose"}, "V", "V"},
      {{"/VX"}, "V", "V"},
      {{"/AL", "2"}, "A L2", "A"},
      {{"/LA", "2"}, " L2", " L2"},
      {{"/vaesj"}, "VAESJ", "V"},
      {{"/U"}, "U", "U"},
      {{"/Units"}, "U", "U"},
      {{"/SU"}, "SU", "S"},
      {{"/uaL", "3"}, "AU L3", "U"},
      {{"/EA"}, "AE", "AE"},       // E implies A wherever it stands
      {{"/SC", "3"}, "S C3", "S"},
      {{"/jF", "x"}, "J Fx", "J"},
      {{"/CS", "3"}, " C3", " C3"},  // C takes a parameter: first letter only
      {{"/ALS", "2"}, "A", "A"},     // a letter with a parameter only at the end
      {{"/SH"}, "usage", "S"},
      {{"/A?"}, "A", "A"},           // '?' is no letter of a bundle
      {{"/allocated"}, "A", "A"},
      {{"/Json"}, "J", "J"},
  };
  const bool posix = prefix == '-';
  for (const auto& c : cases) {
    std::vector<native_string> arguments{T("a")};
    for (const std::string& argument : c.arguments) arguments.push_back(opt(argument));
    // On Windows "/AL 2" is /A and the PATH "2"; "/ALS 2" on POSIX -A -L -S
    // is no bundle, so -A and the PATH "2" there too.
    std::string expected = posix ? c.posix : c.windows;
    EXPECT_EQ(expected, options_of(arguments)) << c.arguments[0];
  }
  // A letter with a parameter at the end waits for it as alone.
  if (posix) {
    EXPECT_EQ("Expected parameter for -L, found EOL.\n", options_of({T("a"), T("-AL")}));
    EXPECT_EQ("Expected parameter for -F, found '-S'.\n",
              options_of({T("a"), T("-SF"), T("-S")}));
  } else {
    EXPECT_EQ("A", options_of({T("a"), opt("/AL")}));
  }
}

// Long options exist only where the prefix is '-'.
class CommandLineLongOptions : public ::testing::Test {
 protected:
  void SetUp() override {
    if (prefix != '-') GTEST_SKIP() << "no long options with this prefix";
  }
};

TEST_F(CommandLineLongOptions, HelpPrintsTheUsage) {
  expect_usage({T("--help")});
  expect_usage({T("a"), T("--help")});
  EXPECT_EQ(T("Invalid argument '-x'.\n"), error_of({T("--help"), T("-x")}));
}

TEST_F(CommandLineLongOptions, VersionPrintsOneLineInsteadOfARun) {
  const native_string line = T("twinfind " TWINFIND_VERSION "\n");
  for (const strings& arguments :
       {strings{T("--version")}, strings{T("a"), T("--version"), T("-C"), T("2")},
        strings{T("-V"), T("--version")}}) {
    parse_result r = parse(arguments);
    EXPECT_EQ(parse_outcome::version, r.outcome);
    EXPECT_EQ(line, r.out);
    EXPECT_EQ(native_string(), r.err);
    EXPECT_TRUE(r.parsed.directories.empty());
  }
  // A number, not an empty or missing define: "1.0.0" and the like.
  EXPECT_TRUE(std::string(TWINFIND_VERSION).find_first_not_of("0123456789.") == std::string::npos &&
              std::string(TWINFIND_VERSION).size() >= 5)
      << TWINFIND_VERSION;
  // The usage text wins over the version, and an error over both.
  expect_usage({T("--version"), T("--help")});
  expect_usage({T("-?"), T("--version")});
  EXPECT_EQ(T("Invalid argument '-x'.\n"), error_of({T("--version"), T("-x")}));
}

TEST_F(CommandLineLongOptions, OtherLongOptionsAreInvalidAndPointToHelp) {
  const std::string hint = "Try 'twinfind --help'.\n";
  EXPECT_EQ(T("Invalid argument '--verbose'.\n" + hint), error_of({T("--verbose"), T("a")}));
  EXPECT_EQ(T("Invalid argument '--versoin'.\n" + hint), error_of({T("--versoin")}));
  EXPECT_EQ(T("Invalid argument '--helpme'.\n" + hint), error_of({T("--helpme")}));
  EXPECT_EQ(T("Invalid argument '--HELP'.\n" + hint), error_of({T("--HELP")}));
  EXPECT_EQ(T("Invalid argument '--version='.\n" + hint), error_of({T("--version=")}));
  EXPECT_EQ(T("Invalid argument '---'.\n" + hint), error_of({T("---")}));
  // Short options keep their one line.
  EXPECT_EQ(T("Invalid argument '-x'.\n"), error_of({T("-x")}));
}

TEST_F(CommandLineLongOptions, AreOptionsWhereAParameterIsExpected) {
  EXPECT_EQ(T("Expected parameter for -C, found '--help'.\n"),
            error_of({T("-C"), T("--help")}));
  EXPECT_EQ(T("Expected parameter for -F, found '--x'.\n"), error_of({T("-F"), T("--x")}));
  EXPECT_EQ(T("Expected parameter for -F, found '--version'.\n"),
            error_of({T("-F"), T("--version")}));
}

TEST_F(CommandLineLongOptions, DoubleDashEndsTheOptions) {
  // Every later argument is a PATH, a second "--" and a lone "-" too.
  parse_result r = parse_run({T("-V"), T("a"), T("--"), T("-x"), T("--help"), T("-V"),
                              T("--"), T("-"), T("-C")});
  EXPECT_EQ((strings{T("a"), T("-x"), T("--help"), T("-V"), T("--"), T("-"),
                     T("-C")}),
            r.parsed.directories);
  EXPECT_TRUE(r.parsed.verbose);
  EXPECT_TRUE(r.parsed.list_files_for_hardlinkcount.empty());
  // An option waiting for its parameter takes the next argument after it.
  r = parse_run({T("-F"), T("--"), T("-name"), T("-d")});
  EXPECT_EQ((strings{T("-name")}), r.parsed.files);
  EXPECT_EQ((strings{T("-d")}), r.parsed.directories);
  r = parse_run({T("-C"), T("2"), T("-C"), T("--"), T("-1"), T("-C"), T("3")});
  EXPECT_EQ((counts{2, -1}), r.parsed.list_files_for_hardlinkcount);
  EXPECT_EQ((strings{T("-C"), T("3")}), r.parsed.directories);
  // Nothing after it: nothing to scan, or a parameter still missing.
  expect_usage({T("--")});
  expect_usage({T("-V"), T("--")});
  EXPECT_EQ(T("Expected parameter for -F, found EOL.\n"),
            error_of({T("a"), T("-F"), T("--")}));
  // Before it, options are still options.
  EXPECT_EQ(T("Invalid argument '-x'.\n"), error_of({T("-x"), T("--"), T("a")}));
}

TEST(ParseCount, LikeAtoi) {
  EXPECT_EQ(0, parse_count(T("")));
  EXPECT_EQ(0, parse_count(T("abc")));
  EXPECT_EQ(0, parse_count(T("-")));
  EXPECT_EQ(0, parse_count(T("+ 5")));
  EXPECT_EQ(0, parse_count(T("x5")));
  EXPECT_EQ(42, parse_count(T("42")));
  EXPECT_EQ(42, parse_count(T("+42")));
  EXPECT_EQ(-42, parse_count(T("-42")));
  EXPECT_EQ(3, parse_count(T("3x")));
  EXPECT_EQ(12, parse_count(T("12 34")));
  EXPECT_EQ(7, parse_count(T(" \t\n\v\f\r7")));
  EXPECT_EQ(8, parse_count(T("0008")));
  EXPECT_EQ(0, parse_count(T("--1")));
}

TEST(ParseCount, SaturatesBeyond32Bits) {
  const std::int32_t max = std::numeric_limits<std::int32_t>::max();
  const std::int32_t min = std::numeric_limits<std::int32_t>::min();
  EXPECT_EQ(max, parse_count(T("2147483647")));
  EXPECT_EQ(max, parse_count(T("2147483648")));
  EXPECT_EQ(-max, parse_count(T("-2147483647")));
  EXPECT_EQ(min, parse_count(T("-2147483648")));
  EXPECT_EQ(min, parse_count(T("-2147483649")));
  EXPECT_EQ(max, parse_count(T("99999999999999999999999999999999999999")));
  EXPECT_EQ(min, parse_count(T("-99999999999999999999999999999999999999")));
  EXPECT_EQ(max, parse_count(T("00000000000000000000000000000000000002147483647")));
}

}  // namespace

}  // namespace cli
