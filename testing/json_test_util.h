// What the tests of the JSON report share: a parser for the documents
// (nlohmann/json, where it is installed) and the conversions between the
// program's native text and the UTF-8 of a parsed document.
#ifndef TWINFIND_TESTING_JSON_TEST_UTIL_H_
#define TWINFIND_TESTING_JSON_TEST_UTIL_H_

#include <cstdint>
#include <string>

#include "base/text.h"

#if __has_include(<nlohmann/json.hpp>)
#include <nlohmann/json.hpp>
#define TWINFIND_HAVE_JSON_PARSER 1
#endif

namespace json_test {

// The system's text types, by their own names.
using namespace platform::text_types;

// Native text as UTF-8: the bytes themselves on POSIX, UTF-16 converted on
// Windows (lone surrogates are not expected here).
inline std::string utf8_of(native_string_view text) {
  std::string utf8;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = static_cast<std::uint32_t>(text[i]) & (sizeof(native_char) == 1 ? 0xFF : 0xFFFF);
    if (sizeof(native_char) == 1) {
      utf8 += static_cast<char>(c);
      continue;
    }
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
      c = 0x10000 + ((c - 0xD800) << 10) + ((static_cast<std::uint32_t>(text[++i]) & 0xFFFF) - 0xDC00);
    }
    if (c < 0x80) {
      utf8 += static_cast<char>(c);
    } else if (c < 0x800) {
      utf8 += static_cast<char>(0xC0 | (c >> 6));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      utf8 += static_cast<char>(0xE0 | (c >> 12));
      utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      utf8 += static_cast<char>(0xF0 | (c >> 18));
      utf8 += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return utf8;
}

// Valid UTF-8 as native text: the bytes on POSIX, UTF-16 on Windows.
inline native_string native_of(const std::string& utf8) {
  native_string text;
  for (std::size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    if (sizeof(native_char) == 1) {
      text += static_cast<native_char>(utf8[i++]);
      continue;
    }
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    std::uint32_t c = length == 1 ? lead : lead & (0xFF >> (length + 1));
    for (std::size_t k = 1; k < length && i + k < utf8.size(); ++k)
      c = (c << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    i += length;
    if (c >= 0x10000) {
      text += static_cast<native_char>(0xD800 + ((c - 0x10000) >> 10));
      text += static_cast<native_char>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      text += static_cast<native_char>(c);
    }
  }
  return text;
}

#ifdef TWINFIND_HAVE_JSON_PARSER
// Parses a whole document written on a native stream.
inline nlohmann::json parse(native_string_view document) {
  return nlohmann::json::parse(utf8_of(document));
}
#endif

}  // namespace json_test

#endif  // TWINFIND_TESTING_JSON_TEST_UTIL_H_
