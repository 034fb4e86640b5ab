// The identity of a PATH on Windows: its volume serial number and file
// index, read from the directory opened through any link, as its listing
// lists the link's target.
#include "platform/path_identity.h"

#include <windows.h>

namespace platform {

bool path_identity(const native_string& path, file_identity& identity) {
  // A PATH beyond MAX_PATH is left unknown: the walk still walks it, and
  // only a repeat of it would count its names twice.
  if (path.size() >= MAX_PATH) return false;
  HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION information;
  const bool read = GetFileInformationByHandle(file, &information) != 0;
  CloseHandle(file);
  if (!read) return false;
  identity.volume = information.dwVolumeSerialNumber;
  identity.key = static_cast<std::int64_t>(
      (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow);
  return true;
}

}  // namespace platform
