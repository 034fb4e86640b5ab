// The program's entry point: read the arguments, parse them, run, and make
// sure the report reached its reader.
#include <cstdint>
#include <ostream>
#include <vector>

#include "cli/command_line.h"
#include "cli/run.h"
#include "platform/arguments.h"
#include "platform/console.h"
#include "platform/process.h"
#include "platform/text.h"

namespace {

// Everything printed on standard output is only known to have arrived once
// the output layer has written out its buffer: a full disk must not pass
// for a complete report.
int finish(int code) {
  native_string problem;
  if (!platform::finish_output(problem)) {
    platform::standard_error() << "twinfind: error writing standard output: " << problem
                               << std::endl;
    return exit_output_error;
  }
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  platform::fail_critical_errors_without_dialogs();
  platform::install_output_layer();
  native_ostream& out = platform::standard_output();
  native_ostream& err = platform::standard_error();

  std::vector<native_string> arguments;
  std::uint32_t error = 0;
  if (!platform::read_arguments(argc, argv, arguments, error)) {
    err << "CommandLineToArgvW failed: " << error << std::endl;
    return finish(exit_argument_error);
  }

  command_line parsed;
  switch (parse_command_line(arguments, parsed, out, err)) {
    case parse_outcome::error:
      return finish(exit_argument_error);
    case parse_outcome::usage:
      return finish(exit_success);
    case parse_outcome::run:
      break;
  }
  return finish(run(parsed, out, err));
}
