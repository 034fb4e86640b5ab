// The standard streams on Windows: UTF-16 on a console, UTF-8 elsewhere,
// written in blocks.
#include "term/console-win32.h"

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>

#include "term/console.h"
#include "base/error_message.h"
#include "base/result.h"

namespace platform {

namespace {

// The channels of standard output and standard error, once installed. They
// are never destroyed: std::wcout and std::wcerr are flushed during the
// very last steps of exit, after every static object is gone.
output_channel* output = nullptr;
output_channel* errors = nullptr;

// Set once the reader of a pipe is gone: the program is ending, and the
// flushes that exit still makes must not write again.
bool abandoned = false;

// The code of a run whose report could not be written.
const UINT closed_pipe_exit_code = 2;

bool is_high_surrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool is_low_surrogate(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

bool is_console(HANDLE handle) {
  DWORD mode = 0;
  return GetConsoleMode(handle, &mode) != 0;
}

// Converts a run that holds no line feed and no lone surrogate.
void append_run(const wchar_t* text, std::size_t length, std::string& bytes) {
  // One UTF-16 unit never takes more than three bytes of UTF-8, and a pair
  // takes four for its two units. Runs are cut to what an int can count.
  const std::size_t chunk = std::numeric_limits<int>::max() / 4;
  while (length > 0) {
    std::size_t count = length < chunk ? length : chunk;
    // A chunk must not end between the two halves of a pair.
    if (count < length && is_high_surrogate(text[count - 1])) --count;
    std::size_t start = bytes.size();
    bytes.resize(start + 3 * count);
    int written = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(count),
                                      &bytes[start], static_cast<int>(3 * count), nullptr,
                                      nullptr);
    bytes.resize(start + static_cast<std::size_t>(written > 0 ? written : 0));
    text += count;
    length -= count;
  }
}

// The reader of our pipe is gone (`twinfind C:\ | more` after more was
// closed). Nobody will read another byte, and every further line would
// fail the same way, so the program ends now, silently.
[[noreturn]] void end_for_closed_pipe() {
  abandoned = true;
  ExitProcess(closed_pipe_exit_code);
}

// A pipe whose reader is gone says so in one of three ways: broken, being
// closed, or (wine, for one) with no process on the other end.
bool is_closed_pipe(DWORD code) {
  return code == ERROR_BROKEN_PIPE || code == ERROR_NO_DATA || code == ERROR_PIPE_NOT_CONNECTED;
}

// Writes all `size` bytes. Fails with the code of the failure.
result<> write_all(HANDLE handle, const char* data, std::size_t size) {
  while (size > 0) {
    DWORD count = size < 0x40000000 ? static_cast<DWORD>(size) : 0x40000000;
    DWORD written = 0;
    if (!WriteFile(handle, data, count, &written, nullptr)) {
      const DWORD code = GetLastError();
      if (is_closed_pipe(code)) end_for_closed_pipe();
      return failed(code);
    }
    // No progress and no reason: do not spin.
    if (written == 0) return failed(ERROR_WRITE_FAULT);
    data += written;
    size -= written;
  }
  return succeeded();
}

result<> write_console(HANDLE handle, const wchar_t* text, std::size_t length) {
  while (length > 0) {
    DWORD written = 0;
    if (!WriteConsoleW(handle, text, static_cast<DWORD>(length), &written, nullptr))
      return failed(GetLastError());
    if (written == 0) return failed(ERROR_WRITE_FAULT);
    text += written;
    length -= written;
  }
  return succeeded();
}

void write_out_at_exit() {
  // A program that returns without finish_output() still gets its text out;
  // a failure here can no longer be reported.
  if (errors) errors->write_out(true);
}

}  // namespace

std::size_t append_utf8(std::wstring_view text, bool last, std::string& bytes) {
  std::size_t end = text.size();
  if (!last && end > 0 && is_high_surrogate(text[end - 1])) --end;
  static const char line_end[] = "\r\n";
  static const char replacement[] = "\xEF\xBF\xBD";  // U+FFFD
  std::size_t run = 0;
  for (std::size_t i = 0; i < end; ++i) {
    wchar_t c = text[i];
    const char* substitute = nullptr;
    if (c == L'\n') {
      substitute = line_end;
    } else if (is_high_surrogate(c) && i + 1 < end && is_low_surrogate(text[i + 1])) {
      ++i;  // a pair: converted with its run
    } else if (is_high_surrogate(c) || is_low_surrogate(c)) {
      substitute = replacement;
    }
    if (!substitute) continue;
    append_run(text.data() + run, i - run, bytes);
    bytes += substitute;
    run = i + 1;
  }
  append_run(text.data() + run, end - run, bytes);
  return end;
}

output_channel::output_channel(HANDLE handle, bool console, bool flush_on_sync,
                               output_channel* goes_before)
    : console_buffer(&output_channel::pass_text, flush_on_sync, wide_capacity, goes_before),
      handle(handle), console(console) {}

std::size_t output_channel::pass_text(console_buffer& buffer, const wchar_t* text,
                                      std::size_t length, bool write, bool last) {
  output_channel& self = static_cast<output_channel&>(buffer);
  if (abandoned) {
    self.bytes_.clear();
    return length;  // the program is ending: nothing more is written
  }
  if (self.console) {
    // The console gets a pair in one piece, too.
    std::size_t done = length;
    if (!last && done > 0 && is_high_surrogate(text[done - 1])) --done;
    self.error = write_console(self.handle, text, done).error;
    return done;
  }
  std::size_t done = append_utf8(std::wstring_view(text, length), last, self.bytes_);
  if (write || self.bytes_.size() >= block_size) self.write_bytes();
  return done;
}

void output_channel::write_bytes() {
  if (!error && !abandoned) error = write_all(handle, bytes_.data(), bytes_.size()).error;
  bytes_.clear();
}

native_ostream& standard_output() { return std::wcout; }
native_ostream& standard_error() { return std::wcerr; }

void install_output_layer() {
  if (output) return;
  HANDLE output_handle = GetStdHandle(STD_OUTPUT_HANDLE);
  HANDLE errors_handle = GetStdHandle(STD_ERROR_HANDLE);
  bool output_is_console = is_console(output_handle);
  output = new output_channel(output_handle, output_is_console, output_is_console);
  // Standard error writes at every flush, wherever it goes: a message must
  // not wait behind a full block. unitbuf flushes after every insertion.
  errors = new output_channel(errors_handle, is_console(errors_handle), true, output);
  std::wcout.rdbuf(output);
  std::wcerr.rdbuf(errors);
  std::wcerr.setf(std::ios_base::unitbuf);
  std::atexit(write_out_at_exit);
}

bool finish_output(native_string& problem) {
  if (!output) {
    if (std::wcout.flush()) return true;
    problem = error_message(ERROR_WRITE_FAULT);
    return false;
  }
  if (output->write_out(true)) return true;
  problem = error_message(output->error);
  return false;
}

void end_open_line() {
  if (output && !output->ends_line()) std::wcout.put(L'\n');
}

bool masks_control_characters(const native_ostream& stream) {
  // Before the layer is installed, the handles themselves tell.
  if (&stream == &std::wcout) {
    return output ? output->console : is_console(GetStdHandle(STD_OUTPUT_HANDLE));
  }
  if (&stream == &std::wcerr) {
    return errors ? errors->console : is_console(GetStdHandle(STD_ERROR_HANDLE));
  }
  return false;
}

}  // namespace platform
