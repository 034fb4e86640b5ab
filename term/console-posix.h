// The buffer behind the standard streams on POSIX: bytes exactly as given,
// written to a file descriptor (see console_buffer.h for the gathering).
#ifndef TWINFIND_TERM_CONSOLE_POSIX_H_
#define TWINFIND_TERM_CONSOLE_POSIX_H_

#include <cstddef>

#include "term/console_buffer.h"

namespace platform {

// Gathers the text of one stream for one file descriptor.
//
// `error` holds an errno value. A write that meets a pipe with no reader
// ends the program at once, the way SIGPIPE would (see write_all in
// console-posix.cc).
struct output_buffer : console_buffer {
  // `capacity`: the size of the blocks written when not at a flush.
  output_buffer(int fd, bool flush_on_sync, std::size_t capacity = 64 * 1024,
                output_buffer* goes_before = nullptr);

  int fd;

 private:
  // Writes all it is given, whether asked to write or not: the buffer
  // itself is the block.
  static std::size_t write_bytes(console_buffer& buffer, const char* text, std::size_t length,
                                 bool write, bool last);
};

}  // namespace platform

#endif  // TWINFIND_TERM_CONSOLE_POSIX_H_
