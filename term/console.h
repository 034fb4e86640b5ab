// The standard output and error streams, and how text reaches them.
//
// main() installs an output layer on both streams. It writes standard output
// in large blocks (flushing every line only when the output is a terminal),
// keeps standard error in order after it, remembers a failed write so that
// the program can exit with an error, and ends the program quietly when the
// reader of a pipe has gone.
#ifndef TWINFIND_TERM_CONSOLE_H_
#define TWINFIND_TERM_CONSOLE_H_

#include "base/text.h"

namespace platform {

// std::wcout and std::wcerr on Windows, std::cout and std::cerr on POSIX.
native_ostream& standard_output();
native_ostream& standard_error();

// Installs the output layer on both standard streams. Called once, first.
void install_output_layer();

// Writes out what is buffered. Returns false when any write to standard
// output failed during the run; `problem` then names the failure.
bool finish_output(native_string& problem);

// Ends the line that standard output's text left open, if it did: the
// progress display draws without a line end until the scan is over, and a
// run that ends early must not leave it half drawn. Allocates nothing.
void end_open_line();

// True when `stream` is standard output or standard error and that stream
// is a terminal: names printed there are masked (see masking.h).
bool masks_control_characters(const native_ostream& stream);

// A name to print. On a terminal every character that is not printable
// (controls, text-reordering controls, bytes that are no character of the
// user's encoding) is shown as '?', so that no file name can drive the
// user's terminal or pass for another; in a file or a pipe the name is
// written unchanged.
struct shown_name {
  native_string_view text;
};
inline shown_name shown(native_string_view text) { return shown_name{text}; }
native_ostream& operator<<(native_ostream& stream, shown_name name);

}  // namespace platform

#endif  // TWINFIND_TERM_CONSOLE_H_
