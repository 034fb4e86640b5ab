// The buffer behind the standard streams on Windows.
//
// A console takes UTF-16 as it is, through WriteConsoleW. A file or a pipe
// gets UTF-8 with CR LF line ends, the form other Windows programs read
// best; the code page of the console would lose every character outside
// it, and many names hold such characters.
//
// The reports end every line with std::endl, and a listing can run to
// millions of lines; a WriteFile per line would make redirected output many
// times slower than the scan itself. So the buffer only writes at a flush
// when it serves a console, where a person waits for each line, and
// otherwise gathers whole blocks.
#ifndef TWINFIND_PLATFORM_CONSOLE_WIN32_H_
#define TWINFIND_PLATFORM_CONSOLE_WIN32_H_

#include <windows.h>

#include <cstddef>
#include <streambuf>
#include <string>
#include <string_view>

namespace platform {

// Appends `text` to `bytes` as UTF-8, every line feed as CR LF, and every
// surrogate without its partner as U+FFFD, so that a broken name costs one
// character and never the rest of the output. A high surrogate at the very
// end may yet meet its partner in the text that follows: unless `last`, it
// is left unconverted. Returns the number of code units converted.
std::size_t append_utf8(std::wstring_view text, bool last, std::string& bytes);

// Gathers the text of one stream for one handle.
//
// The first failed write is remembered in `error` (a GetLastError() value);
// from then on nothing more is written and the stream that uses the buffer
// goes bad. A write that meets a pipe with no reader ends the program at
// once (see write_all in console-win32.cc).
struct output_channel : std::wstreambuf {
  // `console`: write UTF-16 with WriteConsoleW; otherwise UTF-8 bytes with
  // WriteFile. `flush_on_sync`: a flush of the stream (std::endl,
  // std::flush, unitbuf) writes the text out; otherwise only a full block
  // or write_out() does. `goes_before`: a channel whose text was produced
  // earlier and must reach its reader first, as standard output's does
  // before standard error's when both go to one file or console.
  output_channel(HANDLE handle, bool console, bool flush_on_sync,
                 output_channel* goes_before = nullptr);

  // Writes out everything gathered (after `goes_before`'s text). `last`
  // also writes a high surrogate that still waits for its partner. Returns
  // false when this or an earlier write failed.
  bool write_out(bool last = false);

  // True when the text produced so far (written or not) ends with a line
  // end, or is empty.
  bool ends_line() const;

  HANDLE handle;
  bool console;
  bool flush_on_sync;
  output_channel* goes_before;
  DWORD error = 0;

 protected:
  int_type overflow(int_type c) override;
  int sync() override;

 private:
  // Moves the text of the put area on: to the console, or converted into
  // `bytes_`, which is written once it holds a block.
  void drain(bool last);
  void write_bytes();

  static constexpr std::size_t wide_capacity = 4096;
  static constexpr std::size_t block_size = 64 * 1024;
  wchar_t wide_[wide_capacity];
  std::string bytes_;
  wchar_t last_ = L'\n';  // the last character drained
};

}  // namespace platform

#endif  // TWINFIND_PLATFORM_CONSOLE_WIN32_H_
