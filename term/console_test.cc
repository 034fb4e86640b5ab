// Printing names: unchanged off a terminal, control characters masked on it.
#include "term/console.h"

#include <gtest/gtest.h>

#include "term/masking.h"

namespace {

using platform::shown;

platform::native_string units(std::initializer_list<unsigned> codes) {
  platform::native_string text;
  for (unsigned code : codes) text += static_cast<platform::native_char>(code);
  return text;
}

// Control characters, printable ones, and code units above ASCII
// (on POSIX bytes of UTF-8 characters, on Windows UTF-16 units, C1 included).
const platform::native_string hostile = units({'a', 0x00, 0x07, 0x1B, '[', '2', 'J', 0x1F, 0x20,
                                     0x7E, 0x7F, 0x80, 0x9B, 0xC3, 0xA9, 0xFF, 'z'});

TEST(ShownNameTest, OffATerminalTheNameIsWrittenUnchanged) {
  platform::native_ostringstream out;
  EXPECT_FALSE(platform::masks_control_characters(out));
  out << shown(hostile);
  EXPECT_EQ(hostile, out.str());  // the NUL does not cut it short
}

// What lies beyond ASCII depends on the platform and, on POSIX, on the
// locale: see the masking tests of each half.
TEST(ShownNameTest, MaskingReplacesEveryAsciiControlAndKeepsTheRest) {
  platform::native_string every;
  platform::native_string expected;
  for (unsigned code = 0; code < 0x80; ++code) {
    every += static_cast<platform::native_char>(code);
    const bool control = code < 0x20 || code == 0x7F;
    expected += control ? platform::native_char('?') : static_cast<platform::native_char>(code);
  }
  platform::native_ostringstream all;
  platform::write_masked(all, every);
  EXPECT_EQ(expected, all.str());
}

TEST(ShownNameTest, AFailedStreamTakesNothing) {
  platform::native_ostringstream failed;
  failed.setstate(std::ios_base::badbit);
  failed << shown(hostile);
  platform::write_masked(failed, hostile);
  EXPECT_EQ(platform::native_string(), failed.str());
}

}  // namespace
