// Names printed with what could drive a terminal masked.
//
// Apart from console.h so that tests can mask on any stream: the output
// operator of shown_name only masks on a terminal.
#ifndef TWINFIND_TERM_MASKING_H_
#define TWINFIND_TERM_MASKING_H_

#include "base/text.h"

namespace platform {

// Writes `text` on `stream` with every character that is not printable
// shown as '?': the C0 controls and DEL, the C1 controls, the controls
// that reorder text (U+202A to U+202E, U+2066 to U+2069), and, on POSIX,
// whatever else the user's locale does not call printable and every byte
// that is no character in its encoding; on Windows every surrogate without
// its partner. Every other character, letters beyond ASCII among them, is
// written unchanged.
//
// On POSIX the locale is the one the environment names for LC_CTYPE, read
// once, at the first call.
void write_masked(native_ostream& stream, native_string_view text);

// True for the code points above ASCII that no terminal is sent: the C1
// controls and the controls that reorder text, with which a name could
// show as another.
constexpr bool is_masked_above_ascii(char32_t code) {
  return (code >= 0x80 && code <= 0x9F) || (code >= 0x202A && code <= 0x202E) ||
         (code >= 0x2066 && code <= 0x2069);
}

}  // namespace platform

#endif  // TWINFIND_TERM_MASKING_H_
