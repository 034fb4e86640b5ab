// The buffer behind the standard streams on POSIX.
//
// The reports end every line with std::endl, and a listing can run to
// millions of lines; a write(2) per line would make redirected output many
// times slower than the scan itself. So the buffer only writes at a flush
// when it serves a terminal, where a person waits for each line, and
// otherwise gathers whole blocks.
#ifndef TWINFIND_PLATFORM_CONSOLE_POSIX_H_
#define TWINFIND_PLATFORM_CONSOLE_POSIX_H_

#include <cstddef>
#include <streambuf>
#include <vector>

namespace platform {

// Gathers the text of one stream for one file descriptor.
//
// The first failed write is remembered in `error` (an errno value); from
// then on nothing more is written and the stream that uses the buffer goes
// bad. A write that meets a pipe with no reader ends the program at once,
// the way SIGPIPE would (see write_all in console-posix.cc).
struct output_buffer : std::streambuf {
  // `flush_on_sync`: a flush of the stream (std::endl, std::flush, unitbuf)
  // writes the text out; otherwise only a full buffer or write_out() does.
  // `goes_before`: a buffer whose text was produced earlier and must reach
  // the file first, as standard output's does before standard error's
  // when both go to one file.
  output_buffer(int fd, bool flush_on_sync, std::size_t capacity = 64 * 1024,
                output_buffer* goes_before = nullptr);

  // Writes out everything gathered (after `goes_before`'s text). Returns
  // false when this or an earlier write failed.
  bool write_out();

  // True when the text produced so far (written or not) ends with a line
  // end, or is empty.
  bool ends_line() const;

  int fd;
  bool flush_on_sync;
  output_buffer* goes_before;
  int error = 0;

 protected:
  int_type overflow(int_type c) override;
  int sync() override;

 private:
  std::vector<char> storage_;
  char last_ = '\n';  // the last character written out
};

}  // namespace platform

#endif  // TWINFIND_PLATFORM_CONSOLE_POSIX_H_
