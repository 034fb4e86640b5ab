// The Windows output layer: its UTF-8 conversion, and its channels on a
// real file.
#include "term/console-win32.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace {

using platform::append_utf8;
using platform::output_channel;

std::string utf8(const std::wstring& text, bool last = true) {
  std::string bytes;
  EXPECT_EQ(text.size(), append_utf8(text, last, bytes));
  return bytes;
}

const std::string replacement = "\xEF\xBF\xBD";

TEST(AppendUtf8Test, ConvertsEveryCharacterAndEndsLinesWithCrLf) {
  EXPECT_EQ("", utf8(L""));
  EXPECT_EQ("a\r\nb\r\n\r\n", utf8(L"a\nb\n\n"));
  EXPECT_EQ("\xC3\xA9\xE2\x82\xAC", utf8(L"\u00E9\u20AC"));  // e acute, euro
  // U+1F600, a pair of surrogates, is one character of four bytes.
  EXPECT_EQ("x\xF0\x9F\x98\x80y", utf8(L"x\xD83D\xDE00y"));
}

TEST(AppendUtf8Test, ASurrogateWithoutItsPartnerCostsOnlyItself) {
  EXPECT_EQ("a" + replacement + "b", utf8(L"a\xD800" L"b"));
  EXPECT_EQ("a" + replacement + "b", utf8(L"a\xDC00" L"b"));
  // Two halves in the wrong order are two broken characters.
  EXPECT_EQ(replacement + replacement + "\r\n", utf8(L"\xDE00\xD83D\n"));
  EXPECT_EQ(replacement + "\xF0\x9F\x98\x80", utf8(L"\xD83D\xD83D\xDE00"));
  EXPECT_EQ("end" + replacement, utf8(L"end\xD83D"));
}

TEST(AppendUtf8Test, AHighSurrogateAtTheEndWaitsForWhatFollows) {
  std::string bytes = "kept ";
  EXPECT_EQ(1u, append_utf8(L"a\xD83D", false, bytes));
  EXPECT_EQ("kept a", bytes);
  EXPECT_EQ(2u, append_utf8(L"\xD83D\xDE00", false, bytes));
  EXPECT_EQ("kept a\xF0\x9F\x98\x80", bytes);
}

// A channel writing to a real file, and what reached the file.
class OutputChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t directory[MAX_PATH + 1];
    ASSERT_GT(GetTempPathW(MAX_PATH + 1, directory), 0u);
    ASSERT_NE(0u, GetTempFileNameW(directory, L"twf", 0, path_));
    file_ = CreateFileW(path_, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file_);
  }
  void TearDown() override {
    CloseHandle(file_);
    DeleteFileW(path_);
  }

  std::string written() const {
    std::string content;
    HANDLE reader = CreateFileW(path_, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    char block[65536];
    DWORD count = 0;
    while (ReadFile(reader, block, sizeof(block), &count, nullptr) && count > 0) {
      content.append(block, count);
    }
    CloseHandle(reader);
    return content;
  }

  wchar_t path_[MAX_PATH + 1];
  HANDLE file_ = INVALID_HANDLE_VALUE;
};

TEST_F(OutputChannelTest, AFileGetsWholeBlocksOfUtf8) {
  output_channel channel(file_, false, false);
  std::wostream out(&channel);
  out << L"caf\u00E9 " << 42 << std::endl;
  EXPECT_EQ("", written());  // a line end alone writes nothing to a file

  // A pair that the stream's own buffer cuts in two arrives whole.
  std::wstring filler(4095, L'x');
  out << filler << L"\xD83D\xDE00" << std::endl << L"last\xD83D";
  EXPECT_TRUE(channel.write_out(true));
  EXPECT_EQ("caf\xC3\xA9 42\r\n" + std::string(4095, 'x') + "\xF0\x9F\x98\x80\r\nlast" +
                replacement,
            written());

  // Only a full block goes out without being asked for.
  const std::size_t start = written().size();
  std::wstring line(99, L'y');
  for (int i = 0; i < 1000; ++i) out << line << std::endl;
  const std::size_t during = written().size() - start;
  EXPECT_GE(during, 64u * 1024u);
  EXPECT_LT(during, 101u * 1000u);
  EXPECT_TRUE(channel.write_out());
  EXPECT_EQ(start + 101u * 1000u, written().size());
}

// A run that ends early ends the progress line it left open, and only then.
TEST_F(OutputChannelTest, AnOpenLineIsKnownWhetherWrittenOutOrNot) {
  output_channel channel(file_, false, false);
  std::wostream out(&channel);
  EXPECT_TRUE(channel.ends_line());  // nothing yet
  out << L"Scanning";
  EXPECT_FALSE(channel.ends_line());
  out << std::wstring(5000, L'.');  // past the channel's own buffer
  EXPECT_FALSE(channel.ends_line());
  out << L"\n";
  EXPECT_TRUE(channel.ends_line());
  EXPECT_TRUE(channel.write_out(true));
  EXPECT_TRUE(channel.ends_line());
  out << L"\b";
  EXPECT_TRUE(channel.write_out(true));
  EXPECT_FALSE(channel.ends_line());
}

TEST_F(OutputChannelTest, StandardErrorFollowsWhatStandardOutputHeld) {
  output_channel output(file_, false, false);
  output_channel errors(file_, false, true, &output);
  std::wostream out(&output);
  std::wostream err(&errors);
  out << L"report line" << std::endl;
  err << L"error line" << std::endl;
  EXPECT_EQ("report line\r\nerror line\r\n", written());
}

TEST_F(OutputChannelTest, AFailedWriteIsRemembered) {
  HANDLE read_only = CreateFileW(path_, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, read_only);
  output_channel channel(read_only, false, true);
  std::wostream out(&channel);
  out << L"lost" << std::endl;
  EXPECT_FALSE(out.good());
  EXPECT_NE(0u, channel.error);
  EXPECT_FALSE(channel.write_out(true));
  CloseHandle(read_only);
  EXPECT_EQ("", written());
}

}  // namespace
