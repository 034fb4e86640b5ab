// The xfs geometry call, on loop-mounted xfs images of two inode sizes in
// a private mount namespace: the size the image was made with, and no
// answer from a file system that is no xfs.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "fs/xfs_volume-posix.h"
#include "testing/child_check_test_util-posix.h"
#include "testing/mount_namespace_test_util-posix.h"
#include "testing/test_tree.h"

namespace platform {

namespace {

// The inode size the geometry gives at `path`, or what went wrong.
std::string inode_size_at(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return "not opened";
  std::uint32_t bytes = 0;
  const bool told = xfs_inode_size(fd, bytes);
  close(fd);
  return told ? std::to_string(bytes) : "no answer";
}

TEST(XfsVolumePosix, TheGeometryGivesTheInodeSizeTheImageWasMadeWith) {
  for (const char* size : {"512", "1024"}) {
    SCOPED_TRACE(size);
    test_tree tree;
    const std::string image = tree.path("xfs.img"), mnt = tree.path("mnt"), tmp = tree.path("tmp");
    EXPECT_CHECKED(in_own_namespace(
        [&]() -> std::string {
          if (!run_quietly("command -v mkfs.xfs")) return "mkfs.xfs is not installed";
          if (!run_quietly("command -v losetup && losetup -f")) return "no free loop device";
          if (!run_quietly("mkdir -p " + mnt + " " + tmp + " && truncate -s 320M " + image +
                           " && mkfs.xfs -q -f -i size=" + size + " " + image))
            return "mkfs.xfs failed";
          if (!run_quietly("mount -o loop " + image + " " + mnt)) return "no loop mount of xfs";
          if (!run_quietly("mount -t tmpfs none " + tmp)) return "no tmpfs";
          return "";
        },
        [&]() -> std::string {
          std::string found;
          // Asked of the mount's top and of a directory below it alike.
          run_quietly("mkdir " + mnt + "/d");
          for (const std::string& at : {mnt, mnt + "/d"})
            if (inode_size_at(at) != size) found += at + ": " + inode_size_at(at) + "\n";
          if (inode_size_at(tmp) != "no answer") found += "tmpfs: " + inode_size_at(tmp) + "\n";
          run_quietly("umount " + mnt + " && umount " + tmp);
          return found;
        }));
  }
}

}  // namespace

}  // namespace platform
