// The error line of a failed system call during a scan.
#include "base/error_codes.h"
#include "scan/scandata.h"

namespace scan {

namespace {

// The code as exactly eight lower-case hexadecimal digits, as printf's
// "%.8x" would write it.
void write_hex8(native_ostream& out, std::uint32_t code) {
  native_char digits[8];
  for (int i = 7; i >= 0; --i) {
    digits[i] = static_cast<native_char>("0123456789abcdef"[code & 0xF]);
    code >>= 4;
  }
  out.write(digits, 8);
}

}  // namespace

void report_error(native_ostream& out, std::uint32_t code, native_string_view message) {
  // The message is written as text, never used as a format, so a path with
  // '%' in it prints as it is.
  out << platform::shown(message) << ": 0x";
  write_hex8(out, code);
  out << std::endl;
}

void _scandata::scan_error(platform::error_code code, native_string_view message) {
  ++scan_errors;
  if (record_errors) errors.push_back(_scandata_error{native_string(message), code});
  if (verbose) report_error(*out, code, message);
}

void _scandata::not_a_directory(const native_string& path) {
  ++scan_errors;
  if (record_errors) {
    errors.push_back(_scandata_error{native_from_ascii("Argument \"") + path +
                                         native_from_ascii("\" does not point to a directory."),
                                     platform::not_a_directory_error});
  }
  if (verbose) {
    *err << "Argument \"" << platform::shown(path) << "\" does not point to a directory."
         << std::endl;
  }
}

native_string quoted_message(const char* text, native_string_view path) {
  native_string message = native_from_ascii(text);
  message += '"';
  message += path;
  message += '"';
  return message;
}

}  // namespace scan
