// What a walk keeps on Windows (see walk_state in filesystem.h), and the
// Win32 calls the Windows half lists and examines with, for that half and
// its tests.
#ifndef TWINFIND_FS_FILESYSTEM_WIN32_H_
#define TWINFIND_FS_FILESYSTEM_WIN32_H_

#include <windows.h>

#include <cstddef>
#include <vector>

#include "fs/filesystem.h"

namespace platform {

// One directory the walk is inside of.
struct walk_level {
  std::size_t system_length = 0;  // of its system form, in `system_path`
};

struct walk_state {
  std::vector<walk_level> levels;
  // The system form ("\\?\" and the full path) of the current directory,
  // with an entry's name appended while that entry is looked at: one buffer
  // for the whole walk, as the path is.
  native_string system_path;
  // The volume refused the examination by name (a file system that does
  // not implement it): the walk never leaves its volume, so it asks no more.
  bool by_name_refused = false;
};

// What GetFileInformationByName returns for FileStatBasicByNameInfo, laid
// out as Microsoft documents FILE_STAT_BASIC_INFORMATION: mingw's headers
// do not have it yet.
struct file_stat_basic_information {
  LARGE_INTEGER FileId;
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  LARGE_INTEGER ChangeTime;
  LARGE_INTEGER AllocationSize;
  LARGE_INTEGER EndOfFile;
  ULONG FileAttributes;
  ULONG ReparseTag;
  ULONG NumberOfLinks;
  ULONG DeviceType;
  ULONG DeviceCharacteristics;
  ULONG Reserved;
  LARGE_INTEGER VolumeSerialNumber;
  BYTE FileId128[16];  // FILE_ID_128
};
static_assert(sizeof(file_stat_basic_information) == 104, "the documented layout");

// The FILE_INFO_BY_NAME_CLASS of that structure: the fourth of the
// enumeration, after FileStatByNameInfo, FileStatLxByNameInfo and
// FileCaseSensitiveByNameInfo.
const int file_stat_basic_by_name_info = 3;

// FILE_ID_INFO and its FILE_INFO_BY_HANDLE_CLASS, FileIdInfo: Windows 8 and
// later, which the headers hide from a program that also runs on Windows 7.
struct file_id_information {
  ULONGLONG VolumeSerialNumber;
  BYTE FileId[16];  // FILE_ID_128
};
const FILE_INFO_BY_HANDLE_CLASS file_id_info = static_cast<FILE_INFO_BY_HANDLE_CLASS>(18);

// The calls the Windows half lists and examines entries with. Tests install
// calls of their own here, to reach what wine and a test's own disk cannot
// show: the examination by name, sharing violations, reparse tags of cloud
// files, 128-bit file IDs, listings that fail midway; and to count the calls
// an entry costs.
struct filesystem_functions {
  // FindFirstFileExW, FindNextFileW and FindClose: the listings and the
  // one-entry searches.
  HANDLE(WINAPI* find_first)(LPCWSTR, FINDEX_INFO_LEVELS, LPVOID, FINDEX_SEARCH_OPS, LPVOID,
                             DWORD) = nullptr;
  BOOL(WINAPI* find_next)(HANDLE, LPWIN32_FIND_DATAW) = nullptr;
  BOOL(WINAPI* find_close)(HANDLE) = nullptr;
  // GetFileAttributesW: a directory about to be entered.
  DWORD(WINAPI* attributes)(LPCWSTR) = nullptr;
  // GetFileInformationByName (Windows 11 24H2 and later; null elsewhere).
  BOOL(WINAPI* information_by_name)(PCWSTR, int, PVOID, ULONG) = nullptr;
  // CreateFileW, GetFileInformationByHandleEx, GetFileInformationByHandle
  // (where a volume has no FileIdInfo) and CloseHandle: the handle path.
  HANDLE(WINAPI* open)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                       HANDLE) = nullptr;
  BOOL(WINAPI* information_by_handle)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID,
                                      DWORD) = nullptr;
  BOOL(WINAPI* information)(HANDLE, LPBY_HANDLE_FILE_INFORMATION) = nullptr;
  BOOL(WINAPI* close)(HANDLE) = nullptr;
};

// The calls the Windows half makes: kernel32's, looked up on first use, or
// whatever was assigned here since. `information_by_name` is set to null
// for the rest of the run once the system says it does not implement it.
filesystem_functions& filesystem_calls();

// The identity of the entry open as `file`: its volume serial number and
// 128-bit file ID where the volume has them (FileIdInfo), else the 64-bit
// file index (GetFileInformationByHandle). False when neither is there.
bool handle_identity(HANDLE file, file_identity& identity);

}  // namespace platform

#endif  // TWINFIND_FS_FILESYSTEM_WIN32_H_
