// Printing names: masked on a terminal, unchanged everywhere else.
//
// A POSIX file name may hold any byte but '/' and NUL, and control
// characters can reach Windows names too. Printed raw on a terminal, an escape
// sequence in a name could move the cursor, retitle the window or rewrite
// what the report showed, and a control that reorders text could make one
// name read as another. In a file or a pipe the exact name matters more:
// the reader may be a script that opens it.
#include "term/console.h"

#include "term/masking.h"

namespace platform {

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
