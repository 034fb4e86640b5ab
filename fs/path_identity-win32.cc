// The identity of a PATH on Windows: its volume serial number and file ID,
// read from the directory opened through any link, as its listing lists the
// link's target, and read as the examination of an entry reads it.
#include "fs/path_identity.h"

#include <windows.h>

#include "fs/filesystem-win32.h"

namespace platform {

bool path_identity(const native_string& path, file_identity& identity) {
  // A PATH beyond MAX_PATH is left unknown: the walk still walks it, and
  // only a repeat of it would count its names twice.
  if (path.size() >= MAX_PATH) return false;
  const filesystem_functions& calls = filesystem_calls();
  const HANDLE file = calls.open(path.c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool known = handle_identity(file, identity);
  calls.close(file);
  return known;
}

}  // namespace platform
