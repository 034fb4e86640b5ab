// Masking on Windows: UTF-16 code units as the console takes them.
#include "term/masking.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace {

std::wstring masked(const std::wstring& text) {
  std::wostringstream out;
  platform::write_masked(out, text);
  return out.str();
}

TEST(MaskingWin32, ControlsAndReorderingAreMaskedAndLettersKept) {
  EXPECT_EQ(L"a?[2J??b", masked(L"a\x1b[2J\x07\x7f" L"b"));
  // é, a no-break space, 日本, U+202F and U+2065 (next to the masked ranges).
  const std::wstring letters = L"caf\x00E9\x00A0\x65E5\x672C\x202F\x2065\x2029";
  EXPECT_EQ(letters, masked(letters));
  // C1 controls: U+0080, U+0085, CSI U+009B, U+009F.
  EXPECT_EQ(L"x????y", masked(L"x\x0080\x0085\x009B\x009Fy"));
  // The controls that reorder text: U+202A to U+202E, U+2066 to U+2069.
  EXPECT_EQ(L"?????.????", masked(L"\x202A\x202B\x202C\x202D\x202E.\x2066\x2067\x2068\x2069"));
}

TEST(MaskingWin32, OnlyWholeSurrogatePairsAreWritten) {
  EXPECT_EQ(L"x\xD83D\xDE00y", masked(L"x\xD83D\xDE00y"));  // U+1F600
  EXPECT_EQ(L"?x", masked(L"\xD83Dx"));
  EXPECT_EQ(L"a?b", masked(L"a\xDE00" L"b"));
  EXPECT_EQ(L"??", masked(L"\xDE00\xD83D"));  // the wrong order
  EXPECT_EQ(L"?\xD83D\xDE00", masked(L"\xD83D\xD83D\xDE00"));
  EXPECT_EQ(L"end?", masked(L"end\xD83D"));
}

}  // namespace
