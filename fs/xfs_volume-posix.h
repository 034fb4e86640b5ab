// What xfs tells of itself, for counting what deleting frees under -E: the
// size of its inodes, which it allocates in chunks of 64 and frees a chunk
// at a time, when the last of its inodes goes.
#ifndef TWINFIND_FS_XFS_VOLUME_POSIX_H_
#define TWINFIND_FS_XFS_VOLUME_POSIX_H_

#include <cstdint>

namespace platform {

// The inodes of one chunk.
constexpr std::uint64_t kXfsInodesPerChunk = 64;

// The size in bytes of an inode of the xfs that `fd` (anything open on it)
// lies on, from its geometry; false where the call fails (not xfs). Needs
// no privilege.
bool xfs_inode_size(int fd, std::uint32_t& bytes);

}  // namespace platform

#endif  // TWINFIND_FS_XFS_VOLUME_POSIX_H_
