// The command line: a small state machine over the arguments.
//
// An option is an argument that begins with the platform's option prefix;
// only its first letter after the prefix counts, so -Verbose is -V and -Cfoo
// is -C. -C, -F and -L take the next argument as their parameter, which can
// never itself begin with the prefix. Everything else is a PATH.
//
// Where the prefix is '-' (POSIX), an argument whose letters are all those
// of options without a parameter, the last maybe one with, is those options
// together, as POSIX users type them: -AS is -A -S, -AL 2 is -A -L 2. Any
// other argument keeps the rule of its first letter (-VX is -V, -LA is -L);
// on Windows every argument does, as the platform's own tools read /AS.
//
// Where the prefix is '-' (POSIX), arguments that begin with two dashes are
// long options: --help, --version, and "--", after which no argument is an
// option any more.
#include "cli/command_line.h"

#include <cstdint>
#include <limits>
#include <ostream>
#include <utility>

#include "program/arguments.h"
#include "term/console.h"

namespace cli {

namespace {

// Upper-cases an option letter. Only a to z change: the C library's
// toupper would depend on the locale, and an option's meaning must not.
native_char option_letter(native_char c) {
  if (c >= 'a' && c <= 'z') return static_cast<native_char>(c - 'a' + 'A');
  return c;
}

// The options that take no parameter, by their letters: the one list both
// rules read. H, the usage text, sets no member of the command line.
struct flag_option {
  char letter;
  bool command_line::*member;
};
const flag_option flag_options[] = {
    {'V', &command_line::verbose},
    {'A', &command_line::allocated},
    {'E', &command_line::shared_extents},
    {'S', &command_line::space_by_path},
    {'R', &command_line::space_in_order},
    {'U', &command_line::sizes_in_units},
    {'J', &command_line::json},
    {'H', nullptr},
};

const flag_option* flag_option_of(native_char letter) {
  for (const flag_option& option : flag_options) {
    if (letter == static_cast<native_char>(option.letter)) return &option;
  }
  return nullptr;
}

bool takes_parameter(native_char letter) { return letter == 'C' || letter == 'F' || letter == 'L'; }

// True for the letters of an argument that are several options together:
// each an option without a parameter, but the last, which may take one.
bool is_bundle(native_string_view letters) {
  if (platform::option_prefix != '-' || letters.size() < 2) return false;
  for (std::size_t i = 0; i < letters.size(); ++i) {
    const native_char letter = option_letter(letters[i]);
    if (flag_option_of(letter) != nullptr) continue;
    if (i + 1 == letters.size() && takes_parameter(letter)) continue;
    return false;
  }
  return true;
}

// What the options read so far leave for the rest of the line.
struct parse_state {
  command_line result;
  native_char pending_option = 0;
  bool show_help = false;
};

// Takes one option letter, upper-cased: false for a letter no option has.
bool take_letter(native_char letter, parse_state& state) {
  if (letter == '?') {
    state.show_help = true;
    return true;
  }
  if (takes_parameter(letter)) {
    state.pending_option = letter;
    return true;
  }
  const flag_option* flag = flag_option_of(letter);
  if (flag == nullptr) return false;
  if (flag->member == nullptr) {
    state.show_help = true;
  } else {
    state.result.*(flag->member) = true;
  }
  return true;
}

void print_invalid_argument(native_ostream& err, native_string_view argument) {
  err << "Invalid argument '" << platform::shown(argument) << "'." << std::endl;
}

void print_missing_parameter(native_ostream& err, native_char letter,
                             native_string_view found) {
  err << "Expected parameter for " << platform::option_prefix << letter << ", found '"
      << platform::shown(found) << "'." << std::endl;
}

void print_missing_parameter_at_end(native_ostream& err, native_char letter) {
  err << "Expected parameter for " << platform::option_prefix << letter << ", found EOL."
      << std::endl;
}

// True for "--help" and every other argument that begins with two dashes.
// Only POSIX uses '-' as its prefix, so on Windows no option looks like this.
bool is_long_option(native_string_view argument) {
  return argument.size() >= 2 && argument[0] == '-' && argument[1] == '-';
}

// True when `argument` is exactly the ASCII text `long_option`.
bool is_long_option_named(native_string_view argument, const char* long_option) {
  std::size_t i = 0;
  for (; long_option[i] != '\0'; ++i) {
    if (i >= argument.size() || argument[i] != static_cast<native_char>(long_option[i])) {
      return false;
    }
  }
  return i == argument.size();
}

// "twinfind 1.0.0": TWINFIND_VERSION is the project's version, which the
// build hands over.
void print_version(native_ostream& out) {
  out << "twinfind " << TWINFIND_VERSION << std::endl;
}

// A long option that is not known: the error line and where to look.
void print_invalid_long_option(native_ostream& err, native_string_view argument) {
  print_invalid_argument(err, argument);
  err << "Try 'twinfind --help'." << std::endl;
}

bool is_white_space(native_char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::int32_t parse_count(native_string_view text) {
  std::size_t i = 0;
  while (i < text.size() && is_white_space(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // The magnitude stops growing once it is past the largest one a 32-bit
  // count can hold, so no run of digits can overflow it.
  const std::int64_t limit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  std::int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (magnitude <= limit) magnitude = magnitude * 10 + (text[i] - '0');
  }
  if (negative) {
    return magnitude >= limit ? std::numeric_limits<std::int32_t>::min()
                              : static_cast<std::int32_t>(-magnitude);
  }
  return magnitude >= limit ? std::numeric_limits<std::int32_t>::max()
                            : static_cast<std::int32_t>(magnitude);
}

void print_usage(native_ostream& out) {
  // Written with '/', the Windows prefix; each '/' is an option prefix and is
  // printed as this platform's. The columns stay as they are.
  static const char* const lines[] = {
      "",
      "\"TWINFIND\" [/V] [PATH [PATH ...]] [/C COUNT [/C COUNT ...]]",
      "    [/F FILE [/F FILE ...]]",
      "",
      "Description:",
      "    Accepts a list of paths, scans them for hardlinked files and reports on",
      "    its findings.",
      "",
      "Parameter List:",
      "    /V                      Displays any errors opening directories or files.",
      "",
      "    PATH                    A path to scan for hardlinks.",
      "",
      "    /C COUNT                List all files with a hardlink count of COUNT.",
      "",
      "    /F FILE                 Specify a file (can include patterns) to give a",
      "                            complete breakdown on.",
      "",
      "    /A                      Counts sizes as the space allocated on disk.",
      "",
      "    /E                      Counts extents that copies share once.",
      "",
      "    /S                      Shows the space each path holds and would free.",
      "",
      "    /R                      Shows what each path adds and frees in order.",
      "",
      "    /L DEPTH                Shows the space of each directory down to DEPTH.",
      "",
      "    /U                      Shows sizes in units of 1024 (KiB, MiB, GiB).",
      "",
      "    /J                      Writes the report as JSON instead of text.",
      "",
      "    /?                      Displays this help message.",
  };
  for (const char* line : lines) {
    for (const char* c = line; *c != '\0'; ++c) {
      out.put(*c == '/' ? platform::option_prefix : out.widen(*c));
    }
    out << std::endl;
  }
}

parse_outcome parse_command_line(const std::vector<native_string>& arguments,
                                 command_line& parsed, native_ostream& out,
                                 native_ostream& err) {
  // Filled aside and handed over only for a run: an error or the usage text
  // leaves nothing behind.
  parse_state state;
  command_line& result = state.result;
  native_char& pending_option = state.pending_option;
  bool& show_help = state.show_help;
  parsed = command_line();
  bool show_version = false;
  bool options_ended = false;

  for (const native_string& argument : arguments) {
    const bool is_option =
        !options_ended && !argument.empty() && argument[0] == platform::option_prefix;
    if (is_option && is_long_option_named(argument, "--")) {
      // Not an option itself: an option waiting for its parameter still
      // waits, so `-F -- -name` names the file "-name".
      options_ended = true;
      continue;
    }
    if (is_option) {
      // A parameter can never begin with the prefix: whatever option comes
      // while one is expected, the parameter is missing.
      if (pending_option != 0) {
        print_missing_parameter(err, pending_option, argument);
        return parse_outcome::error;
      }
      if (argument.size() < 2) {
        print_invalid_argument(err, argument);
        return parse_outcome::error;
      }
      if (is_long_option(argument)) {
        if (is_long_option_named(argument, "--help")) {
          show_help = true;
        } else if (is_long_option_named(argument, "--version")) {
          show_version = true;
        } else {
          print_invalid_long_option(err, argument);
          return parse_outcome::error;
        }
        continue;
      }
      const native_string_view letters = native_string_view(argument).substr(1);
      if (is_bundle(letters)) {
        for (native_char letter : letters) take_letter(option_letter(letter), state);
      } else if (!take_letter(option_letter(letters[0]), state)) {
        print_invalid_argument(err, argument);
        return parse_outcome::error;
      }
    } else if (pending_option == 'F') {
      result.files.push_back(argument);
      pending_option = 0;
    } else if (pending_option == 'L') {
      // Read as a COUNT is; no depth lies above the PATH, and the last one
      // given wins.
      const std::int32_t depth = parse_count(argument);
      result.directory_depth = depth < 0 ? 0 : depth;
      pending_option = 0;
    } else if (pending_option == 'C') {
      result.list_files_for_hardlinkcount.push_back(parse_count(argument));
      pending_option = 0;
    } else {
      result.directories.push_back(argument);
    }
  }

  if (pending_option != 0) {
    print_missing_parameter_at_end(err, pending_option);
    return parse_outcome::error;
  }
  // -E counts sizes as -A does, and more.
  if (result.shared_extents) result.allocated = true;
  // --version prints the version instead of a run, even with nothing to
  // scan; --help prints the usage text instead of both.
  if (show_version && !show_help) {
    print_version(out);
    return parse_outcome::version;
  }
  // -V and -C alone ask for nothing to be scanned.
  if (result.directories.empty() && result.files.empty()) show_help = true;
  if (show_help) {
    print_usage(out);
    return parse_outcome::usage;
  }
  parsed = std::move(result);
  return parse_outcome::run;
}

}  // namespace cli
