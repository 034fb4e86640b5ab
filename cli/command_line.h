// The command line: its grammar, the usage text and the argument errors.
#ifndef TWINFIND_CLI_COMMAND_LINE_H_
#define TWINFIND_CLI_COMMAND_LINE_H_

#include <cstdint>
#include <vector>

#include "base/text.h"

namespace cli {

// The system's text types, by their own names.
using namespace platform::text_types;

// The program's exit codes.
enum exit_code : int {
  exit_success = 0,        // a completed run, or the usage text
  exit_argument_error = 1, // a bad command line, or one that could not be split
  exit_output_error = 2,   // the report could not be written
  exit_scan_error = 3,     // a completed run that met scan errors
  exit_out_of_memory = 4,  // the run ran out of memory
};

// What the command line asks for, in command-line order, duplicates kept.
struct command_line {
  std::vector<native_string> directories;                 // the PATHs
  std::vector<native_string> files;                       // the -F FILEs
  std::vector<std::int32_t> list_files_for_hardlinkcount; // the -C COUNTs
  bool verbose = false;
  bool space_by_path = false;  // -S
  bool space_in_order = false; // -R: the space by path as a series, in order
  bool json = false;           // -J
  bool allocated = false;      // -A: sizes are the space allocated on disk
  bool shared_extents = false; // -E: extents several files share count once (implies -A)
  bool sizes_in_units = false; // -U: the text reports' sizes in binary units
  // -L DEPTH: the space by directory down to this depth; below 0, not asked.
  std::int32_t directory_depth = -1;
};

enum class parse_outcome { run, usage, version, error };

// Parses `arguments` (the program's name left out) into `parsed`. On
// `usage` the usage text has been printed on `out`, on `version` the
// version line; on `error` the error has been printed on `err`: one line,
// and for an unknown long option a second one that points to --help.
parse_outcome parse_command_line(const std::vector<native_string>& arguments,
                                 command_line& parsed, native_ostream& out,
                                 native_ostream& err);

// Prints the usage text, with this platform's option prefix.
void print_usage(native_ostream& out);

// Converts a -C (or -L) parameter as the C library's atoi does: leading white space,
// an optional sign, then decimal digits up to the first other character; no
// digits give 0. Never fails: values beyond 32 bits saturate.
std::int32_t parse_count(native_string_view text);

}  // namespace cli

#endif  // TWINFIND_CLI_COMMAND_LINE_H_
