// The xfs geometry call. Only Linux has it; elsewhere it fails, and no
// inode chunk counts.
#include "fs/xfs_volume-posix.h"

#include <cstddef>
#include <cstring>

#ifdef __linux__
#include <sys/ioctl.h>
#endif

namespace platform {

namespace {

#ifdef __linux__
// The geometry as XFS_IOC_FSGEOMETRY fills it in (xfs_fsop_geom, 256
// bytes), spelled out here: the kernel's uapi headers do not carry xfs's,
// and xfslibs-dev's would be a build dependency for one number. Only the
// leading fields are read; the layout is the kernel's stable ABI. Its
// first version (xfs_fsop_geom_v1, 112 bytes), which kernels before 5.1
// answer instead, begins with the same fields.
template <std::size_t rest_words>
struct xfs_geometry_of {
  std::uint32_t blocksize;
  std::uint32_t rtextsize;
  std::uint32_t agblocks;
  std::uint32_t agcount;
  std::uint32_t logblocks;
  std::uint32_t sectsize;
  std::uint32_t inodesize;
  std::uint32_t imaxpct;
  std::uint64_t rest[rest_words];
};
using xfs_geometry = xfs_geometry_of<28>;
using xfs_geometry_v1 = xfs_geometry_of<10>;
static_assert(sizeof(xfs_geometry) == 256, "xfs_fsop_geom is 256 bytes");
static_assert(sizeof(xfs_geometry_v1) == 112, "xfs_fsop_geom_v1 is 112 bytes");

// The inode size the geometry call `request` gives, where it answers.
template <typename geometry>
bool inode_size_by(int fd, unsigned long request, std::uint32_t& bytes) {
  geometry answer;
  std::memset(&answer, 0, sizeof answer);
  if (ioctl(fd, request, &answer) != 0) return false;
  bytes = answer.inodesize;
  return bytes != 0;
}

// XFS_IOC_FSGEOMETRY and XFS_IOC_FSGEOMETRY_V1 of xfs_fs.h.
const unsigned long kGeometry = _IOR('X', 126, xfs_geometry);
const unsigned long kGeometryV1 = _IOR('X', 100, xfs_geometry_v1);
#endif

}  // namespace

bool xfs_inode_size(int fd, std::uint32_t& bytes) {
#ifdef __linux__
  return inode_size_by<xfs_geometry>(fd, kGeometry, bytes) ||
         inode_size_by<xfs_geometry_v1>(fd, kGeometryV1, bytes);
#else
  (void)fd;
  (void)bytes;
  return false;
#endif
}

}  // namespace platform
