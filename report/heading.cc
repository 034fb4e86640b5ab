// The heading every section of the text reports opens with.
#include <ostream>
#include <string>

#include "report/report_format.h"

namespace report {

void print_heading(native_ostream& out, const char* title) {
  const std::size_t length = std::char_traits<char>::length(title);
  out << std::endl;
  out << title << std::endl;
  out << native_string(length, '=') << std::endl;
  out << std::endl;
}

}  // namespace report
