// The identity of a PATH on Windows: its volume serial number and file
// index, read from the directory opened through any link, as its listing
// lists the link's target.
#include "platform/path_identity.h"

#include <windows.h>

#include "platform/owners-win32.h"

namespace platform {

bool path_identity(const native_string& path, file_identity& identity) {
  // A PATH beyond MAX_PATH is left unknown: the walk still walks it, and
  // only a repeat of it would count its names twice.
  if (path.size() >= MAX_PATH) return false;
  const unique_handle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                       nullptr));
  BY_HANDLE_FILE_INFORMATION information;
  if (!file.valid() || !GetFileInformationByHandle(file.get(), &information)) return false;
  identity.volume = information.dwVolumeSerialNumber;
  identity.key = static_cast<std::int64_t>(
      (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow);
  return true;
}

}  // namespace platform
