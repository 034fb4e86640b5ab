// The program's entry point: read the arguments, parse them, run, and make
// sure the report reached its reader.
#include <cstdio>
#include <cstdlib>
#include <locale>
#include <new>
#include <ostream>
#include <vector>

#include "cli/command_line.h"
#include "cli/run.h"
#include "program/arguments.h"
#include "term/console.h"
#include "program/process.h"
#include "base/text.h"
#include "term/user_locale.h"

namespace {

// Everything printed on standard output is only known to have arrived once
// the output layer has written out its buffer: a full disk must not pass
// for a complete report.
int finish(int code) {
  platform::native_string problem;
  if (!platform::finish_output(problem)) {
    platform::standard_error() << "twinfind: error writing standard output: " << problem
                               << std::endl;
    return cli::exit_output_error;
  }
  return code;
}

// Memory ran out somewhere in the run: the report cannot be completed. By
// now the unwinding has freed what the run held, so there is room to end
// like any other failure instead of aborting with a core: the text printed
// so far is written out, with the line the progress display left open
// ended, and one line says why the report stops there.
int out_of_memory() {
  platform::end_open_line();
  platform::standard_error() << "twinfind: out of memory" << std::endl;
  finish(cli::exit_out_of_memory);
  return cli::exit_out_of_memory;
}

int read_and_run(int argc, char** argv) {
  platform::native_ostream& out = platform::standard_output();
  platform::native_ostream& err = platform::standard_error();

  std::vector<platform::native_string> arguments;
  if (!platform::read_arguments(argc, argv, arguments, err))
    return finish(cli::exit_argument_error);

  cli::command_line parsed;
  switch (cli::parse_command_line(arguments, parsed, out, err)) {
    case cli::parse_outcome::error:
      return finish(cli::exit_argument_error);
    case cli::parse_outcome::usage:
    case cli::parse_outcome::version:
      return finish(cli::exit_success);
    case cli::parse_outcome::run:
      break;
  }
  // The numbers of the reports are grouped as the user groups digits.
  std::locale numbers;
  if (!platform::user_locale(numbers)) return out_of_memory();
  out.imbue(numbers);
  return finish(cli::run(parsed, out, err));
}

struct program_arguments {
  int argc;
  char** argv;
};

int guarded_run(void* raw) {
  const program_arguments& arguments = *static_cast<const program_arguments*>(raw);
  // Our own code throws nothing; this is the standard library's allocation
  // failing, wherever it happened, from the output layer's buffers on.
  try {
    platform::install_output_layer();
    return read_and_run(arguments.argc, arguments.argv);
  } catch (const std::bad_alloc&) {
    return out_of_memory();
  }
}

// The C++ runtime sets aside, as the program loads, the memory it throws
// std::bad_alloc with when an allocation fails (about 72 KiB in libstdc++ 12).
// Under an address-space limit barely above what loading takes, that
// reserve is missing, and the first allocation to fail would end the
// process in std::terminate, before out_of_memory could say so. Where this
// much cannot be had at once as the program starts, the reserve could not
// be had either, and no run would fit: it ends at once, with nothing more
// allocated.
constexpr std::size_t kRoomToRunOutOfMemory = 256 * 1024;

bool has_room_to_run_out_of_memory() {
  // Volatile: a compiler may drop an allocation freed unused, and take it
  // for one that succeeded.
  void* volatile room = std::malloc(kRoomToRunOutOfMemory);
  if (!room) return false;
  std::free(room);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (!has_room_to_run_out_of_memory()) {
    // Unbuffered: the C library writes it without allocating.
    std::fputs("twinfind: out of memory\n", stderr);
    return cli::exit_out_of_memory;
  }
  platform::fail_critical_errors_without_dialogs();
  program_arguments arguments{argc, argv};
  return platform::run_on_own_stack(guarded_run, &arguments);
}
