// The system form of paths on Windows.
#include "fs/system_path-win32.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using platform::system_path;

std::wstring current_directory() {
  wchar_t path[MAX_PATH + 1];
  const DWORD length = GetCurrentDirectoryW(MAX_PATH + 1, path);
  return std::wstring(path, length <= MAX_PATH ? length : 0);
}

TEST(SystemPathTest, APathIsResolvedOnceAsTheSystemParsesItThenPrefixed) {
  EXPECT_EQ(L"\\\\?\\C:\\data\\sub", system_path(L"C:\\data\\sub"));
  EXPECT_EQ(L"\\\\?\\C:\\data\\d", system_path(L"C:/data//sub\\.\\..\\d"));
  EXPECT_EQ(L"\\\\?\\C:\\", system_path(L"C:\\"));
  // A typed name means what the system makes of it: its trailing dots and
  // spaces go.
  EXPECT_EQ(L"\\\\?\\C:\\data\\x", system_path(L"C:\\data\\x. "));
  EXPECT_EQ(L"\\\\?\\UNC\\server\\share\\dir", system_path(L"\\\\server\\share\\dir"));
  EXPECT_EQ(L"\\\\?\\C:\\dir", system_path(L"\\\\.\\C:\\dir"));

  const std::wstring here = current_directory();
  ASSERT_GE(here.size(), 3u);
  ASSERT_EQ(L':', here[1]);
  std::wstring in_here = L"\\\\?\\" + here;
  if (in_here.back() != L'\\') in_here += L'\\';
  EXPECT_EQ(in_here + L"rel\\x", system_path(L"rel\\x"));
  EXPECT_EQ(in_here + L"rel", system_path(here.substr(0, 2) + L"rel"));  // "C:rel"
}

TEST(SystemPathTest, ThePrefixedFormIsKeptWithItsSeparatorsMadeSingle) {
  EXPECT_EQ(L"\\\\?\\C:\\", system_path(L"\\\\?\\C:\\"));
  EXPECT_EQ(L"\\\\?\\C:\\dir\\x.", system_path(L"\\\\?\\C:\\\\dir\\\\x."));
  EXPECT_EQ(L"\\\\?\\Volume{0}\\", system_path(L"\\\\?\\Volume{0}\\"));
  EXPECT_EQ(L"\\\\?\\UNC\\s\\share\\a", system_path(L"\\\\?\\UNC\\s\\share\\a"));
  // Resolving again changes nothing.
  const std::wstring once = system_path(L"C:\\data\\..\\x");
  EXPECT_EQ(once, system_path(once));
}

TEST(SystemPathTest, APatternKeepsItsLastComponentAsWritten) {
  EXPECT_EQ(L"\\\\?\\C:\\data\\*.", system_path(L"C:\\data\\*."));
  EXPECT_EQ(L"\\\\?\\C:\\data\\?.txt ", system_path(L"C:\\data\\.\\?.txt "));
  EXPECT_EQ(L"\\\\?\\C:\\*.txt", system_path(L"\\\\?\\C:\\*.txt"));
  const std::wstring here = current_directory();
  std::wstring in_here = L"\\\\?\\" + here;
  if (in_here.back() != L'\\') in_here += L'\\';
  EXPECT_EQ(in_here + L"*.txt", system_path(L"*.txt"));
  EXPECT_EQ(in_here + L"*.txt", system_path(here.substr(0, 2) + L"*.txt"));
}

TEST(AppendNameTest, OneSeparatorBetweenDirectoryAndName) {
  std::wstring path = L"\\\\?\\C:\\";
  platform::append_name(path, L"a");
  EXPECT_EQ(L"\\\\?\\C:\\a", path);
  platform::append_name(path, L"b.");
  EXPECT_EQ(L"\\\\?\\C:\\a\\b.", path);
}

}  // namespace
