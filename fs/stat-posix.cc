// One entry read with a single stat-family call, mapped onto the kinds the
// reports know: a plain file or directory is "normal", a symbolic link is
// "symlink", and a mount point (an automount point too), FIFO, socket or
// device node is "reparse", as NTFS stores such entries as reparse points.
#include "fs/stat-posix.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#ifdef __linux__
#include <sys/sysmacros.h>
#endif

#include <atomic>
#include <climits>

namespace platform {
namespace {

// The bytes of `blocks` units of 512, held at the end of the 64-bit range:
// no real disk holds that much, but a corrupt or crafted file system can
// claim it, and a wrapped figure would print as negative.
std::int64_t allocated_bytes(std::uint64_t blocks) {
  const std::uint64_t max_blocks = static_cast<std::uint64_t>(INT64_MAX) / 512;
  return blocks > max_blocks ? INT64_MAX : static_cast<std::int64_t>(blocks * 512);
}

struct raw_stat {
  std::uint64_t device;
  std::uint64_t inode;
  std::uint64_t links;
  std::int64_t size;
  std::uint64_t blocks;  // of 512 bytes, whatever the file system's block size
  mode_t mode;
  int mount_root;  // 1 yes, 0 no, -1 the system cannot tell
  // A directory the system mounts something on when it is entered (autofs
  // through its map, NFS, CIFS, debugfs's tracing): known by statx alone.
  bool automount;
};

// An empty name reads the descriptor itself, where the system can.
int own_if_empty(const char* name) {
#ifdef AT_EMPTY_PATH
  return *name == '\0' ? AT_EMPTY_PATH : 0;
#else
  (void)name;
  return 0;
#endif
}

result<> fstatat_no_follow(int dir_fd, const char* name, raw_stat& out) {
  struct stat st;
  if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW | kNoAutomount | own_if_empty(name)) != 0)
    return failed(static_cast<error_code>(errno));
  out.device = static_cast<std::uint64_t>(st.st_dev);
  out.inode = static_cast<std::uint64_t>(st.st_ino);
  out.links = static_cast<std::uint64_t>(st.st_nlink);
  out.size = static_cast<std::int64_t>(st.st_size);
  out.blocks = static_cast<std::uint64_t>(st.st_blocks);
  out.mode = st.st_mode;
  out.mount_root = -1;  // left to the device comparison
  out.automount = false;  // fstatat cannot tell
  return succeeded();
}

#if defined(__linux__) && defined(STATX_TYPE)
// Set once statx has been refused as a whole rather than for one entry: an
// old kernel lacks it (ENOSYS, EINVAL), or a container's seccomp profile
// forbids it (EPERM, EOPNOTSUPP); glibc's own fallback covers ENOSYS only.
// Every later entry goes to fstatat at once. Atomic, as tests read entries
// from more than one thread.
std::atomic<bool> statx_refused{false};

bool refuses_statx(int error) {
  return error == EPERM || error == ENOSYS || error == EINVAL || error == EOPNOTSUPP;
}

result<> stat_no_follow(int dir_fd, const char* name, raw_stat& out) {
  if (statx_refused.load(std::memory_order_relaxed)) return fstatat_no_follow(dir_fd, name, out);
  struct statx sx;
  if (statx(dir_fd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | own_if_empty(name),
            STATX_TYPE | STATX_MODE | STATX_INO | STATX_NLINK | STATX_SIZE | STATX_BLOCKS,
            &sx) != 0) {
    const int error = errno;
    if (!refuses_statx(error)) return failed(static_cast<error_code>(error));
    statx_refused.store(true, std::memory_order_relaxed);
    return fstatat_no_follow(dir_fd, name, out);
  }
  // The same number fstat gives in st_dev, so that devices read either way
  // compare equal.
  out.device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  out.inode = sx.stx_ino;
  out.links = sx.stx_nlink;
  out.size = static_cast<std::int64_t>(sx.stx_size);
  // A file system that cannot tell (some network ones) leaves the bit out:
  // its entries then take nothing, as fstatat's st_blocks of 0 would say.
  out.blocks = (sx.stx_mask & STATX_BLOCKS) ? sx.stx_blocks : 0;
  out.mode = sx.stx_mode;
#ifdef STATX_ATTR_MOUNT_ROOT
  out.mount_root = (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT)
                       ? (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0
                       : -1;
#else
  out.mount_root = -1;
#endif
#ifdef STATX_ATTR_AUTOMOUNT
  out.automount = (sx.stx_attributes & STATX_ATTR_AUTOMOUNT) != 0;
#else
  out.automount = false;
#endif
  return succeeded();
}
#else
result<> stat_no_follow(int dir_fd, const char* name, raw_stat& out) {
  return fstatat_no_follow(dir_fd, name, out);
}
#endif

}  // namespace

result<> read_entry(int dir_fd, const char* name, std::uint64_t parent_device,
                    entry_facts& facts) {
  raw_stat st{};
  const result<> read = stat_no_follow(dir_fd, name, st);
  if (!read.outcome) return read;
  facts.identity.volume = st.device;
  facts.identity.key = static_cast<std::int64_t>(st.inode);
  facts.links = st.links > static_cast<std::uint64_t>(INT32_MAX) ? INT32_MAX
                                                                 : static_cast<std::int32_t>(st.links);
  facts.size = st.size;
  facts.allocated = allocated_bytes(st.blocks);
  facts.kind = entry_kind::normal;
  facts.is_directory = S_ISDIR(st.mode);
  if (facts.is_directory) {
    const bool mount_root =
        st.mount_root >= 0 ? st.mount_root == 1 : parent_device != 0 && st.device != parent_device;
    // An automount point is a mount point not yet mounted: entering it, or
    // opening it, would mount it (and wait for good on a server that does
    // not answer), so it is counted and passed by as a mount point is.
    if (mount_root || st.automount) facts.kind = entry_kind::reparse;
  } else if (S_ISLNK(st.mode)) {
    facts.kind = entry_kind::symlink;
    // Windows lists a link to a directory with the directory bit; the one
    // extra call is made where the target decides (target_decides_kind): a
    // link of several names is a file at every name, wherever it leads (cp
    // -al snapshots hold thousands). It never sets off an automounter: an
    // automount point counts as what it is before mounting.
    struct stat target;
    facts.is_directory = target_decides_kind(facts) &&
                         fstatat(dir_fd, name, &target, kNoAutomount) == 0 &&
                         S_ISDIR(target.st_mode);
  } else if (!S_ISREG(st.mode)) {
    facts.kind = entry_kind::reparse;  // FIFO, socket, device node
  }
  return succeeded();
}

entry_reading read_reading(int dir_fd, const char* name, std::uint64_t parent_device) {
  entry_reading reading;
  const result<> read = read_entry(dir_fd, name, parent_device, reading.facts);
  reading.examined = read.outcome ? result<examination>{examination::examined, 0}
                                  : result<examination>{examination::not_found, read.error};
  return reading;
}

}  // namespace platform
