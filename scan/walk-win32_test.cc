// The walk and the breakdowns on Windows, for paths that the DOS way of
// parsing would misread: every call must look at exactly the entry listed,
// and every printed path must stay as the walk builds it from the PATH.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/current_directory_test_util-win32.h"
#include "scan/scandata.h"
#include "testing/test_tree.h"

namespace scan {

namespace {

// Made through the "\\?\" form, which takes every name as it is.
bool make_file(const std::wstring& path, std::size_t size) {
  HANDLE file = CreateFileW((L"\\\\?\\" + path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const std::string content(size, 'x');
  DWORD written = 0;
  WriteFile(file, content.data(), static_cast<DWORD>(size), &written, nullptr);
  CloseHandle(file);
  return written == size;
}

bool make_directory(const std::wstring& path) {
  return CreateDirectoryW((L"\\\\?\\" + path).c_str(), nullptr) != 0;
}

// test_tree removes its tree through plain paths, which cannot reach these
// names; so they go first, the same way they came.
void remove_entry(const std::wstring& path, bool directory) {
  const std::wstring prefixed = L"\\\\?\\" + path;
  directory ? RemoveDirectoryW(prefixed.c_str()) : DeleteFileW(prefixed.c_str());
}

std::size_t names_met(const _scandata& scan) {
  return all_kept_names(scan).size();
}

bool was_met(const _scandata& scan, const std::wstring& path) {
  for (const native_string& met : all_kept_names(scan))
    if (met == path) return true;
  return false;
}

TEST(WalkWin32, NamesThatDosParsingMisreadsAreWalkedAsListed) {
  test_tree tree;
  const std::wstring root = tree.path();
  // Each a file of its own, told apart by its size: "x." is not "x", "y "
  // is not "y", "nul", "COM1" and "con.txt" are no devices in a directory.
  const std::vector<std::wstring> names = {L"x", L"x.", L"y ", L"nul", L"COM1", L"con.txt"};
  std::int64_t size = 0;
  for (std::size_t i = 0; i < names.size(); ++i) {
    ASSERT_TRUE(make_file(root + L"\\" + names[i], i + 1)) << GetLastError();
    size += static_cast<std::int64_t>(i + 1);
  }
  ASSERT_TRUE(make_directory(root + L"\\sub."));
  ASSERT_TRUE(make_file(root + L"\\sub.\\inner", 100));

  captured_scan run(true);
  run.scan.scan_directory(root);
  remove_entry(root + L"\\sub.\\inner", false);
  remove_entry(root + L"\\sub.", true);
  for (const std::wstring& name : names) remove_entry(root + L"\\" + name, false);

  EXPECT_EQ(native_string::npos, run.out.str().find(L"Error")) << run.out.str();
  EXPECT_EQ(7, run.scan.files_total);
  EXPECT_EQ(7, run.scan.files_normal);
  EXPECT_EQ(1, run.scan.dirs_normal);
  EXPECT_EQ(0, run.scan.files_skipped + run.scan.dirs_skipped);
  EXPECT_EQ(size + 100, run.scan.naive_size);
  EXPECT_EQ(7u, run.scan.filenames_by_key.size());  // seven files, none taken for another
  EXPECT_EQ(7u, names_met(run.scan));
  for (const std::wstring& name : names)
    EXPECT_TRUE(was_met(run.scan, root + L"\\" + name)) << name;
  EXPECT_TRUE(was_met(run.scan, root + L"\\sub.\\inner"));
}

TEST(WalkWin32, APrefixedPathEndingInASeparatorIsWalked) {
  test_tree tree;
  tree.file("a", 1);
  tree.file("sub/b", 2);
  const std::wstring path = L"\\\\?\\" + tree.path() + L"\\";

  captured_scan run(true);
  run.scan.scan_directory(path);
  EXPECT_EQ(native_string::npos, run.out.str().find(L"Error")) << run.out.str();
  EXPECT_EQ(2, run.scan.files_total);
  EXPECT_EQ(3, run.scan.naive_size);
  // Printed as the walk joins them, the doubled separator and all.
  EXPECT_TRUE(was_met(run.scan, path + L"\\a"));
  EXPECT_TRUE(was_met(run.scan, path + L"\\sub\\b"));
}

TEST(WalkWin32, RelativePathsThatResolveBeyondMaxPathAreWalked) {
  test_tree tree;
  // A current directory of some 200 characters, and below it a relative
  // path of under 100 that reaches beyond MAX_PATH once resolved.
  const std::wstring base = tree.path() + L"\\" + std::wstring(200 - tree.path().size(), L'c');
  const std::wstring relative = L"rel\\" + std::wstring(90, L'r');
  ASSERT_TRUE(make_directory(base));
  ASSERT_TRUE(make_directory(base + L"\\rel"));
  ASSERT_TRUE(make_directory(base + L"\\" + relative));
  ASSERT_TRUE(make_file(base + L"\\" + relative + L"\\f.", 5));
  ASSERT_GT(base.size() + relative.size(), static_cast<std::size_t>(MAX_PATH));

  std::vector<std::wstring> problems;
  {
    current_directory here(base);
    ASSERT_TRUE(here.set());
    const std::wstring drive_relative = base.substr(0, 2) + relative;  // "C:rel\..."
    for (const std::wstring& path : {relative, drive_relative}) {
      captured_scan run(true);
      run.scan.scan_directory(path);
      if (run.scan.files_normal != 1 || run.scan.naive_size != 5 ||
          !was_met(run.scan, path + L"\\f.")) {
        problems.push_back(path + L": " + run.out.str());
      }
    }
  }
  remove_entry(base + L"\\" + relative + L"\\f.", false);
  EXPECT_TRUE(problems.empty()) << problems.size() << " PATH(s) not walked";
}

TEST(WalkWin32, BreakdownsOfPatternMatchesLookAtTheEntriesMatched) {
  test_tree tree;
  const std::wstring root = tree.path();
  ASSERT_TRUE(make_file(root + L"\\x", 1));
  ASSERT_TRUE(make_file(root + L"\\x.", 2));
  ASSERT_TRUE(make_file(root + L"\\nul", 3));

  captured_scan run(true);
  run.scan.breakdown(root + L"\\x*");
  run.scan.breakdown(root + L"\\nu?");
  // A path typed by the user means what the system makes of it: "x." is x.
  run.scan.breakdown(root + L"\\x.");
  remove_entry(root + L"\\x.", false);
  remove_entry(root + L"\\nul", false);

  EXPECT_EQ(native_string::npos, run.out.str().find(L"Error")) << run.out.str();
  ASSERT_EQ(4u, run.scan.breakdowns.size());
  std::int64_t x_size = 0, x_dot_size = 0;
  for (const _scandata_breakdown_fileinfo& info : run.scan.breakdowns) {
    if (info.filename == root + L"\\x") x_size = info.file_size;
    if (info.filename == root + L"\\x." && x_dot_size == 0) x_dot_size = info.file_size;
  }
  EXPECT_EQ(1, x_size);
  EXPECT_EQ(2, x_dot_size);
  EXPECT_EQ(root + L"\\nul", run.scan.breakdowns[2].filename);
  EXPECT_EQ(3, run.scan.breakdowns[2].file_size);
  EXPECT_EQ(root + L"\\x.", run.scan.breakdowns[3].filename);
  EXPECT_EQ(1, run.scan.breakdowns[3].file_size);
}

}  // namespace

}  // namespace scan
