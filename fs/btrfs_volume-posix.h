// What btrfs tells of itself through its own calls, for counting shared
// extents (-E): which file system a subvolume belongs to, and how long a
// file's compressed extents are on disk.
#ifndef TWINFIND_FS_BTRFS_VOLUME_POSIX_H_
#define TWINFIND_FS_BTRFS_VOLUME_POSIX_H_

#include <cstdint>
#include <vector>

#include "fs/filesystem.h"

namespace platform {

// The file system id of the btrfs that `fd` (anything open on it) lies on,
// the same in every subvolume; false where the call fails (not btrfs).
// Needs no privilege.
bool btrfs_file_system_id(int fd, address_space& id);

// One compressed extent of a file: where it starts and its length on disk.
struct compressed_length {
  std::uint64_t start = 0;
  std::uint64_t on_disk = 0;
};

// The compressed extents of the file open at `fd`, inode `inode`, read
// from its file extent items, sorted by start. Fails where the call is
// refused: it needs CAP_SYS_ADMIN.
result<> btrfs_compressed_lengths(int fd, std::uint64_t inode,
                                  std::vector<compressed_length>& lengths);

}  // namespace platform

#endif  // TWINFIND_FS_BTRFS_VOLUME_POSIX_H_
