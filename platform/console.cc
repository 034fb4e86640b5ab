// Printing names: masked on a terminal, unchanged everywhere else.
//
// A POSIX file name may hold any byte but '/' and NUL, and control
// characters can reach Windows names too. Printed raw on a terminal, an escape
// sequence in a name could move the cursor, retitle the window or rewrite
// what the report showed. In a file or a pipe the exact name matters more:
// the reader may be a script that opens it.
#include "platform/console.h"

#include <type_traits>

#include "platform/masking.h"

namespace platform {

namespace {

bool is_control(native_char c) {
  // Compared unsigned: char is signed on most POSIX systems, and the bytes
  // of UTF-8 characters (0x80 and up) would otherwise count as below 0x20.
  auto code = static_cast<std::make_unsigned_t<native_char>>(c);
  return code < 0x20 || code == 0x7F;
}

}  // namespace

void write_masked(native_ostream& stream, native_string_view text) {
  // Runs of plain characters go out in one write each.
  std::size_t run_start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!is_control(text[i])) continue;
    stream.write(text.data() + run_start, static_cast<std::streamsize>(i - run_start));
    stream.put(native_char('?'));
    run_start = i + 1;
  }
  stream.write(text.data() + run_start,
               static_cast<std::streamsize>(text.size() - run_start));
}

// Unformatted writes: a name is never padded to a field width (nor does it
// consume one), and a failed stream takes nothing.
native_ostream& operator<<(native_ostream& stream, shown_name name) {
  if (masks_control_characters(stream)) {
    write_masked(stream, name.text);
  } else {
    stream.write(name.text.data(), static_cast<std::streamsize>(name.text.size()));
  }
  return stream;
}

}  // namespace platform
