// The Windows listing and examination driven through fakes of the Win32
// calls (filesystem_calls() in filesystem-win32.h): a volume in memory that
// shows what wine and a test's own disk cannot (GetFileInformationByName,
// sharing violations, reparse tags of cloud and deduplicated files, 128-bit
// file IDs, listings that fail midway), and counts what every entry costs.
#include "fs/filesystem-win32.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "report/report_format.h"
#include "testing/report_test_util.h"
#include "scan/scandata.h"
#include "testing/scan_test_util.h"
#include "term/user_locale-win32.h"

namespace {

using platform::entry_facts;
using platform::examination;

const std::wstring top = L"\\\\?\\F:\\top";  // what the PATH F:\top resolves to

// One entry of the fake volume.
struct fake_file {
  DWORD attributes = FILE_ATTRIBUTE_ARCHIVE;
  DWORD reparse_tag = 0;
  std::uint64_t id_low = 0;
  std::uint64_t id_high = 0;
  DWORD links = 1;
  std::int64_t size = 0;
  std::int64_t allocated = 0;
  DWORD open_error = 0;     // CreateFileW fails with it
  DWORD by_name_error = 0;  // GetFileInformationByName fails with it
};

// What a path was asked, call by call.
struct calls_made {
  int by_name = 0;
  int open = 0;
  int queries = 0;  // GetFileInformationByHandleEx and GetFileInformationByHandle
  int close = 0;
  int searches = 0;  // FindFirstFileExW of the path itself, not of its entries
  int examination() const { return by_name + open + queries + close + searches; }
};

struct fake_volume {
  std::map<std::wstring, fake_file> entries;  // by system path
  bool has_file_id_info = true;
  // This directory's listing fails with `cut_error` after `cut_after`
  // records (its "." and ".." among them).
  std::wstring cut_in;
  std::size_t cut_after = 0;
  DWORD cut_error = ERROR_UNEXP_NET_ERR;

  std::map<std::wstring, calls_made> made;
  std::vector<std::wstring> listed;  // every directory listed, in order
  int listing_calls = 0;             // FindFirstFileExW of a pattern, FindNextFileW, FindClose
  int open_searches = 0;
  int open_files = 0;
  std::vector<std::wstring> opened;  // by handle, from 1

  void add(const std::wstring& relative, fake_file file) {
    entries[relative.empty() ? top : top + L"\\" + relative] = file;
  }
  void directory(const std::wstring& relative, std::uint64_t id) {
    fake_file d;
    d.attributes = FILE_ATTRIBUTE_DIRECTORY;
    d.id_low = id;
    add(relative, d);
  }
  void file(const std::wstring& relative, std::uint64_t id, std::int64_t size, DWORD links = 1) {
    fake_file f;
    f.id_low = id;
    f.size = size;
    f.allocated = (size + 4095) / 4096 * 4096;
    f.links = links;
    add(relative, f);
  }
  const calls_made& of(const std::wstring& relative) { return made[top + L"\\" + relative]; }
};

fake_volume* volume = nullptr;

struct fake_search {
  std::wstring directory;
  std::vector<std::pair<std::wstring, const fake_file*>> records;
  std::size_t next = 0;
};

void fill(WIN32_FIND_DATAW& record, const std::wstring& name, const fake_file& file) {
  std::memset(&record, 0, sizeof record);
  record.dwFileAttributes = file.attributes;
  if (file.attributes & FILE_ATTRIBUTE_REPARSE_POINT) record.dwReserved0 = file.reparse_tag;
  record.nFileSizeLow = static_cast<DWORD>(file.size);
  record.nFileSizeHigh = static_cast<DWORD>(file.size >> 32);
  name.copy(record.cFileName, name.size());
}

const fake_file* find(const std::wstring& path) {
  const auto found = volume->entries.find(path);
  return found == volume->entries.end() ? nullptr : &found->second;
}

HANDLE WINAPI fake_find_first(LPCWSTR pattern_text, FINDEX_INFO_LEVELS level, LPVOID data,
                              FINDEX_SEARCH_OPS, LPVOID, DWORD) {
  EXPECT_EQ(FindExInfoBasic, level);  // no short names asked for
  const std::wstring pattern = pattern_text;
  auto search = std::make_unique<fake_search>();
  if (pattern.size() > 2 && pattern.compare(pattern.size() - 2, 2, L"\\*") == 0) {
    ++volume->listing_calls;
    search->directory = pattern.substr(0, pattern.size() - 2);
    volume->listed.push_back(search->directory);
    const fake_file* directory = find(search->directory);
    if (!directory || !(directory->attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      SetLastError(ERROR_PATH_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    search->records.emplace_back(L".", directory);
    search->records.emplace_back(L"..", directory);
    const std::wstring prefix = search->directory + L"\\";
    for (const auto& [path, file] : volume->entries) {
      if (path.compare(0, prefix.size(), prefix) != 0) continue;
      const std::wstring name = path.substr(prefix.size());
      if (name.find(L'\\') == std::wstring::npos) search->records.emplace_back(name, &file);
    }
  } else {
    ++volume->made[pattern].searches;
    const fake_file* file = find(pattern);
    if (!file) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    search->records.emplace_back(pattern.substr(pattern.rfind(L'\\') + 1), file);
  }
  fill(*static_cast<WIN32_FIND_DATAW*>(data), search->records[0].first, *search->records[0].second);
  search->next = 1;
  ++volume->open_searches;
  return search.release();
}

BOOL WINAPI fake_find_next(HANDLE handle, LPWIN32_FIND_DATAW record) {
  ++volume->listing_calls;
  fake_search& search = *static_cast<fake_search*>(handle);
  if (search.directory == volume->cut_in && search.next == volume->cut_after) {
    SetLastError(volume->cut_error);
    return FALSE;
  }
  if (search.next == search.records.size()) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  fill(*record, search.records[search.next].first, *search.records[search.next].second);
  ++search.next;
  return TRUE;
}

BOOL WINAPI fake_find_close(HANDLE handle) {
  if (!static_cast<fake_search*>(handle)->directory.empty()) ++volume->listing_calls;
  delete static_cast<fake_search*>(handle);
  --volume->open_searches;
  return TRUE;
}

DWORD WINAPI fake_attributes(LPCWSTR path) {
  const fake_file* file = find(path);
  if (!file) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
  return file->attributes;
}

const ULONGLONG fake_serial = 0x0123456789abcdefull;

BOOL WINAPI fake_by_name(PCWSTR path, int information_class, PVOID buffer, ULONG size) {
  ++volume->made[path].by_name;
  EXPECT_EQ(3, information_class);  // FileStatBasicByNameInfo
  EXPECT_EQ(104u, size);
  const fake_file* file = find(path);
  if (!file || file->by_name_error) {
    SetLastError(file ? file->by_name_error : ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  platform::file_stat_basic_information information;
  std::memset(&information, 0, sizeof information);
  information.FileId.QuadPart = static_cast<LONGLONG>(file->id_low);
  information.AllocationSize.QuadPart = file->allocated;
  information.EndOfFile.QuadPart = file->size;
  information.FileAttributes = file->attributes;
  information.ReparseTag = file->reparse_tag;
  information.NumberOfLinks = file->links;
  information.VolumeSerialNumber.QuadPart = static_cast<LONGLONG>(fake_serial);
  std::memcpy(information.FileId128, &file->id_low, 8);
  std::memcpy(information.FileId128 + 8, &file->id_high, 8);
  std::memcpy(buffer, &information, sizeof information);
  return TRUE;
}

HANDLE WINAPI fake_open(LPCWSTR path, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD,
                        DWORD flags, HANDLE) {
  ++volume->made[path].open;
  EXPECT_EQ(static_cast<DWORD>(FILE_READ_ATTRIBUTES), access);
  const fake_file* file = find(path);
  if (!file || file->open_error) {
    SetLastError(file ? file->open_error : ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  // Only the link itself is ever opened, never what it leads to.
  EXPECT_TRUE(flags & FILE_FLAG_OPEN_REPARSE_POINT);
  volume->opened.push_back(path);
  ++volume->open_files;
  return reinterpret_cast<HANDLE>(volume->opened.size());
}

const std::wstring& path_of(HANDLE handle) {
  return volume->opened.at(reinterpret_cast<std::size_t>(handle) - 1);
}

BOOL WINAPI fake_by_handle(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS information_class,
                           LPVOID buffer, DWORD size) {
  const std::wstring& path = path_of(handle);
  ++volume->made[path].queries;
  const fake_file& file = *find(path);
  if (information_class == FileStandardInfo) {
    EXPECT_EQ(sizeof(FILE_STANDARD_INFO), size);
    FILE_STANDARD_INFO standard;
    std::memset(&standard, 0, sizeof standard);
    standard.AllocationSize.QuadPart = file.allocated;
    standard.EndOfFile.QuadPart = file.size;
    standard.NumberOfLinks = file.links;
    standard.Directory = (file.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    std::memcpy(buffer, &standard, sizeof standard);
    return TRUE;
  }
  if (information_class == platform::file_id_info && volume->has_file_id_info) {
    EXPECT_EQ(sizeof(platform::file_id_information), size);
    platform::file_id_information id;
    id.VolumeSerialNumber = fake_serial;
    std::memcpy(id.FileId, &file.id_low, 8);
    std::memcpy(id.FileId + 8, &file.id_high, 8);
    std::memcpy(buffer, &id, sizeof id);
    return TRUE;
  }
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

BOOL WINAPI fake_information(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION information) {
  const std::wstring& path = path_of(handle);
  ++volume->made[path].queries;
  const fake_file& file = *find(path);
  std::memset(information, 0, sizeof *information);
  information->dwFileAttributes = file.attributes;
  information->dwVolumeSerialNumber = static_cast<DWORD>(fake_serial);
  information->nFileIndexLow = static_cast<DWORD>(file.id_low);
  information->nFileIndexHigh = static_cast<DWORD>(file.id_low >> 32);
  information->nNumberOfLinks = file.links;
  information->nFileSizeLow = static_cast<DWORD>(file.size);
  information->nFileSizeHigh = static_cast<DWORD>(file.size >> 32);
  return TRUE;
}

BOOL WINAPI fake_close(HANDLE handle) {
  ++volume->made[path_of(handle)].close;
  --volume->open_files;
  return TRUE;
}

// Installs the fakes for the length of a test, the examination by name
// present or not.
class FilesystemCallsWin32Test : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = platform::filesystem_calls();
    volume = &volume_;
    install(true);
  }
  void TearDown() override {
    platform::filesystem_calls() = saved_;
    EXPECT_EQ(0, volume_.open_searches) << "a search left open";
    EXPECT_EQ(0, volume_.open_files) << "a handle left open";
    volume = nullptr;
  }

  void install(bool by_name) {
    platform::filesystem_calls() = {fake_find_first, fake_find_next, fake_find_close,
                                    fake_attributes,  by_name ? fake_by_name : nullptr,
                                    fake_open,        fake_by_handle, fake_information,
                                    fake_close};
  }

  // A scan of F:\top, verbose, with its report of every listing kept.
  struct scanned {
    captured_scan run{true};
    platform::native_string report;
  };
  std::unique_ptr<scanned> scan_top() {
    auto result = std::make_unique<scanned>();
    result->run.scan.scan_directory(L"F:\\top");
    report_test::report_stream stream;
    report::print_summary(stream.out, result->run.scan, {L"F:\\top"}, {1, 2});
    result->report = stream.out.str();
    return result;
  }

  fake_volume volume_;
  platform::filesystem_functions saved_;
};

// A small tree: two names of one file, files and directories two deep.
void plant_tree(fake_volume& v) {
  v.directory(L"", 100);
  v.file(L"a.txt", 101, 5, 2);
  v.file(L"b.txt", 101, 5, 2);  // a hard link of a.txt
  v.file(L"c.bin", 102, 10000);
  v.directory(L"sub", 103);
  v.file(L"sub\\d.txt", 104, 7);
  v.directory(L"sub\\deeper", 105);
  v.file(L"sub\\deeper\\e.txt", 106, 1);
}

const std::vector<std::wstring> tree_files = {L"a.txt", L"b.txt", L"c.bin", L"sub\\d.txt",
                                              L"sub\\deeper\\e.txt"};
const std::vector<std::wstring> tree_directories = {L"sub", L"sub\\deeper"};

// The calls an entry costs, besides those of the listings: one on the fast
// path, an open, two queries and a close on the handle path; and no entry
// is searched for again by its name. Before the listing record was the
// entry's record, a file cost a search, its close, an open, a query and a
// close.
TEST_F(FilesystemCallsWin32Test, EachEntryCostsOneCallOrOneHandleAskedTwice) {
  plant_tree(volume_);
  const std::unique_ptr<scanned> fast = scan_top();
  EXPECT_EQ(platform::native_string::npos, fast->run.out.str().find(L"Error")) << fast->run.out.str();
  EXPECT_EQ(5, fast->run.scan.files_total);
  EXPECT_EQ(2, fast->run.scan.dirs_total);
  EXPECT_EQ(4u, fast->run.scan.unique_files);
  EXPECT_EQ(10018, fast->run.scan.naive_size);
  EXPECT_EQ(10013, fast->run.scan.unique_size);
  for (const std::wstring& entry : tree_files) {
    const calls_made& made = volume_.of(entry);
    EXPECT_EQ(1, made.by_name) << entry;
    EXPECT_EQ(1, made.examination()) << entry;
  }
  for (const std::wstring& entry : tree_directories)
    EXPECT_EQ(1, volume_.of(entry).examination()) << entry;
  // Three directories listed, each with a first call, a next call for every
  // record after the first (the dots among them) and one that ends it, and
  // a close.
  EXPECT_EQ((std::vector<std::wstring>{top, top + L"\\sub", top + L"\\sub\\deeper"}),
            volume_.listed);
  EXPECT_EQ((1 + 6 + 1) + (1 + 4 + 1) + (1 + 3 + 1), volume_.listing_calls);

  // The handle path, where the system has no examination by name.
  volume_.made.clear();
  install(false);
  const std::unique_ptr<scanned> by_handle = scan_top();
  for (const std::wstring& entry : tree_files) {
    const calls_made& made = volume_.of(entry);
    EXPECT_EQ(0, made.by_name) << entry;
    EXPECT_EQ(1, made.open) << entry;
    EXPECT_EQ(2, made.queries) << entry;
    EXPECT_EQ(1, made.close) << entry;
  }
  for (const std::wstring& entry : tree_directories)
    EXPECT_EQ(4, volume_.of(entry).examination()) << entry;
  // The same report either way.
  EXPECT_EQ(fast->report, by_handle->report);
  EXPECT_EQ(fast->run.out.str(), by_handle->run.out.str());
}

// Both paths read the space an entry takes on disk, beside its length; a
// PATH or -F FILE, which no listing returned, is searched for on its own.
TEST_F(FilesystemCallsWin32Test, BothPathsReadTheAllocationSize) {
  plant_tree(volume_);
  for (const bool by_name : {true, false}) {
    install(by_name);
    volume_.made.clear();
    entry_facts facts;
    ASSERT_EQ(examination::examined, platform::examine_path(L"F:\\top\\c.bin", facts).outcome);
    EXPECT_EQ(10000, facts.size);
    EXPECT_EQ(12288, facts.allocated);
    EXPECT_EQ(1, facts.links);
    EXPECT_EQ(1, volume_.of(L"c.bin").searches);
    EXPECT_EQ(by_name ? 2 : 5, volume_.of(L"c.bin").examination());
  }
}

// pagefile.sys is held open by the system without sharing: it cannot be
// opened even for its attributes. The examination by name opens nothing,
// so there it is examined; on the handle path it stays a skipped entry
// with its error line.
TEST_F(FilesystemCallsWin32Test, AFileThatCannotBeOpenedIsExaminedByNameAndSkippedElse) {
  plant_tree(volume_);
  fake_file pagefile;
  pagefile.attributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
  pagefile.id_low = 200;
  pagefile.size = 1 << 20;
  pagefile.open_error = ERROR_SHARING_VIOLATION;
  volume_.add(L"pagefile.sys", pagefile);

  const std::unique_ptr<scanned> fast = scan_top();
  EXPECT_EQ(platform::native_string::npos, fast->run.out.str().find(L"Error")) << fast->run.out.str();
  EXPECT_EQ(0, fast->run.scan.files_skipped);
  EXPECT_EQ(10018 + (1 << 20), fast->run.scan.naive_size);

  install(false);
  const std::unique_ptr<scanned> by_handle = scan_top();
  EXPECT_EQ(1, by_handle->run.scan.files_skipped);
  EXPECT_EQ(1, by_handle->run.scan.scan_errors);
  EXPECT_EQ(10018, by_handle->run.scan.naive_size);
  EXPECT_NE(platform::native_string::npos,
            by_handle->run.out.str().find(L"Error opening \"F:\\top\\pagefile.sys\": 0x00000020"))
      << by_handle->run.out.str();
}

// Failures of the examination by name: one about the entry (access denied)
// sends that entry to the handle path; not found is final; a system whose
// call is a stub is not asked again in the run, and a volume that refuses
// it is not asked again in the walk.
TEST_F(FilesystemCallsWin32Test, TheExaminationByNameFallsBackToTheHandlePath) {
  plant_tree(volume_);
  volume_.entries[top + L"\\c.bin"].by_name_error = ERROR_ACCESS_DENIED;
  std::unique_ptr<scanned> run = scan_top();
  EXPECT_EQ(0, run->run.scan.files_skipped);
  EXPECT_EQ(1, volume_.of(L"c.bin").by_name);
  EXPECT_EQ(1, volume_.of(L"c.bin").open);
  EXPECT_EQ(0, volume_.of(L"a.txt").open);

  // Gone between the listing and the examination: not found, no open.
  volume_.made.clear();
  volume_.entries[top + L"\\c.bin"].by_name_error = ERROR_FILE_NOT_FOUND;
  run = scan_top();
  EXPECT_EQ(1, run->run.scan.files_skipped);
  EXPECT_EQ(0, volume_.of(L"c.bin").open);
  EXPECT_NE(platform::native_string::npos,
            run->run.out.str().find(L"Error finding \"F:\\top\\c.bin\": 0x00000002"));
  volume_.entries[top + L"\\c.bin"].by_name_error = 0;

  // A file system that does not implement it: asked once in a walk.
  volume_.made.clear();
  for (auto& [path, file] : volume_.entries) file.by_name_error = ERROR_INVALID_PARAMETER;
  run = scan_top();
  int asked = 0;
  for (const auto& [path, made] : volume_.made) asked += made.by_name;
  EXPECT_EQ(1, asked);
  EXPECT_EQ(0, run->run.scan.files_skipped);
  EXPECT_TRUE(platform::filesystem_calls().information_by_name);

  // A stub: asked once in the run, then never again.
  volume_.made.clear();
  for (auto& [path, file] : volume_.entries) file.by_name_error = ERROR_CALL_NOT_IMPLEMENTED;
  run = scan_top();
  run = scan_top();
  asked = 0;
  for (const auto& [path, made] : volume_.made) asked += made.by_name;
  EXPECT_EQ(1, asked);
  EXPECT_FALSE(platform::filesystem_calls().information_by_name);
  EXPECT_EQ(0, run->run.scan.files_skipped);
  EXPECT_EQ(4u, run->run.scan.unique_files);
}

// Only IO_REPARSE_TAG_SYMLINK makes a symbolic link; a junction, a cloud
// file's placeholder, a deduplicated file, a WSL link or socket are other
// reparse points. No reparse point is entered, and none is examined by
// name, which might look through it: each is opened as itself.
TEST_F(FilesystemCallsWin32Test, ReparseTagsTellTheKindAndNoReparsePointIsEntered) {
  volume_.directory(L"", 100);
  const struct {
    const wchar_t* name;
    DWORD tag;
    bool directory;
  } points[] = {
      {L"link.txt", IO_REPARSE_TAG_SYMLINK, false},
      {L"cloud.docx", 0x9000601Au, false},      // IO_REPARSE_TAG_CLOUD_6
      {L"dedup.iso", 0x80000013u, false},       // IO_REPARSE_TAG_DEDUP
      {L"wsl-link", 0xA000001Du, false},        // IO_REPARSE_TAG_LX_SYMLINK
      {L"wsl-socket", 0x80000023u, false},      // IO_REPARSE_TAG_AF_UNIX
      {L"dir-link", IO_REPARSE_TAG_SYMLINK, true},
      {L"junction", IO_REPARSE_TAG_MOUNT_POINT, true},
      {L"cloud-folder", 0x9000701Au, true},     // IO_REPARSE_TAG_CLOUD_7
  };
  std::uint64_t id = 300;
  for (const auto& point : points) {
    fake_file f;
    f.attributes = FILE_ATTRIBUTE_REPARSE_POINT |
                   (point.directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE);
    f.reparse_tag = point.tag;
    f.id_low = ++id;
    f.size = 3;
    volume_.add(point.name, f);
    // What lies behind a directory point is never listed.
    if (point.directory) volume_.file(std::wstring(point.name) + L"\\inside.txt", ++id, 1);
  }
  volume_.file(L"plain.txt", ++id, 1);

  const std::unique_ptr<scanned> run = scan_top();
  EXPECT_EQ(platform::native_string::npos, run->run.out.str().find(L"Error")) << run->run.out.str();
  EXPECT_EQ(6, run->run.scan.files_total);
  EXPECT_EQ(1, run->run.scan.files_normal);
  EXPECT_EQ(1, run->run.scan.files_symlink);
  EXPECT_EQ(4, run->run.scan.files_reparse);
  EXPECT_EQ(1, run->run.scan.dirs_symlink);
  EXPECT_EQ(2, run->run.scan.dirs_reparse);
  EXPECT_EQ(std::vector<std::wstring>{top}, volume_.listed);
  for (const auto& point : points) {
    EXPECT_EQ(0, volume_.of(point.name).by_name) << point.name;
    EXPECT_EQ(1, volume_.of(point.name).open) << point.name;
  }
  EXPECT_EQ(1, volume_.of(L"plain.txt").by_name);

  // A breakdown, which searches its FILE on its own, tells the same.
  run->run.scan.breakdown(L"F:\\top\\cloud.docx");
  run->run.scan.breakdown(L"F:\\top\\link.txt");
  ASSERT_EQ(2u, run->run.scan.breakdowns.size());
  EXPECT_EQ(platform::entry_kind::reparse, run->run.scan.breakdowns[0].kind);
  EXPECT_EQ(platform::entry_kind::symlink, run->run.scan.breakdowns[1].kind);
}

// Two files whose 64-bit indexes are the same, as ReFS may give them, are
// two files by their 128-bit IDs, on either path; a breakdown prints such
// an ID whole, and the 64-bit index of a file whose high half is 0 as ever.
TEST_F(FilesystemCallsWin32Test, FilesAreToldApartByTheir128BitIds) {
  volume_.directory(L"", 100);
  fake_file one;
  one.id_low = 0x4a2f;
  one.id_high = 0x1f;
  one.size = 3;
  fake_file two = one;
  two.id_high = 0x2e;
  fake_file narrow = one;
  narrow.id_high = 0;
  volume_.add(L"one", one);
  volume_.add(L"two", two);
  volume_.add(L"narrow", narrow);
  for (const bool by_name : {true, false}) {
    install(by_name);
    const std::unique_ptr<scanned> run = scan_top();
    EXPECT_EQ(3u, run->run.scan.unique_files) << by_name;
    EXPECT_EQ(9, run->run.scan.unique_size) << by_name;
    run->run.scan.breakdown(L"F:\\top\\two");
    run->run.scan.breakdown(L"F:\\top\\narrow");
    report_test::report_stream stream;
    report::print_breakdowns(stream.out, run->run.scan);
    const std::vector<platform::native_string> lines = report_test::lines_of(stream.out.str());
    ASSERT_EQ(18u, lines.size()) << stream.out.str();
    EXPECT_EQ(L"  Unique ID:  000000000000002e0000000000004a2f", lines[3]);
    EXPECT_EQ(L"  Unique ID:              4a2f", lines[12]);
  }
  // A volume without 128-bit IDs: the 64-bit index, from a third query.
  install(false);
  volume_.has_file_id_info = false;
  volume_.made.clear();
  const std::unique_ptr<scanned> run = scan_top();
  EXPECT_EQ(1u, run->run.scan.unique_files);
  EXPECT_EQ(3, volume_.of(L"one").queries);
  // Read by name or through that query, a file is the same file: the
  // volume is named alike by every call.
  entry_facts by_handle, by_name;
  ASSERT_EQ(examination::examined, platform::examine_path(L"F:\\top\\narrow", by_handle).outcome);
  install(true);
  ASSERT_EQ(examination::examined, platform::examine_path(L"F:\\top\\narrow", by_name).outcome);
  EXPECT_EQ(by_name.identity, by_handle.identity);
}

// A listing that fails midway is a scan error with the system's code, and
// the entries listed before the failure are walked all the same.
TEST_F(FilesystemCallsWin32Test, AListingCutShortIsAScanErrorThatKeepsWhatItListed) {
  plant_tree(volume_);
  volume_.cut_in = top + L"\\sub";
  volume_.cut_after = 3;  // ".", ".." and "d.txt"; "deeper" is never listed
  const std::unique_ptr<scanned> run = scan_top();
  EXPECT_EQ(1, run->run.scan.scan_errors);
  EXPECT_NE(platform::native_string::npos,
            run->run.out.str().find(L"Error searching \"F:\\top\\sub\": 0x0000003b"))
      << run->run.out.str();
  EXPECT_EQ(4, run->run.scan.files_total);
  EXPECT_EQ(1, run->run.scan.dirs_total);
  EXPECT_EQ(1, volume_.of(L"sub\\d.txt").by_name);
  EXPECT_EQ((std::vector<std::wstring>{top, top + L"\\sub"}), volume_.listed);

  // Cut short in the top directory, after "." and "..": nothing listed,
  // one error.
  volume_.listed.clear();
  volume_.cut_in = top;
  volume_.cut_after = 2;
  const std::unique_ptr<scanned> empty = scan_top();
  EXPECT_EQ(1, empty->run.scan.scan_errors);
  EXPECT_EQ(0, empty->run.scan.files_total);
}

// The space by directory through the Windows calls: a row for each
// directory listed down to the depth asked for, whichever path examined
// the entries, with the same figures; none for a listing cut short.
TEST_F(FilesystemCallsWin32Test, SpaceByDirectoryHasARowForEachDirectoryListed) {
  plant_tree(volume_);
  volume_.entries[top + L"\\c.bin"].links = 2;
  volume_.file(L"sub\\c-again.bin", 102, 10000, 2);  // a hard link of c.bin
  for (const bool by_name : {true, false}) {
    install(by_name);
    for (const scan::size_measure measure :
         {scan::size_measure::apparent, scan::size_measure::allocated}) {
      SCOPED_TRACE(std::string(by_name ? "by name, " : "by handle, ") +
                   (measure == scan::size_measure::allocated ? "allocated" : "apparent"));
      captured_scan run{true};
      run.scan.collect_directories(1);
      run.scan.measure_sizes(measure);
      run.scan.scan_paths({L"F:\\top"});
      EXPECT_EQ(platform::native_string::npos, run.out.str().find(L"Error")) << run.out.str();
      const std::vector<scan::_scandata_directory_row>& rows = run.scan.directories.rows;
      ASSERT_EQ(2u, rows.size());
      EXPECT_EQ(1, rows[1].depth);
      if (measure == scan::size_measure::allocated) {
        // Each file takes whole blocks of 4096 bytes.
        EXPECT_EQ(4096 + 12288 + 4096 + 4096, rows[0].unique_size());
        EXPECT_EQ(12288 + 4096 + 4096, rows[1].unique_size());
        EXPECT_EQ(4096 + 4096, rows[1].freed());
        continue;
      }
      // The rows' paths are checked by the report's lines.
      report_test::report_stream stream;
      report::print_space_by_directory(stream.out, run.scan);
      const std::vector<platform::native_string> lines = report_test::lines_of(stream.out.str());
      ASSERT_EQ(7u, lines.size()) << stream.out.str();
      EXPECT_EQ(L"Space by Directory", lines[1]);
      EXPECT_EQ(L"           6                10,013                10,013  F:\\top", lines[5]);
      // c.bin has a name in sub and one above: sub holds it, but frees it not.
      EXPECT_EQ(L"           3                10,008                     8  F:\\top\\sub", lines[6]);
    }
  }
  volume_.cut_in = top + L"\\sub";
  volume_.cut_after = 3;  // ".", ".." and "c-again.bin"
  captured_scan run{true};
  run.scan.collect_directories(3);
  run.scan.scan_paths({L"F:\\top"});
  // sub is not shown, but what was read of it counts in the top's row.
  ASSERT_EQ(2u, run.scan.directories.rows.size());
  EXPECT_FALSE(run.scan.directories.rows[1].shown);
  EXPECT_EQ(4, run.scan.directories.rows[0].files);
  EXPECT_EQ(10005, run.scan.directories.rows[0].unique_size());
}

// The space by path in order through the Windows calls: a PATH inside the
// next one, whose names that walk meets again count once, by the
// directories' identities, whichever path examined the entries.
TEST_F(FilesystemCallsWin32Test, SpaceInOrderCountsEachNameOnceAcrossNestedPaths) {
  plant_tree(volume_);
  volume_.entries[top + L"\\c.bin"].links = 2;
  volume_.file(L"sub\\c-again.bin", 102, 10000, 2);  // a hard link of c.bin
  const std::vector<platform::native_string> paths = {L"F:\\top\\sub", L"F:\\top"};
  for (const bool by_name : {true, false}) {
    SCOPED_TRACE(by_name ? "by name" : "by handle");
    install(by_name);
    captured_scan run{true};
    run.scan.space.enabled = true;
    run.scan.scan_paths(paths);
    EXPECT_EQ(platform::native_string::npos, run.out.str().find(L"Error")) << run.out.str();
    report_test::report_stream stream;
    report::print_space_in_order(stream.out, run.scan, paths);
    const std::vector<platform::native_string> lines = report_test::lines_of(stream.out.str());
    ASSERT_EQ(8u, lines.size()) << stream.out.str();
    EXPECT_EQ(L"Space by Path in Order", lines[1]);
    // sub adds c.bin, d.txt and e.txt, and frees the last two; the top
    // adds a.txt and, with sub, frees everything.
    EXPECT_EQ(L"          3                10,008            2                        8  F:\\top\\sub",
              lines[5]);
    EXPECT_EQ(L"          1                     5            4                   10,013  F:\\top",
              lines[6]);
    EXPECT_EQ(L"          4                10,013            4                   10,013  <all paths>",
              lines[7]);
  }
}

// -U through the Windows calls: the sizes of the summary and of both space
// sections in binary units with the settings' decimal point, in the
// columns of the bytes; counts and shares as they were.
TEST_F(FilesystemCallsWin32Test, SizesInUnitsTakeTheSettingsDecimalPoint) {
  plant_tree(volume_);
  volume_.entries[top + L"\\c.bin"].size = 2218901504;  // 2.1 GiB
  volume_.entries[top + L"\\c.bin"].links = 2;
  volume_.file(L"sub\\c-again.bin", 102, 2218901504, 2);
  captured_scan run{true};
  run.scan.space.enabled = true;
  run.scan.collect_directories(1);
  run.scan.scan_paths({L"F:\\top"});
  report_test::report_stream stream(platform::windows_number_locale(L".", L"3;0", L","));
  report::show_sizes_in_units(stream.out, true);
  report::print_summary(stream.out, run.scan, {L"F:\\top"}, {});
  report::print_space_by_path(stream.out, run.scan, {L"F:\\top"});
  report::print_space_by_directory(stream.out, run.scan);
  const platform::native_string report = stream.out.str();
  for (const wchar_t* line : {
           L"\nNaive file size:               4,1 GiB\n",
           L"\nUnique file size:              2,1 GiB ( 50%)\n",
           L"\nDifference:                    2,1 GiB ( 50%)\n",
           L"\n           6             4               2,1 GiB               2,1 GiB  F:\\top\n",
           L"\nHeld by names outside the paths:                  0 B (  0%)\n",
           L"\n           6               2,1 GiB               2,1 GiB  F:\\top\n",
           L"\n           3               2,1 GiB                   8 B  F:\\top\\sub\n",
       }) {
    EXPECT_NE(platform::native_string::npos, report.find(line)) << line << report;
  }
}

}  // namespace
