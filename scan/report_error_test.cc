// The error line of a failed system call.
#include <gtest/gtest.h>

#include <cstdint>

#include "scan/scandata.h"

namespace {

native_string line(std::uint32_t code, const char* message) {
  native_ostringstream out;
  report_error(out, code, native_from_ascii(message));
  return out.str();
}

TEST(ReportError, CodeIsAlwaysEightLowerCaseHexDigits) {
  EXPECT_EQ(line(0, "m"), native_from_ascii("m: 0x00000000\n"));
  EXPECT_EQ(line(5, "Error opening \"C:\\data\\a.txt\""),
            native_from_ascii("Error opening \"C:\\data\\a.txt\": 0x00000005\n"));
  EXPECT_EQ(line(0xFFFFFFFFu, "m"), native_from_ascii("m: 0xffffffff\n"));
  EXPECT_EQ(line(0xABCDEF12u, "m"), native_from_ascii("m: 0xabcdef12\n"));
}

TEST(ReportError, MessageIsNeverAFormat) {
  EXPECT_EQ(line(2, ""), native_from_ascii(": 0x00000002\n"));
  EXPECT_EQ(line(2, "100%s %d %n %%"), native_from_ascii("100%s %d %n %%: 0x00000002\n"));
}

TEST(ReportError, MessagesQuoteThePath) {
  EXPECT_EQ(quoted_message("Error finding ", native_from_ascii("a b")),
            native_from_ascii("Error finding \"a b\""));
}

}  // namespace
