// The wildcard matcher, the same on every platform that matches by itself.
#include "fs/wildcard.h"

namespace platform {

namespace {

std::size_t one_unit(native_string_view) { return 1; }

}  // namespace

bool matches_wildcard(native_string_view pattern, native_string_view name,
                      character_length length) {
  // Greedy, going back only to the last '*' met: a later '*' can absorb
  // whatever an earlier one would have, so earlier choices never need
  // revisiting, and the cost stays within length(pattern) * length(name)
  // where naive backtracking is exponential in the number of stars. Both
  // are read a whole character at a time, so that no '?' or '*' ever stops
  // inside one: '?' takes one, and a '*' gives up one more at a time.
  constexpr std::size_t none = native_string_view::npos;
  std::size_t p = 0;
  std::size_t n = 0;
  std::size_t star = none;  // the last '*' met
  std::size_t resume = 0;   // where in `name` that '*' stops for now
  while (n < name.size()) {
    const std::size_t in_name = length(name.substr(n));
    const std::size_t in_pattern = p < pattern.size() ? length(pattern.substr(p)) : 0;
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (p < pattern.size() &&
               (pattern[p] == '?' ||
                (in_pattern == in_name && pattern.compare(p, in_pattern, name, n, in_name) == 0))) {
      p += pattern[p] == '?' ? 1 : in_pattern;
      n += in_name;
    } else if (star != none) {
      p = star + 1;  // let the last '*' take one more character
      resume += length(name.substr(resume));
      n = resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool matches_wildcard(native_string_view pattern, native_string_view name) {
  return matches_wildcard(pattern, name, one_unit);
}

}  // namespace platform
