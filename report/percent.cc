// The percentages of the reports: one share as a whole number, half up.
#include <climits>
#include <cstdint>
#include <iomanip>

#include "report/report_format.h"

namespace report {

namespace {

std::uint64_t magnitude(std::int64_t value) {
  // Negating in unsigned arithmetic also covers INT64_MIN.
  return value < 0 ? 0 - static_cast<std::uint64_t>(value)
                   : static_cast<std::uint64_t>(value);
}

// The whole number nearest to part * 100 / whole, an exact half rounded
// away from zero. For 0 <= part and 0 < whole this is
// (200 * part + whole) / (2 * whole), but computed without ever forming
// 200 * part, so byte totals of any size give the right share and nothing
// overflows. Shares beyond the range of int (never passed by the reports)
// are held at its ends.
int rounded_percent(std::int64_t part, std::int64_t whole) {
  const std::uint64_t p = magnitude(part);
  const std::uint64_t w = magnitude(whole);
  const std::uint64_t quotient = p / w;
  const std::uint64_t remainder = p % w;

  // floor(100 * remainder / w) by adding `remainder` a hundred times modulo
  // w and counting the wraps; `rest` stays below w, so no sum overflows.
  std::uint64_t points = 0;
  std::uint64_t rest = 0;
  for (int i = 0; i < 100; ++i) {
    if (rest >= w - remainder) {
      rest -= w - remainder;
      ++points;
    } else {
      rest += remainder;
    }
  }
  if (rest >= w - rest)  // what is left is half of w or more
    ++points;

  const std::uint64_t limit = static_cast<std::uint64_t>(INT_MAX);
  const std::uint64_t value =
      quotient < limit / 100 ? quotient * 100 + points : limit;
  const int result = static_cast<int>(value);
  return (part < 0) != (whole < 0) ? -result : result;
}

}  // namespace

void print_percent(native_ostream& stream, std::int64_t part, std::int64_t whole) {
  stream << std::setw(3) << grouped(whole == 0 ? 0 : rounded_percent(part, whole)) << '%';
}

}  // namespace report
