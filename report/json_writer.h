// A streaming JSON writer: every value goes out as soon as it is given, so
// a document with millions of names costs no memory of its own.
//
// Names are written exactly: on POSIX their bytes become UTF-8 text, and a
// byte that is no part of valid UTF-8 becomes the escape \udcNN (NN the
// byte), which Python's surrogateescape turns back into the same byte; on
// Windows their UTF-16 units are written as they are, and a lone surrogate
// as its own \uXXXX escape.
#ifndef TWINFIND_REPORT_JSON_WRITER_H_
#define TWINFIND_REPORT_JSON_WRITER_H_

#include <cstdint>

#include "base/text.h"

namespace report {

// The system's text types, by their own names.
using namespace platform::text_types;

struct json_writer {
  native_ostream& out;
  bool needs_comma = false;  // a value came last at this level

  void begin_object();
  void end_object();
  void begin_array();
  void end_array();
  // The key of the next member of an object; an ASCII text.
  void key(const char* name);
  void number(std::int64_t value);
  void boolean(bool value);
  // A string of the value's lower-case hexadecimal digits, without leading
  // zeros, as the breakdown report prints a file's key.
  void hex(std::uint64_t value);
  // The same of a 128-bit value: all 32 digits when `high` is not 0, else
  // as hex(low).
  void hex(std::uint64_t high, std::uint64_t low);
  void ascii(const char* text);
  void string(native_string_view text);

  // A member of an object: its key, then its value.
  void member(const char* name, std::int64_t value) {
    key(name);
    number(value);
  }
  void member(const char* name, native_string_view text) {
    key(name);
    string(text);
  }
};

// Writes `text` as the inside of a JSON string: quotes, backslashes and
// control characters escaped, invalid text escaped as above. C1 controls,
// the line and paragraph separators and the bidirectional controls are
// escaped too: they stay exact, and cannot drive a terminal that shows the
// document.
void write_json_text(native_ostream& out, native_string_view text);

}  // namespace report

#endif  // TWINFIND_REPORT_JSON_WRITER_H_
