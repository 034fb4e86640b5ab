// The search for a file's names on Windows, driven through fakes of
// FindFirstFileNameW and FindNextFileNameW: wine has neither, and a real
// volume rarely shows what the search must cope with.
#include "names/link_names-win32.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fs/filesystem.h"
#include "names/link_names.h"
#include "report/report_format.h"
#include "testing/report_test_util.h"
#include "scan/scandata.h"
#include "testing/test_tree.h"

namespace {

// What the fake volume lists, and what the search asked of it.
struct fake_volume {
  std::vector<std::wstring> names;
  std::size_t fails_at = SIZE_MAX;  // the listing fails here, ERROR_ACCESS_DENIED
  DWORD first_error = 0;            // when set, the first call fails with it
  DWORD claimed_need = 0;           // when set, every reply for more room claims this
  std::size_t next = 0;
  std::vector<std::wstring> targets;  // the paths searched
  int more_data_replies = 0;
  int closes = 0;
};

fake_volume* volume = nullptr;
HANDLE const fake_search = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x7a11));

// Like the real calls: too small a buffer gets ERROR_MORE_DATA and the
// length needed, here without the terminating NUL, the least a caller must
// expect; a name that fits is written with its NUL, and the length says so.
BOOL reply(DWORD* length, wchar_t* buffer) {
  const std::wstring& name = volume->names[volume->next];
  if (*length < name.size() + 1) {
    *length = volume->claimed_need ? volume->claimed_need : static_cast<DWORD>(name.size());
    ++volume->more_data_replies;
    SetLastError(ERROR_MORE_DATA);
    return FALSE;
  }
  name.copy(buffer, name.size());
  buffer[name.size()] = L'\0';
  *length = static_cast<DWORD>(name.size() + 1);
  ++volume->next;
  return TRUE;
}

HANDLE WINAPI fake_find_first(LPCWSTR path, DWORD, LPDWORD length, PWSTR buffer) {
  volume->targets.push_back(path);
  volume->next = 0;
  if (volume->first_error || volume->names.empty()) {
    SetLastError(volume->first_error ? volume->first_error : ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  return reply(length, buffer) ? fake_search : INVALID_HANDLE_VALUE;
}

BOOL WINAPI fake_find_next(HANDLE search, LPDWORD length, PWSTR buffer) {
  EXPECT_EQ(fake_search, search);
  if (volume->next == volume->fails_at) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (volume->next == volume->names.size()) {
    SetLastError(ERROR_HANDLE_EOF);
    return FALSE;
  }
  return reply(length, buffer);
}

BOOL WINAPI fake_close(HANDLE search) {
  EXPECT_EQ(fake_search, search);
  ++volume->closes;
  return TRUE;
}

// Installs the fakes for the length of a test.
class LinkNamesWin32Test : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = platform::link_name_calls();
    platform::link_name_calls() = {fake_find_first, fake_find_next, fake_close};
    volume = &volume_;
  }
  void TearDown() override {
    platform::link_name_calls() = saved_;
    volume = nullptr;
  }

  // The names found for one request of `path`.
  std::vector<platform::native_string> names_of(const std::wstring& path) {
    std::vector<platform::link_name_request> requests(1);
    requests[0].path = path;
    platform::link_name_lists lists;
    platform::find_link_names(requests, lists);
    return lists.at(requests[0].names);
  }

  fake_volume volume_;
  platform::link_name_functions saved_;
};

std::wstring long_name(wchar_t letter, std::size_t length) {
  return L"\\" + std::wstring(length - 1, letter);
}

TEST_F(LinkNamesWin32Test, ManyNamesAndNamesBeyondMaxPathAreAllKept) {
  // The first name does not fit the first buffer, and a later one does not
  // fit the grown buffer either: each is asked for again with more room.
  volume_.names.push_back(long_name(L'a', 300));
  for (int i = 0; i < 60; ++i) volume_.names.push_back(L"\\dir\\name" + std::to_wstring(i));
  volume_.names.push_back(long_name(L'b', 1000));
  volume_.names.push_back(L"\\last");
  const std::vector<platform::native_string> names = names_of(L"C:\\dir\\name0");
  EXPECT_EQ(volume_.names, names);
  EXPECT_EQ(2, volume_.more_data_replies);
  EXPECT_EQ(1, volume_.closes);
  // The first call twice, each time with the system form of the path.
  EXPECT_EQ((std::vector<std::wstring>(2, L"\\\\?\\C:\\dir\\name0")), volume_.targets);
}

TEST_F(LinkNamesWin32Test, AFailureInMidListKeepsTheNamesBeforeIt) {
  volume_.names = {L"\\a", L"\\b", L"\\c", L"\\d"};
  volume_.fails_at = 2;
  EXPECT_EQ((std::vector<platform::native_string>{L"\\a", L"\\b"}), names_of(L"C:\\a"));
  EXPECT_EQ(1, volume_.closes);

  // Failing at once leaves no names and no search to close; the next
  // request is searched all the same.
  volume_ = fake_volume();
  volume_.names = {L"\\a"};
  volume_.first_error = ERROR_ACCESS_DENIED;
  std::vector<platform::link_name_request> requests(2);
  requests[0].path = L"C:\\denied";
  requests[1].path = L"C:\\other";
  // The lists found before stay as they are; each request gets its own.
  platform::link_name_lists lists(1, std::vector<platform::native_string>{L"\\earlier"});
  platform::find_link_names(requests, lists);
  ASSERT_EQ(3u, lists.size());
  EXPECT_EQ(std::vector<platform::native_string>{L"\\earlier"}, lists[0]);
  EXPECT_EQ(1u, requests[0].names);
  EXPECT_EQ(2u, requests[1].names);
  EXPECT_TRUE(lists[1].empty());
  EXPECT_TRUE(lists[2].empty());
  EXPECT_EQ(2u, volume_.targets.size());
  EXPECT_EQ(0, volume_.closes);
}

TEST_F(LinkNamesWin32Test, RepliesThatCannotBeMetEndTheSearchInsteadOfSpinning) {
  volume_.names = {long_name(L'a', 400)};
  volume_.claimed_need = 100;  // less than the buffer already has
  EXPECT_TRUE(names_of(L"C:\\a").empty());
  EXPECT_EQ(1, volume_.more_data_replies);

  volume_ = fake_volume();
  volume_.names = {long_name(L'a', 400)};
  volume_.claimed_need = 0xFFFFFFF0u;  // no name is that long
  EXPECT_TRUE(names_of(L"C:\\a").empty());
  EXPECT_EQ(1, volume_.more_data_replies);
}

TEST_F(LinkNamesWin32Test, TheBreakdownBlockListsEveryNameFound) {
  test_tree tree;
  tree.file("f.txt", 5);
  volume_.names = {long_name(L'x', 300), L"\\data\\f.txt", L"\\data\\copy.txt"};

  captured_scan run(true);
  run.scan.breakdown(tree.path("f.txt"));
  run.scan.find_breakdown_names();
  report_test::report_stream stream;
  report::print_breakdowns(stream.out, run.scan);

  EXPECT_EQ((std::vector<std::wstring>(2, L"\\\\?\\" + tree.path("f.txt"))), volume_.targets);
  const std::vector<platform::native_string> lines = report_test::lines_of(stream.out.str());
  ASSERT_EQ(12u, lines.size()) << stream.out.str();
  EXPECT_EQ(L"Breakdown for \"" + tree.path("f.txt") + L"\"", lines[1]);
  EXPECT_EQ(L"  Unique file size:          5 bytes", lines[6]);
  EXPECT_EQ(L"  Filenames:", lines[8]);
  EXPECT_EQ(L"    " + volume_.names[0], lines[9]);
  EXPECT_EQ(L"    \\data\\f.txt", lines[10]);
  EXPECT_EQ(L"    \\data\\copy.txt", lines[11]);
}

}  // namespace
