// The buffer behind the standard streams on Windows (see console_buffer.h
// for the gathering).
//
// A console takes UTF-16 as it is, through WriteConsoleW. A file or a pipe
// gets UTF-8 with CR LF line ends, the form other Windows programs read
// best; the code page of the console would lose every character outside
// it, and many names hold such characters.
#ifndef TWINFIND_TERM_CONSOLE_WIN32_H_
#define TWINFIND_TERM_CONSOLE_WIN32_H_

#include <windows.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "term/console_buffer.h"

namespace platform {

// Appends `text` to `bytes` as UTF-8, every line feed as CR LF, and every
// surrogate without its partner as U+FFFD, so that a broken name costs one
// character and never the rest of the output. A high surrogate at the very
// end may yet meet its partner in the text that follows: unless `last`, it
// is left unconverted. Returns the number of code units converted.
std::size_t append_utf8(std::wstring_view text, bool last, std::string& bytes);

// Gathers the text of one stream for one handle.
//
// `error` holds a GetLastError() value. A write that meets a pipe with no
// reader ends the program at once (see write_all in console-win32.cc).
struct output_channel : console_buffer {
  // `console`: write UTF-16 with WriteConsoleW; otherwise UTF-8 bytes with
  // WriteFile, gathered into blocks unless a write is asked for.
  output_channel(HANDLE handle, bool console, bool flush_on_sync,
                 output_channel* goes_before = nullptr);

  HANDLE handle;
  bool console;

 private:
  // Moves text on: to the console, or converted into `bytes_`, which is
  // written once it holds a block or a write is asked for.
  static std::size_t pass_text(console_buffer& buffer, const wchar_t* text, std::size_t length,
                               bool write, bool last);
  void write_bytes();

  static constexpr std::size_t wide_capacity = 4096;
  static constexpr std::size_t block_size = 64 * 1024;
  std::string bytes_;
};

}  // namespace platform

#endif  // TWINFIND_TERM_CONSOLE_WIN32_H_
