// The native text type: what file names are made of on this platform, in
// namespace platform; each layer above brings them into its own namespace
// in its chief header (platform::text_types).
//
// Windows names are UTF-16 and are printed through the wide streams; POSIX
// names are bytes and are printed through the narrow ones. Names are never
// decoded or re-encoded, so every name stays exactly as the system gave it.
#ifndef TWINFIND_BASE_TEXT_H_
#define TWINFIND_BASE_TEXT_H_

#include <ostream>
#include <sstream>
#include <string>
#include <string_view>

namespace platform {

#ifdef _WIN32
using native_char = wchar_t;
#else
using native_char = char;
#endif

using native_string = std::basic_string<native_char>;
using native_string_view = std::basic_string_view<native_char>;
using native_ostream = std::basic_ostream<native_char>;
using native_ostringstream = std::basic_ostringstream<native_char>;

// Widens a plain ASCII text to the native type, one character each.
inline native_string native_from_ascii(std::string_view ascii) {
  return native_string(ascii.begin(), ascii.end());
}

// The names above, for a layer to bring into its own namespace with one
// using-directive in its chief header.
namespace text_types {
using platform::native_char;
using platform::native_from_ascii;
using platform::native_ostream;
using platform::native_ostringstream;
using platform::native_string;
using platform::native_string_view;
}  // namespace text_types

}  // namespace platform

#endif  // TWINFIND_BASE_TEXT_H_
