// The btrfs calls of the extent maps. Only Linux has them; elsewhere every
// call fails, and the maps count as they can without them.
#include "fs/btrfs_volume-posix.h"

#include <errno.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>

#ifdef __linux__
#include <linux/btrfs.h>
#include <linux/btrfs_tree.h>
#include <sys/ioctl.h>
#endif

namespace platform {

namespace {

#ifdef __linux__
// The items come as the disk keeps them: little-endian, packed.
std::uint64_t little_endian_64(const unsigned char* bytes) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | bytes[i];
  return value;
}

// The places in a btrfs_file_extent_item of what is read from it.
constexpr std::size_t kCompressionAt = offsetof(struct btrfs_file_extent_item, compression);
constexpr std::size_t kTypeAt = offsetof(struct btrfs_file_extent_item, type);
constexpr std::size_t kDiskStartAt = offsetof(struct btrfs_file_extent_item, disk_bytenr);
constexpr std::size_t kDiskLengthAt = offsetof(struct btrfs_file_extent_item, disk_num_bytes);
constexpr std::size_t kItemSize = kDiskLengthAt + 8;

// Room for many items per call; a file of one extent takes one call.
constexpr std::size_t kSearchBuffer = 64 * 1024;
#endif

}  // namespace

bool btrfs_file_system_id(int fd, address_space& id) {
#ifdef __linux__
  struct btrfs_ioctl_fs_info_args info;
  std::memset(&info, 0, sizeof info);
  if (ioctl(fd, BTRFS_IOC_FS_INFO, &info) != 0) return false;
  static_assert(sizeof info.fsid >= 16, "a file system id of 16 bytes");
  id.high = 0;
  id.low = 0;
  for (int i = 0; i < 8; ++i) id.high = id.high << 8 | info.fsid[i];
  for (int i = 8; i < 16; ++i) id.low = id.low << 8 | info.fsid[i];
  id.by_device = false;
  return true;
#else
  (void)fd;
  (void)id;
  return false;
#endif
}

result<> btrfs_compressed_lengths(int fd, std::uint64_t inode,
                                  std::vector<compressed_length>& lengths) {
#ifdef __linux__
  lengths.clear();
  const std::unique_ptr<unsigned char[]> memory(
      new unsigned char[sizeof(struct btrfs_ioctl_search_args_v2) + kSearchBuffer]);
  auto* args = reinterpret_cast<struct btrfs_ioctl_search_args_v2*>(memory.get());
  std::uint64_t from = 0;
  for (;;) {
    std::memset(args, 0, sizeof *args);
    struct btrfs_ioctl_search_key& key = args->key;
    key.tree_id = 0;  // the subvolume of `fd`
    key.min_objectid = key.max_objectid = inode;
    key.min_type = key.max_type = BTRFS_EXTENT_DATA_KEY;
    key.min_offset = from;
    key.max_offset = ~std::uint64_t{0};
    key.max_transid = ~std::uint64_t{0};
    key.nr_items = ~std::uint32_t{0};
    args->buf_size = kSearchBuffer;
    if (ioctl(fd, BTRFS_IOC_TREE_SEARCH_V2, args) != 0)
      return failed(static_cast<error_code>(errno));
    if (key.nr_items == 0) break;
    std::size_t at = 0;
    for (std::uint32_t i = 0; i < key.nr_items; ++i) {
      struct btrfs_ioctl_search_header header;
      std::memcpy(&header, args->buf + at, sizeof header);
      const unsigned char* item = args->buf + at + sizeof header;
      at += sizeof header + header.len;
      from = header.offset + 1;
      if (header.type != BTRFS_EXTENT_DATA_KEY || header.len < kItemSize) continue;
      if (item[kCompressionAt] == 0 || item[kTypeAt] == BTRFS_FILE_EXTENT_INLINE) continue;
      const std::uint64_t start = little_endian_64(item + kDiskStartAt);
      if (start == 0) continue;  // a hole
      lengths.push_back(compressed_length{start, little_endian_64(item + kDiskLengthAt)});
    }
    if (from == 0) break;  // the last offset there is
  }
  std::sort(lengths.begin(), lengths.end(),
            [](const compressed_length& a, const compressed_length& b) { return a.start < b.start; });
  return succeeded();
#else
  (void)fd;
  (void)inode;
  lengths.clear();
  return failed(ENOTSUP);
#endif
}

}  // namespace platform
