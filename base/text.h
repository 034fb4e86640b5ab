// The native text type: what file names are made of on this platform, in
// namespace platform; each layer above names the types it uses in its
// chief header.
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

}  // namespace platform

#endif  // TWINFIND_BASE_TEXT_H_
