// The buffer behind each standard stream, shared by both platforms.
//
// The reports end every line with std::endl, and a listing can run to
// millions of lines; a system write per line would make redirected output
// many times slower than the scan itself. So a buffer only writes at a
// flush when it serves a terminal or a console, where a person waits for
// each line, and otherwise gathers whole blocks. How the text then reaches
// its reader (bytes to a descriptor, UTF-16 to a console, UTF-8 to a file)
// is the platform's: each half supplies that one function, see
// console-posix.h and console-win32.h.
#ifndef TWINFIND_TERM_CONSOLE_BUFFER_H_
#define TWINFIND_TERM_CONSOLE_BUFFER_H_

#include <cstddef>
#include <streambuf>
#include <vector>

#include "base/result.h"
#include "base/text.h"

namespace platform {

// Gathers the text of one stream.
//
// The first failed write is remembered in `error` (the system's code); from
// then on nothing more is passed on, the text is dropped, and the stream
// that uses the buffer goes bad.
struct console_buffer : std::basic_streambuf<native_char> {
  // The platform's half: passes the `length` characters at `text` on
  // toward the reader and returns how many it took. It keeps back only the
  // first half of a pair of UTF-16 units whose partner has not arrived yet,
  // and never when `last`; what it keeps back stays at the front of the
  // buffer for the next call. Unless `write`, it may gather what it took
  // into larger blocks of its own; with `write`, all of it reaches the
  // reader before the call returns. It keeps a failure in `buffer.error`,
  // and is not called once one is kept. `buffer` is the record the half
  // built around this one.
  using pass_on_function = std::size_t (*)(console_buffer& buffer, const native_char* text,
                                           std::size_t length, bool write, bool last);

  // `flush_on_sync`: a flush of the stream (std::endl, std::flush, unitbuf)
  // writes the text out; otherwise only a full buffer or write_out() does.
  // `goes_before`: a buffer whose text was produced earlier and must reach
  // the reader first, as standard output's does before standard error's
  // when both go to one file or console.
  console_buffer(pass_on_function pass_on, bool flush_on_sync, std::size_t capacity,
                 console_buffer* goes_before);

  // Writes out everything gathered (after `goes_before`'s text). `last`
  // also writes the half of a pair that still waits for its partner.
  // Returns false when this or an earlier write failed.
  bool write_out(bool last = false);

  // True when the text produced so far (written or not) ends with a line
  // end, or is empty.
  bool ends_line() const;

  pass_on_function pass_on;
  bool flush_on_sync;
  console_buffer* goes_before;
  error_code error = 0;

 protected:
  int_type overflow(int_type c) override;
  int sync() override;

 private:
  // Hands the put area to `pass_on` (or drops it after a failure) and
  // starts the put area again with whatever was kept back.
  void pass_along(bool write, bool last);

  std::vector<native_char> storage_;
  native_char last_ = '\n';  // the last character handed on
};

}  // namespace platform

#endif  // TWINFIND_TERM_CONSOLE_BUFFER_H_
