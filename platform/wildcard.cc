// The wildcard matcher, the same on every platform that matches by itself.
#include "platform/wildcard.h"

namespace platform {

bool matches_wildcard(native_string_view pattern, native_string_view name) {
  // Greedy, going back only to the last '*' met: a later '*' can absorb
  // whatever an earlier one would have, so earlier choices never need
  // revisiting, and the cost stays within length(pattern) * length(name)
  // where naive backtracking is exponential in the number of stars.
  constexpr std::size_t none = native_string_view::npos;
  std::size_t p = 0;
  std::size_t n = 0;
  std::size_t star = none;  // the last '*' met
  std::size_t resume = 0;   // where in `name` that '*' stops for now
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
      ++p;
      ++n;
    } else if (star != none) {
      p = star + 1;  // let the last '*' take one more byte
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace platform
