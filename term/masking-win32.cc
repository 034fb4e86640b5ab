// Masking on Windows: by UTF-16 code units, which is what the console takes.
#include <ostream>

#include "term/masking.h"

namespace platform {

namespace {

bool is_high_surrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool is_low_surrogate(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

void write_masked(native_ostream& stream, native_string_view text) {
  // Runs of characters written as themselves go out in one write each.
  std::size_t run_start = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    const wchar_t c = text[i];
    if (is_high_surrogate(c) && i + 1 < text.size() && is_low_surrogate(text[i + 1])) {
      i += 2;  // a pair: a character beyond the first plane
      continue;
    }
    const bool shows = c >= 0x20 && c != 0x7F && !is_masked_above_ascii(c) &&
                       !is_high_surrogate(c) && !is_low_surrogate(c);
    if (!shows) {
      stream.write(text.data() + run_start, static_cast<std::streamsize>(i - run_start));
      stream.put(L'?');
      run_start = i + 1;
    }
    ++i;
  }
  stream.write(text.data() + run_start, static_cast<std::streamsize>(text.size() - run_start));
}

}  // namespace platform
