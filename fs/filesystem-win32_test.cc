// The Windows file-system operations, on real directories in the temporary
// folder.
//
// Some systems that run Windows programs lack parts of the API (wine, for
// one, has no FindFirstFileNameW and creates no symbolic links); the tests
// ask the system what it has and expect accordingly.
#include "fs/filesystem-win32.h"

#include <windows.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "testing/current_directory_test_util-win32.h"
#include "names/link_names.h"

namespace {

using namespace platform;

// A fresh directory for each test, removed with everything in it.
class WindowsFileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    ASSERT_GT(length, 0u);
    static int serial = 0;
    root_ = std::wstring(temp, length) + L"twinfind-test-" +
            std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++serial);
    ASSERT_TRUE(CreateDirectoryW(root_.c_str(), nullptr)) << GetLastError();
  }

  void TearDown() override { remove_tree(root_); }

  std::wstring at(const std::wstring& relative) const { return root_ + L"\\" + relative; }

  // Made through the "\\?\" form, so that any depth can be built.
  static std::wstring prefixed(const std::wstring& path) { return L"\\\\?\\" + path; }

  void make_directory(const std::wstring& path) {
    ASSERT_TRUE(CreateDirectoryW(prefixed(path).c_str(), nullptr)) << GetLastError();
  }

  void make_file(const std::wstring& path, const std::string& content = std::string()) {
    HANDLE file = CreateFileW(prefixed(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file) << GetLastError();
    DWORD written = 0;
    WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(file);
    ASSERT_EQ(content.size(), written);
  }

  void make_hard_link(const std::wstring& link, const std::wstring& target) {
    ASSERT_TRUE(CreateHardLinkW(prefixed(link).c_str(), prefixed(target).c_str(), nullptr))
        << GetLastError();
  }

  static bool exists(const std::wstring& path) {
    return GetFileAttributesW(prefixed(path).c_str()) != INVALID_FILE_ATTRIBUTES;
  }

  // Never enters a reparse point: a link's target is not ours to delete.
  static void remove_tree(const std::wstring& path) {
    WIN32_FIND_DATAW record;
    HANDLE search = FindFirstFileW(prefixed(path + L"\\*").c_str(), &record);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        std::wstring name = record.cFileName;
        if (name == L"." || name == L"..") continue;
        std::wstring child = path + L"\\" + name;
        if (!(record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
          DeleteFileW(prefixed(child).c_str());
        } else if (record.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
          RemoveDirectoryW(prefixed(child).c_str());
        } else {
          remove_tree(child);
        }
      } while (FindNextFileW(search, &record));
      FindClose(search);
    }
    RemoveDirectoryW(prefixed(path).c_str());
  }

  std::wstring root_;
};

struct listed {
  std::wstring name;
  bool is_directory;
  bool is_reparse;
  bool operator==(const listed& other) const {
    return name == other.name && is_directory == other.is_directory &&
           is_reparse == other.is_reparse;
  }
};

std::vector<listed> entries_of(const directory_listing& listing) {
  std::vector<listed> entries;
  for (const listed_entry& entry : listing.entries) {
    entries.push_back({std::wstring(listing.name(entry)), entry.is_directory, entry.is_reparse});
  }
  return entries;
}

// The names of a directory in the order the system lists them.
std::vector<std::wstring> system_order(const std::wstring& directory) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW record;
  HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &record);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    std::wstring name = record.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(search, &record));
  FindClose(search);
  return names;
}

examination examine(const std::wstring& path, entry_facts& facts) {
  return examine_path(path, facts).outcome;
}

TEST_F(WindowsFileSystemTest, EnteringTellsDirectoriesFromFilesAndMissingPaths) {
  make_file(at(L"file.txt"));
  walk_cursor cursor;
  EXPECT_EQ(entering::entered, enter_directory(cursor, root_, L"", nullptr).outcome);
  EXPECT_EQ(1u, cursor.state->levels.size());
  EXPECT_EQ(entering::not_a_directory,
            enter_directory(cursor, at(L"file.txt"), L"file.txt", nullptr).outcome);
  const result<entering> gone = enter_directory(cursor, at(L"gone"), L"gone", nullptr);
  EXPECT_EQ(entering::no_attributes, gone.outcome);
  EXPECT_EQ(static_cast<error_code>(ERROR_FILE_NOT_FOUND), gone.error);
  EXPECT_EQ(1u, cursor.state->levels.size());
  leave_directory(cursor);
  EXPECT_TRUE(cursor.state->levels.empty());
}

TEST_F(WindowsFileSystemTest, ListingKeepsEveryEntryButDotAndDotDotInSystemOrder) {
  make_file(at(L"b.txt"));
  make_directory(at(L"sub"));
  make_file(at(L"a.txt"));
  make_directory(at(L".git"));  // a dot name that is an ordinary entry
  make_file(at(L"..."));
  make_file(at(L"sub\\inner.txt"));

  walk_cursor cursor;
  const directory_listing& listing = cursor.listing;
  ASSERT_EQ(entering::entered, enter_directory(cursor, root_, L"", nullptr).outcome);
  ASSERT_TRUE(list_directory(cursor, root_).outcome);
  std::vector<listed> entries = entries_of(listing);
  std::vector<std::wstring> names;
  for (const listed& entry : entries) names.push_back(entry.name);
  EXPECT_EQ(system_order(root_), names);

  std::map<std::wstring, listed> by_name;
  for (const listed& entry : entries) by_name[entry.name] = entry;
  ASSERT_EQ(5u, by_name.size());
  EXPECT_EQ((listed{L"a.txt", false, false}), by_name[L"a.txt"]);
  EXPECT_EQ((listed{L"b.txt", false, false}), by_name[L"b.txt"]);
  EXPECT_EQ((listed{L"...", false, false}), by_name[L"..."]);
  EXPECT_EQ((listed{L"sub", true, false}), by_name[L"sub"]);
  EXPECT_EQ((listed{L".git", true, false}), by_name[L".git"]);

  // The listing is reused: a smaller directory leaves nothing of the last.
  ASSERT_EQ(entering::entered,
            enter_directory(cursor, at(L"sub"), L"sub", nullptr).outcome);
  ASSERT_TRUE(list_directory(cursor, at(L"sub")).outcome);
  EXPECT_EQ((std::vector<listed>{{L"inner.txt", false, false}}), entries_of(listing));

  // The listing is that of the cursor's current directory.
  make_directory(at(L"empty"));
  leave_directory(cursor);
  ASSERT_EQ(entering::entered,
            enter_directory(cursor, at(L"empty"), L"empty", nullptr).outcome);
  ASSERT_TRUE(list_directory(cursor, at(L"empty")).outcome);
  EXPECT_TRUE(listing.entries.empty());
  EXPECT_TRUE(listing.names.empty());
}

TEST_F(WindowsFileSystemTest, ListingAVanishedDirectoryFails) {
  walk_cursor cursor;
  const result<> listed = list_directory(cursor, at(L"gone"));
  EXPECT_FALSE(listed.outcome);
  EXPECT_EQ(static_cast<error_code>(ERROR_PATH_NOT_FOUND), listed.error);
}

TEST_F(WindowsFileSystemTest, HardLinksShareIdentityLinkCountAndSize) {
  make_file(at(L"b.txt"), "hello");
  make_hard_link(at(L"a.txt"), at(L"b.txt"));
  make_file(at(L"c.txt"), "other file");
  make_directory(at(L"sub"));

  entry_facts a, b, c, sub;
  ASSERT_EQ(examination::examined, examine(at(L"a.txt"), a));
  ASSERT_EQ(examination::examined, examine(at(L"b.txt"), b));
  ASSERT_EQ(examination::examined, examine(at(L"c.txt"), c));
  ASSERT_EQ(examination::examined, examine(at(L"sub"), sub));

  EXPECT_EQ(a.identity, b.identity);
  EXPECT_FALSE(a.identity == c.identity);
  EXPECT_FALSE(a.identity == sub.identity);
  EXPECT_EQ(2, a.links);
  EXPECT_EQ(2, b.links);
  EXPECT_EQ(1, c.links);
  EXPECT_EQ(5, a.size);
  EXPECT_EQ(10, c.size);
  EXPECT_FALSE(a.is_directory);
  EXPECT_EQ(entry_kind::normal, a.kind);
  EXPECT_TRUE(sub.is_directory);
  EXPECT_EQ(entry_kind::normal, sub.kind);
}

TEST_F(WindowsFileSystemTest, SizesBeyondFourGigabytesKeepTheirHighPart) {
  HANDLE file = CreateFileW(at(L"big").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  // Sparse, so that no disk space is taken; where that is not supported
  // (wine's files are sparse anyway) the size is set all the same.
  DWORD returned = 0;
  DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
  LARGE_INTEGER size;
  size.QuadPart = (std::int64_t{5} << 30) + 3;
  bool sized = SetFilePointerEx(file, size, nullptr, FILE_BEGIN) && SetEndOfFile(file);
  CloseHandle(file);
  if (!sized) GTEST_SKIP() << "no room for a sparse file of 5 GiB here";

  entry_facts facts;
  ASSERT_EQ(examination::examined, examine(at(L"big"), facts));
  EXPECT_EQ(size.QuadPart, facts.size);
}

TEST_F(WindowsFileSystemTest, AVanishedEntryIsNotFound) {
  make_file(at(L"short-lived"));
  walk_cursor cursor;
  const directory_listing& listing = cursor.listing;
  ASSERT_EQ(entering::entered, enter_directory(cursor, root_, L"", nullptr).outcome);
  ASSERT_TRUE(list_directory(cursor, root_).outcome);
  ASSERT_EQ(1u, listing.entries.size());
  ASSERT_TRUE(DeleteFileW(at(L"short-lived").c_str()));

  entry_facts facts;
  const result<examination> examined =
      examine_entry(cursor, at(L"short-lived"), listing.entries[0], facts);
  EXPECT_EQ(examination::not_found, examined.outcome);
  EXPECT_EQ(static_cast<error_code>(ERROR_FILE_NOT_FOUND), examined.error);
  EXPECT_EQ(examination::not_found, examine_path(at(L"gone\\deeper"), facts).outcome);
}

TEST_F(WindowsFileSystemTest, SymbolicLinksAreExaminedAsThemselves) {
  make_file(at(L"target.txt"), "target");
  make_directory(at(L"target-dir"));
  // Unprivileged creation needs developer mode; older systems refuse the
  // flag, and some create nothing at all while reporting success.
  const DWORD unprivileged = 0x2;  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
  for (DWORD flags : {unprivileged, DWORD{0}}) {
    CreateSymbolicLinkW(at(L"file-link").c_str(), at(L"target.txt").c_str(), flags);
    CreateSymbolicLinkW(at(L"dir-link").c_str(), at(L"target-dir").c_str(),
                        flags | SYMBOLIC_LINK_FLAG_DIRECTORY);
  }
  if (!exists(at(L"file-link")) || !exists(at(L"dir-link"))) {
    GTEST_SKIP() << "symbolic links cannot be created here";
  }

  entry_facts target, file_link, dir_link;
  ASSERT_EQ(examination::examined, examine(at(L"target.txt"), target));
  ASSERT_EQ(examination::examined, examine(at(L"file-link"), file_link));
  ASSERT_EQ(examination::examined, examine(at(L"dir-link"), dir_link));
  EXPECT_EQ(entry_kind::symlink, file_link.kind);
  EXPECT_FALSE(file_link.is_directory);
  EXPECT_FALSE(file_link.identity == target.identity);
  EXPECT_EQ(entry_kind::symlink, dir_link.kind);
  EXPECT_TRUE(dir_link.is_directory);

  walk_cursor cursor;
  const directory_listing& listing = cursor.listing;
  ASSERT_EQ(entering::entered, enter_directory(cursor, root_, L"", nullptr).outcome);
  ASSERT_TRUE(list_directory(cursor, root_).outcome);
  for (const listed_entry& entry : listing.entries) {
    EXPECT_EQ(listing.name(entry).find(L"link") != std::wstring::npos, entry.is_reparse);
  }
}

// Paths of MAX_PATH characters and more, as a deep tree gives them.
class LongPathTest : public WindowsFileSystemTest {
 protected:
  void SetUp() override {
    WindowsFileSystemTest::SetUp();
    deep_ = root_;
    relative_deep_.clear();
    const std::wstring level(50, L'x');
    for (int i = 0; i < 7; ++i) {
      deep_ += L"\\" + level;
      relative_deep_ += (i ? L"\\" : L"") + level;
      make_directory(deep_);
    }
    ASSERT_GT(deep_.size(), static_cast<std::size_t>(MAX_PATH));
    make_file(deep_ + L"\\one.txt", "deep");
    make_hard_link(deep_ + L"\\two.txt", deep_ + L"\\one.txt");
  }

  std::wstring deep_;
  std::wstring relative_deep_;  // from the root, also beyond MAX_PATH
};

TEST_F(LongPathTest, ADeepTreeIsWalkedThroughItsPlainPaths) {
  walk_cursor cursor;
  const directory_listing& listing = cursor.listing;
  ASSERT_EQ(entering::entered, enter_directory(cursor, deep_, L"", nullptr).outcome);
  ASSERT_TRUE(list_directory(cursor, deep_).outcome);
  ASSERT_EQ(2u, listing.entries.size());

  entry_facts one, two;
  ASSERT_EQ(examination::examined,
            examine_entry(cursor, deep_ + L"\\one.txt", listing.entries[0], one).outcome);
  ASSERT_EQ(examination::examined, examine(deep_ + L"\\two.txt", two));
  EXPECT_EQ(one.identity, two.identity);
  EXPECT_EQ(2, one.links);
  EXPECT_EQ(4, one.size);

  std::vector<pattern_match> matches;
  ASSERT_TRUE(find_pattern_matches(deep_ + L"\\*.txt", matches).outcome);
  EXPECT_EQ(2u, matches.size());
}

TEST_F(LongPathTest, LongPathsAreParsedAsShortOnesWould) {
  // A PATH given with a trailing backslash doubles the one before each
  // name; the prefixed form alone would reject that.
  entry_facts facts;
  EXPECT_EQ(examination::examined, examine(deep_ + L"\\\\one.txt", facts));
  EXPECT_EQ(examination::examined, examine(deep_ + L"\\.\\one.txt", facts));

  const current_directory here(root_);
  ASSERT_TRUE(here.set());
  ASSERT_GT(relative_deep_.size(), static_cast<std::size_t>(MAX_PATH));
  EXPECT_EQ(examination::examined, examine(relative_deep_ + L"\\one.txt", facts));
}

TEST_F(WindowsFileSystemTest, PatternsListEveryMatchInSearchOrder) {
  make_file(at(L"a.txt"));
  make_file(at(L"b.txt"));
  make_file(at(L"c.log"));
  make_directory(at(L"d.txt"));

  std::vector<pattern_match> matches;
  ASSERT_TRUE(find_pattern_matches(at(L"*.txt"), matches).outcome);
  std::map<std::wstring, bool> found;
  for (const pattern_match& match : matches) found[match.name] = match.is_directory;
  EXPECT_EQ((std::map<std::wstring, bool>{{L"a.txt", false}, {L"b.txt", false},
                                          {L"d.txt", true}}),
            found);
  EXPECT_EQ(3u, matches.size());

  // Reused: nothing of the last search remains.
  ASSERT_TRUE(find_pattern_matches(at(L"?.log"), matches).outcome);
  ASSERT_EQ(1u, matches.size());
  EXPECT_EQ(L"c.log", matches[0].name);

  result<> search = find_pattern_matches(at(L"*.none"), matches);
  EXPECT_FALSE(search.outcome);
  EXPECT_EQ(static_cast<error_code>(ERROR_FILE_NOT_FOUND), search.error);
  search = find_pattern_matches(at(L"gone\\*.txt"), matches);
  EXPECT_FALSE(search.outcome);
  EXPECT_NE(0u, search.error);
}

TEST(JoinPatternMatchTest, JoinsToTheDirectoryAsThePatternWroteIt) {
  EXPECT_EQ(L"C:\\data\\a.txt", join_pattern_match(L"C:\\data\\*.txt", L"a.txt"));
  EXPECT_EQ(L"C:\\a.txt", join_pattern_match(L"C:\\*.txt", L"a.txt"));
  EXPECT_EQ(L"data\\\\a.txt", join_pattern_match(L"data\\\\*", L"a.txt"));
  EXPECT_EQ(L"\\\\server\\share\\a.txt", join_pattern_match(L"\\\\server\\share\\?.txt", L"a.txt"));
  EXPECT_EQ(L"a.txt", join_pattern_match(L"*.txt", L"a.txt"));
  EXPECT_EQ(L"C:a.txt", join_pattern_match(L"C:*.txt", L"a.txt"));
  EXPECT_EQ(L"C:/data\\a.txt", join_pattern_match(L"C:/data/*.txt", L"a.txt"));
}

TEST_F(WindowsFileSystemTest, JoinedMatchesNameTheFilesThatMatched) {
  make_file(at(L"sub.txt"), "1");
  // Relative to the current directory, alone and after the drive's colon.
  const std::wstring drive = root_.substr(0, 2);
  std::vector<std::wstring> joined;
  std::vector<examination> outcomes;
  {
    const current_directory here(root_);
    ASSERT_TRUE(here.set());
    for (const std::wstring& pattern : {std::wstring(L"*.txt"), drive + L"*.txt",
                                        root_ + L"\\*.txt", root_ + L"/*.txt"}) {
      std::vector<pattern_match> matches;
      if (!find_pattern_matches(pattern, matches).outcome || matches.size() != 1) {
        joined.push_back(L"no match for " + pattern);
        continue;
      }
      joined.push_back(join_pattern_match(pattern, matches[0].name));
    }
    for (const std::wstring& path : joined) {
      entry_facts facts;
      outcomes.push_back(examine(path, facts));
    }
  }

  ASSERT_EQ(4u, joined.size());
  EXPECT_EQ(L"sub.txt", joined[0]);
  EXPECT_EQ(drive + L"sub.txt", joined[1]);
  EXPECT_EQ(at(L"sub.txt"), joined[2]);
  EXPECT_EQ(root_ + L"\\sub.txt", joined[3]);
  for (examination outcome : outcomes) EXPECT_EQ(examination::examined, outcome);
}

bool system_lists_link_names() {
  HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  return kernel32 && GetProcAddress(kernel32, "FindFirstFileNameW") != nullptr;
}

// Every name ends in the file's own name, with no NUL left at its end.
void expect_names(const std::vector<native_string>& names,
                  const std::vector<std::wstring>& endings) {
  ASSERT_EQ(endings.size(), names.size());
  for (const std::wstring& ending : endings) {
    bool seen = false;
    for (const native_string& name : names) {
      ASSERT_FALSE(name.empty());
      EXPECT_EQ(L'\\', name[0]) << name;  // from the volume's root, no drive
      EXPECT_EQ(std::wstring::npos, name.find(L'\0'));
      if (name.size() >= ending.size() &&
          name.compare(name.size() - ending.size(), ending.size(), ending) == 0) {
        seen = true;
      }
    }
    EXPECT_TRUE(seen) << "no name ends in " << ending;
  }
}

TEST_F(WindowsFileSystemTest, LinkNamesListEveryNameOfTheFile) {
  make_file(at(L"b.txt"), "x");
  make_hard_link(at(L"a.txt"), at(L"b.txt"));
  make_file(at(L"single.txt"));
  const std::wstring paths[] = {at(L"b.txt"), at(L"gone.txt"), at(L"single.txt")};
  std::vector<link_name_request> requests(3);
  for (int i = 0; i < 3; ++i) requests[i].path = paths[i];
  link_name_lists lists(1, std::vector<native_string>{L"stale"});
  find_link_names(requests, lists);
  // Identity 0 (no facts given) shares no list: each request has its own.
  ASSERT_EQ(4u, lists.size());
  EXPECT_EQ(1u, requests[0].names);
  EXPECT_EQ(3u, requests[2].names);
  EXPECT_TRUE(lists[requests[1].names].empty());
  if (!system_lists_link_names()) {
    // Without the calls the names stay empty, and nothing breaks.
    EXPECT_TRUE(lists[requests[0].names].empty());
    EXPECT_TRUE(lists[requests[2].names].empty());
    return;
  }
  const std::wstring leaf = root_.substr(root_.rfind(L'\\'));
  expect_names(lists[requests[0].names], {leaf + L"\\a.txt", leaf + L"\\b.txt"});
  expect_names(lists[requests[2].names], {leaf + L"\\single.txt"});
}

TEST_F(LongPathTest, LinkNamesLongerThanMaxPathAreKept) {
  make_file(at(L"short.txt"), "x");
  make_hard_link(deep_ + L"\\long.txt", at(L"short.txt"));
  const std::wstring paths[] = {deep_ + L"\\one.txt", at(L"short.txt")};
  std::vector<link_name_request> requests(2);
  requests[0].path = paths[0];  // both names long
  requests[1].path = paths[1];  // a short name, then a long one
  link_name_lists lists;
  find_link_names(requests, lists);
  if (!system_lists_link_names()) {
    EXPECT_TRUE(lists[requests[0].names].empty());
    return;
  }
  const std::wstring leaf = root_.substr(root_.rfind(L'\\'));
  const std::wstring tail = leaf + L"\\" + relative_deep_;
  expect_names(lists[requests[0].names], {tail + L"\\one.txt", tail + L"\\two.txt"});
  expect_names(lists[requests[1].names], {leaf + L"\\short.txt", tail + L"\\long.txt"});
  for (const native_string& name : lists[requests[0].names]) EXPECT_GT(name.size(), 260u);
}

}  // namespace
