// The error line of a failed system call.
#include <gtest/gtest.h>

#include <cstdint>

#include "testing/text_test_util.h"
#include "scan/scandata.h"

namespace scan {

namespace {

native_string line(std::uint32_t code, const char* message) {
  native_ostringstream out;
  report_error(out, code, T(message));
  return out.str();
}

TEST(ReportError, CodeIsAlwaysEightLowerCaseHexDigits) {
  EXPECT_EQ(line(0, "m"), T("m: 0x00000000\n"));
  EXPECT_EQ(line(5, "Error opening \"C:\\data\\a.txt\""),
            T("Error opening \"C:\\data\\a.txt\": 0x00000005\n"));
  EXPECT_EQ(line(0xFFFFFFFFu, "m"), T("m: 0xffffffff\n"));
  EXPECT_EQ(line(0xABCDEF12u, "m"), T("m: 0xabcdef12\n"));
}

TEST(ReportError, MessageIsNeverAFormat) {
  EXPECT_EQ(line(2, ""), T(": 0x00000002\n"));
  EXPECT_EQ(line(2, "100%s %d %n %%"), T("100%s %d %n %%: 0x00000002\n"));
}

TEST(ReportError, MessagesQuoteThePath) {
  EXPECT_EQ(quoted_message("Error finding ", T("a b")),
            T("Error finding \"a b\""));
}

}  // namespace

}  // namespace scan
