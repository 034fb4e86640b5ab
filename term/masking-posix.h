// How the POSIX half masks names: by the encoding of a locale's LC_CTYPE.
//
// A name is bytes; whether a byte is a letter, part of one, a control or
// nothing at all depends on the encoding the terminal reads, which the
// user's locale names. Three kinds are told apart, each with its own cost:
// UTF-8 (decoded here), single-byte encodings (a table of 256 answers) and
// every other multibyte encoding (the C library's mbrtowc).
#ifndef TWINFIND_TERM_MASKING_POSIX_H_
#define TWINFIND_TERM_MASKING_POSIX_H_

#include <locale.h>

#include <cstdint>

#include "base/text.h"

namespace platform {

// The LC_CTYPE of one locale, as masking needs it. Owns its locale object.
struct locale_encoding {
  enum class form : std::uint8_t { utf8, single_byte, multibyte };

  // Reads the LC_CTYPE of the locale `name`; the empty name is the one the
  // environment names (LC_ALL, LC_CTYPE, LANG). A locale that cannot be
  // loaded is read as the "C" locale, whose encoding is ASCII.
  explicit locale_encoding(const char* name);
  locale_encoding(const locale_encoding&) = delete;
  locale_encoding& operator=(const locale_encoding&) = delete;
  ~locale_encoding();

  form kind = form::single_byte;
  locale_t locale = static_cast<locale_t>(0);
  // For a single-byte encoding: the bytes written as themselves.
  bool printable[256] = {};
};

// write_masked (masking.h) by the rules of `encoding`.
void write_masked(native_ostream& stream, native_string_view text,
                  const locale_encoding& encoding);

}  // namespace platform

#endif  // TWINFIND_TERM_MASKING_POSIX_H_
