// The identity of the directory a PATH names, as a walk of it would enter
// it: a link in the last component is followed, as the walk follows it at
// the top. For the space by path, which must know a directory met again
// through another spelling; the walk itself learns the identities of the
// directories below a PATH as it examines them.
#ifndef TWINFIND_FS_PATH_IDENTITY_H_
#define TWINFIND_FS_PATH_IDENTITY_H_

#include "fs/filesystem.h"

namespace platform {

// False when the PATH cannot be read; nothing is reported.
bool path_identity(const native_string& path, file_identity& identity);

}  // namespace platform

#endif  // TWINFIND_FS_PATH_IDENTITY_H_
