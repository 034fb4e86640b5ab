// The JSON writer: punctuation, numbers and exactly escaped names.
#include "report/json_writer.h"

#include <cstring>
#include <ostream>
#include <string_view>

namespace report {

namespace {

// Writes ASCII text on the native stream, widened where it is wide. (A
// template, so that only the platform's own branch is compiled.)
template <typename Char>
void put_ascii(std::basic_ostream<Char>& out, const char* text, std::size_t length) {
  if constexpr (sizeof(Char) == 1) {
    out.write(text, static_cast<std::streamsize>(length));
  } else {
    native_char wide[32];
    while (length > 0) {
      const std::size_t count = length < 32 ? length : 32;
      for (std::size_t i = 0; i < count; ++i) wide[i] = static_cast<native_char>(text[i]);
      out.write(wide, static_cast<std::streamsize>(count));
      text += count;
      length -= count;
    }
  }
}

void put_ascii(native_ostream& out, const char* text) { put_ascii(out, text, std::strlen(text)); }

// \uXXXX with lower-case digits.
void put_escape(native_ostream& out, std::uint32_t code) {
  static const char digits[] = "0123456789abcdef";
  const char escape[6] = {'\\', 'u', digits[(code >> 12) & 0xF], digits[(code >> 8) & 0xF],
                          digits[(code >> 4) & 0xF], digits[code & 0xF]};
  put_ascii(out, escape, 6);
}

// The short escapes JSON has; else \u00XX.
void put_ascii_escape(native_ostream& out, std::uint32_t c) {
  switch (c) {
    case '"': return put_ascii(out, "\\\"", 2);
    case '\\': return put_ascii(out, "\\\\", 2);
    case '\n': return put_ascii(out, "\\n", 2);
    case '\r': return put_ascii(out, "\\r", 2);
    case '\t': return put_ascii(out, "\\t", 2);
    case '\b': return put_ascii(out, "\\b", 2);
    case '\f': return put_ascii(out, "\\f", 2);
  }
  put_escape(out, c);
}

bool needs_ascii_escape(std::uint32_t c) { return c < 0x20 || c == '"' || c == '\\' || c == 0x7F; }

// Valid characters that are escaped all the same, so that a terminal
// showing the document cannot be driven by a name.
bool escaped_character(std::uint32_t code) {
  return (code >= 0x80 && code <= 0x9F) || (code >= 0x2028 && code <= 0x202E) ||
         (code >= 0x2066 && code <= 0x2069);
}

// The length of the valid UTF-8 sequence at `text[i]`, a byte of 0x80 or
// more, and its code point; 0 when it is invalid (RFC 3629: no overlong
// forms, no surrogates, nothing above U+10FFFF, no truncated sequence).
std::size_t utf8_sequence(const unsigned char* text, std::size_t size, std::size_t i,
                          std::uint32_t& code) {
  const unsigned char lead = text[i];
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;   // overlong below
    if (lead == 0xED) high = 0x9F;  // surrogates above
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07;
    if (lead == 0xF0) low = 0x90;   // overlong below
    if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF above
  } else {
    return 0;
  }
  if (size - i < length) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const unsigned char next = text[i + k];
    if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) return 0;
    code = (code << 6) | (next & 0x3F);
  }
  return length;
}

// POSIX names: bytes. (Each half is a template on the stream, so that only
// the platform's own is compiled.)
template <typename Traits>
void write_text(std::basic_ostream<char, Traits>& out, std::string_view text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  std::size_t run = 0;  // the start of the bytes written as they are
  std::size_t i = 0;
  while (i < size) {
    const unsigned char c = bytes[i];
    std::uint32_t code = c;
    const std::size_t length = c < 0x80 ? 1 : utf8_sequence(bytes, size, i, code);
    const bool plain = length != 0 && !(c < 0x80 ? needs_ascii_escape(c) : escaped_character(code));
    if (plain) {
      i += length;
      continue;
    }
    out.write(text.data() + run, static_cast<std::streamsize>(i - run));
    if (length == 0) {
      put_escape(out, 0xDC00 | c);  // one invalid byte
      ++i;
    } else if (c < 0x80) {
      put_ascii_escape(out, c);
      ++i;
    } else {
      put_escape(out, code);
      i += length;
    }
    run = i;
  }
  out.write(text.data() + run, static_cast<std::streamsize>(size - run));
}

// Windows names: UTF-16 units, which the output layer turns into UTF-8.
template <typename Traits>
void write_text(std::basic_ostream<wchar_t, Traits>& out, std::wstring_view text) {
  // Inside the template, which only Windows instantiates: elsewhere they
  // would be functions nobody calls.
  const auto is_high_surrogate = [](std::uint32_t c) { return c >= 0xD800 && c <= 0xDBFF; };
  const auto is_low_surrogate = [](std::uint32_t c) { return c >= 0xDC00 && c <= 0xDFFF; };
  std::size_t run = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    const std::uint32_t c = static_cast<std::uint16_t>(text[i]);
    if (is_high_surrogate(c) && i + 1 < text.size() &&
        is_low_surrogate(static_cast<std::uint16_t>(text[i + 1]))) {
      i += 2;  // a pair: a character beyond the BMP
      continue;
    }
    const bool lone = is_high_surrogate(c) || is_low_surrogate(c);
    if (!lone && !needs_ascii_escape(c) && !escaped_character(c)) {
      ++i;
      continue;
    }
    out.write(text.data() + run, static_cast<std::streamsize>(i - run));
    if (c < 0x80) {
      put_ascii_escape(out, c);
    } else {
      put_escape(out, c);
    }
    run = ++i;
  }
  out.write(text.data() + run, static_cast<std::streamsize>(text.size() - run));
}

}  // namespace

void write_json_text(native_ostream& out, native_string_view text) { write_text(out, text); }

void json_writer::begin_object() {
  if (needs_comma) put_ascii(out, ",", 1);
  put_ascii(out, "{", 1);
  needs_comma = false;
}

void json_writer::end_object() {
  put_ascii(out, "}", 1);
  needs_comma = true;
}

void json_writer::begin_array() {
  if (needs_comma) put_ascii(out, ",", 1);
  put_ascii(out, "[", 1);
  needs_comma = false;
}

void json_writer::end_array() {
  put_ascii(out, "]", 1);
  needs_comma = true;
}

void json_writer::key(const char* name) {
  if (needs_comma) put_ascii(out, ",", 1);
  put_ascii(out, "\"", 1);
  put_ascii(out, name);
  put_ascii(out, "\":", 2);
  needs_comma = false;
}

void json_writer::number(std::int64_t value) {
  if (needs_comma) put_ascii(out, ",", 1);
  // Digits from the end; the magnitude in unsigned arithmetic, which also
  // holds the most negative value.
  char digits[24];
  std::size_t start = sizeof digits;
  std::uint64_t magnitude =
      value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  do {
    digits[--start] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) digits[--start] = '-';
  put_ascii(out, digits + start, sizeof digits - start);
  needs_comma = true;
}

void json_writer::boolean(bool value) {
  if (needs_comma) put_ascii(out, ",", 1);
  if (value) {
    put_ascii(out, "true", 4);
  } else {
    put_ascii(out, "false", 5);
  }
  needs_comma = true;
}

void json_writer::hex(std::uint64_t value) {
  if (needs_comma) put_ascii(out, ",", 1);
  char digits[18];
  std::size_t start = sizeof digits;
  digits[--start] = '"';
  do {
    digits[--start] = "0123456789abcdef"[value & 0xF];
    value >>= 4;
  } while (value != 0);
  digits[--start] = '"';
  put_ascii(out, digits + start, sizeof digits - start);
  needs_comma = true;
}

void json_writer::hex(std::uint64_t high, std::uint64_t low) {
  if (high == 0) return hex(low);
  if (needs_comma) put_ascii(out, ",", 1);
  char digits[34];
  digits[0] = '"';
  for (int i = 0; i < 16; ++i) {
    digits[16 - i] = "0123456789abcdef"[high & 0xF];
    digits[32 - i] = "0123456789abcdef"[low & 0xF];
    high >>= 4;
    low >>= 4;
  }
  digits[33] = '"';
  put_ascii(out, digits, sizeof digits);
  needs_comma = true;
}

void json_writer::ascii(const char* text) {
  if (needs_comma) put_ascii(out, ",", 1);
  put_ascii(out, "\"", 1);
  put_ascii(out, text);
  put_ascii(out, "\"", 1);
  needs_comma = true;
}

void json_writer::string(native_string_view text) {
  if (needs_comma) put_ascii(out, ",", 1);
  put_ascii(out, "\"", 1);
  write_json_text(out, text);
  put_ascii(out, "\"", 1);
  needs_comma = true;
}

}  // namespace report
