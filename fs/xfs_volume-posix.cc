// The xfs geometry call. Only Linux has it; elsewhere it fails, and no
// inode chunk counts.
#include "fs/xfs_volume-posix.h"

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
// leading fields are read; the layout is the kernel's stable ABI.
struct xfs_geometry {
  std::uint32_t blocksize;
  std::uint32_t rtextsize;
  std::uint32_t agblocks;
  std::uint32_t agcount;
  std::uint32_t logblocks;
  std::uint32_t sectsize;
  std::uint32_t inodesize;
  std::uint32_t imaxpct;
  std::uint64_t rest[28];
};
static_assert(sizeof(xfs_geometry) == 256, "xfs_fsop_geom is 256 bytes");

// The first version of the geometry (xfs_fsop_geom_v1, 112 bytes), which
// kernels before 5.1 answer instead; its leading fields are the same.
struct xfs_geometry_v1 {
  std::uint32_t blocksize;
  std::uint32_t rtextsize;
  std::uint32_t agblocks;
  std::uint32_t agcount;
  std::uint32_t logblocks;
  std::uint32_t sectsize;
  std::uint32_t inodesize;
  std::uint32_t imaxpct;
  std::uint64_t rest[10];
};
static_assert(sizeof(xfs_geometry_v1) == 112, "xfs_fsop_geom_v1 is 112 bytes");

// XFS_IOC_FSGEOMETRY and XFS_IOC_FSGEOMETRY_V1 of xfs_fs.h.
const unsigned long kGeometry = _IOR('X', 126, xfs_geometry);
const unsigned long kGeometryV1 = _IOR('X', 100, xfs_geometry_v1);
#endif

}  // namespace

bool xfs_inode_size(int fd, std::uint32_t& bytes) {
#ifdef __linux__
  xfs_geometry geometry;
  std::memset(&geometry, 0, sizeof geometry);
  if (ioctl(fd, kGeometry, &geometry) == 0) {
    bytes = geometry.inodesize;
    return bytes != 0;
  }
  xfs_geometry_v1 old;
  std::memset(&old, 0, sizeof old);
  if (ioctl(fd, kGeometryV1, &old) != 0) return false;
  bytes = old.inodesize;
  return bytes != 0;
#else
  (void)fd;
  (void)bytes;
  return false;
#endif
}

}  // namespace platform
