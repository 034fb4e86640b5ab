// Names printed with their control characters masked.
//
// Apart from console.h so that tests can mask on any stream: the output
// operator of shown_name only masks on a terminal.
#ifndef TWINFIND_PLATFORM_MASKING_H_
#define TWINFIND_PLATFORM_MASKING_H_

#include "platform/text.h"

namespace platform {

// Writes `text` on `stream` with every C0 control character (0x00 to 0x1F)
// and DEL (0x7F) shown as '?'. Other code units, including those of
// multi-byte and non-ASCII characters, are written unchanged.
void write_masked(native_ostream& stream, native_string_view text);

}  // namespace platform

#endif  // TWINFIND_PLATFORM_MASKING_H_
