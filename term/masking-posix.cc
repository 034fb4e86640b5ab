// Masking on POSIX: by the encoding of the user's locale, decided once.
#include "term/masking-posix.h"

#include <langinfo.h>
#include <stdlib.h>
#include <wchar.h>
#include <wctype.h>

#include <cctype>
#include <cstring>
#include <ostream>

#include "term/masking.h"

namespace platform {

namespace {

// "UTF-8" as systems spell it: "UTF-8", "utf8", "UTF8".
bool names_utf8(const char* codeset) {
  char letters[8];
  std::size_t count = 0;
  for (; *codeset != '\0' && count < sizeof letters; ++codeset) {
    if (*codeset == '-' || *codeset == '_') continue;
    letters[count++] = static_cast<char>(std::tolower(static_cast<unsigned char>(*codeset)));
  }
  return *codeset == '\0' && count == 4 && std::memcmp(letters, "utf8", 4) == 0;
}

// The UTF-8 character at the start of `bytes` (`size` > 0 of them): its
// length, with its code point in `code`, or 0 when no valid character begins
// there (a stray continuation byte, a cut sequence, an overlong form, a
// surrogate or a code point beyond U+10FFFF).
std::size_t decode_utf8(const unsigned char* bytes, std::size_t size, char32_t& code) {
  const unsigned char lead = bytes[0];
  std::size_t length;
  if (lead < 0x80) {
    code = lead;
    return 1;
  } else if (lead < 0xC2) {
    return 0;  // a continuation byte, or the lead of an overlong form
  } else if (lead < 0xE0) {
    length = 2;
    code = lead & 0x1F;
  } else if (lead < 0xF0) {
    length = 3;
    code = lead & 0x0F;
  } else if (lead < 0xF5) {
    length = 4;
    code = lead & 0x07;
  } else {
    return 0;
  }
  if (size < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((bytes[i] & 0xC0) != 0x80) return 0;
    code = (code << 6) | (bytes[i] & 0x3F);
  }
  if ((length == 3 && code < 0x800) || (length == 4 && code < 0x10000) ||
      (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
    return 0;
  return length;
}

// Whether a wide character of `locale` is written as itself.
bool prints(wint_t wide, locale_t locale) {
  if (!iswprint_l(wide, locale)) return false;
#ifdef __STDC_ISO_10646__
  // The library calls these printable; they are not harmless.
  if (is_masked_above_ascii(static_cast<char32_t>(wide))) return false;
#endif
  return true;
}

// The length of the character at the start of `bytes` in the encoding, and
// whether it is written as itself. A byte that begins no character is one
// masked character of its own.
struct character {
  std::size_t length;
  bool shows;
};

character next_utf8(const unsigned char* bytes, std::size_t size, locale_t locale) {
  char32_t code = 0;
  const std::size_t length = decode_utf8(bytes, size, code);
  if (length == 0) return {1, false};
  if (length == 1) return {1, code >= 0x20 && code != 0x7F};
#ifdef __STDC_ISO_10646__
  return {length, prints(static_cast<wint_t>(code), locale)};
#else
  (void)locale;
  return {length, !is_masked_above_ascii(code)};
#endif
}

// With the encoding's locale in use by this thread.
character next_multibyte(const unsigned char* bytes, std::size_t size, mbstate_t& state,
                         locale_t locale) {
  wchar_t wide = 0;
  const std::size_t length =
      mbrtowc(&wide, reinterpret_cast<const char*>(bytes), size, &state);
  if (length == static_cast<std::size_t>(-1) || length == static_cast<std::size_t>(-2)) {
    state = mbstate_t();
    return {1, false};
  }
  if (length == 0) return {1, false};  // NUL
  return {length, prints(static_cast<wint_t>(wide), locale)};
}

}  // namespace

locale_encoding::~locale_encoding() {
  if (locale != static_cast<locale_t>(0)) freelocale(locale);
}

locale_encoding::locale_encoding(const char* name) {
  locale = newlocale(LC_CTYPE_MASK, name, static_cast<locale_t>(0));
  if (locale == static_cast<locale_t>(0))
    locale = newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(0));
  if (names_utf8(nl_langinfo_l(CODESET, locale))) {
    kind = form::utf8;
    return;
  }
  const locale_t previous = uselocale(locale);
  const bool single_byte = MB_CUR_MAX == 1;
  uselocale(previous);
  if (!single_byte) {
    kind = form::multibyte;
    return;
  }
  // Raw C1 bytes are masked even where the encoding gives them glyphs: a
  // terminal may still take 0x9B for the start of a control sequence.
  kind = form::single_byte;
  for (int byte = 0; byte < 256; ++byte) {
    printable[byte] =
        isprint_l(byte, locale) != 0 && !is_masked_above_ascii(static_cast<char32_t>(byte));
  }
}

void write_masked(native_ostream& stream, native_string_view text,
                  const locale_encoding& encoding) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  const bool multibyte = encoding.kind == locale_encoding::form::multibyte;
  const locale_t previous = multibyte ? uselocale(encoding.locale) : static_cast<locale_t>(0);
  mbstate_t state = mbstate_t();
  // Runs of characters written as themselves go out in one write each.
  std::size_t run_start = 0;
  std::size_t i = 0;
  while (i < size) {
    character next{1, true};
    switch (encoding.kind) {
      case locale_encoding::form::single_byte:
        next.shows = encoding.printable[bytes[i]];
        break;
      case locale_encoding::form::utf8:
        next = next_utf8(bytes + i, size - i, encoding.locale);
        break;
      case locale_encoding::form::multibyte:
        next = next_multibyte(bytes + i, size - i, state, encoding.locale);
        break;
    }
    if (!next.shows) {
      stream.write(text.data() + run_start, static_cast<std::streamsize>(i - run_start));
      stream.put('?');
      run_start = i + next.length;
    }
    i += next.length;
  }
  stream.write(text.data() + run_start, static_cast<std::streamsize>(size - run_start));
  if (multibyte) uselocale(previous);
}

void write_masked(native_ostream& stream, native_string_view text) {
  // Read at the first name shown on a terminal; a run that prints none
  // never loads the locale.
  static const locale_encoding user("");
  write_masked(stream, text, user);
}

}  // namespace platform
