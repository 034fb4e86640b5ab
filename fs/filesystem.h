// The file-system operations of the scanner: one contract, a Win32 half
// (filesystem-win32.cc) and a POSIX half (filesystem-posix.cc), and the
// in-memory file system the tests link in their place (filesystem-fake.cc).
//
// The scanner above never knows which half it runs on. Every call that can
// fail says so in a result (result.h), with the system's own code.
#ifndef TWINFIND_FS_FILESYSTEM_H_
#define TWINFIND_FS_FILESYSTEM_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "base/result.h"
#include "base/text.h"

namespace platform {

// Joins a directory's path and an entry's name: '\' on Windows, '/' on POSIX.
extern const native_char path_separator;

// How an entry is stored: a plain file or directory, a symbolic link, or
// any other reparse point (junctions, mount points; on POSIX also FIFOs,
// sockets and device nodes).
enum class entry_kind : std::uint8_t { normal, symlink, reparse };

// What tells one file from another: the volume it lives on and its index on
// that volume. Two names with the same identity are hard links of one file.
// Only the file index is ever printed. Some volumes number their files with
// 128 bits (ReFS on Windows), where the low 64 alone may be shared by two
// files: `key_high` holds the rest there, and is 0 everywhere else (NTFS,
// every POSIX file system).
struct file_identity {
  std::uint64_t volume = 0;
  std::int64_t key = 0;
  std::uint64_t key_high = 0;

  bool operator<(const file_identity& other) const {
    if (key != other.key) return key < other.key;
    return key_high != other.key_high ? key_high < other.key_high : volume < other.volume;
  }
  bool operator==(const file_identity& other) const {
    return key == other.key && key_high == other.key_high && volume == other.volume;
  }
};

// For the tables that look identities up.
struct identity_hash {
  std::size_t operator()(const file_identity& id) const {
    return std::hash<std::int64_t>()(id.key) ^ std::hash<std::uint64_t>()(id.volume) * 31 ^
           std::hash<std::uint64_t>()(id.key_high) * 131;
  }
};

// What an examination reads of one entry, the entry itself and never the
// target of a link.
struct entry_facts {
  bool is_directory = false;
  entry_kind kind = entry_kind::normal;
  file_identity identity;
  std::int32_t links = 0;
  std::int64_t size = 0;
  // The bytes the entry takes on disk (POSIX: st_blocks x 512; Windows: the
  // allocation size the file system reports), read in the same call as the
  // rest; 0 where the system does not tell it.
  std::int64_t allocated = 0;
};

// Whether an examined entry counts among the directories: a directory, or
// a symbolic link to one, as Windows lists it, unless the link has several
// names. A relative target is read from each name's own directory, so a
// link of several names (cp -al links links too) may lead to a directory
// from one name and nowhere from another; one file is one kind at all its
// names, and such a link is a file at every name, like any file of several
// links. (On Windows a link's directory bit is its own, the same at every
// name, and NTFS makes no hard link of a directory.)
// A half reads a link's target only where it decides: for a link of one
// name.
inline bool target_decides_kind(const entry_facts& facts) { return facts.links <= 1; }
inline bool counts_as_directory(const entry_facts& facts) {
  return facts.is_directory && !(facts.kind == entry_kind::symlink && !target_decides_kind(facts));
}

// How an examination ended: with facts, or failing to find or to open the
// entry (the two failures print different error lines).
enum class examination : std::uint8_t { examined, not_found, not_opened };

// One entry of a directory listing, sixteen bytes: a flat directory of a
// million entries lists in 16 MB beside its names. The name lives in the
// listing's `names`. What the examination reads is not kept here: each half
// examines an entry when it is visited, and only entries whose kind the
// listing cannot tell (a POSIX symbolic link, which counts as a directory
// when it leads to one) are read while listing, their facts kept aside.
struct listed_entry {
  listed_entry() : is_directory(false), is_reparse(false), is_regular(false) {}
  std::size_t name_offset = 0;
  // Where the half keeps the facts it read while listing, from 1; 0: none
  // (the entry is examined when visited). On Windows, where every listing
  // record holds them, the reparse tag the listing returned.
  std::uint32_t listed_facts = 0;
  std::uint16_t name_length = 0;
  // Bits, so that a listing of a million entries stays near 16 MB.
  bool is_directory : 1;  // the listing's directory bit
  bool is_reparse : 1;    // the listing's reparse-point bit, where it has one
  bool is_regular : 1;    // the listing's regular-file type (POSIX, where it tells types)
};

// The entries of one directory, "." and ".." left out, in the order the
// walk takes them: the system's order on Windows (NTFS lists by name), byte
// order of the names on POSIX. Reused from directory to directory, so a
// walk allocates nothing per entry once it has seen its largest directory.
struct directory_listing {
  native_string names;
  std::vector<listed_entry> entries;
  // Set when the listing failed midway (Windows: a share that dropped, a
  // device error): `entries` then holds what was read before the failure,
  // which the walk reports and walks all the same.
  bool cut_short = false;

  native_string_view name(const listed_entry& entry) const {
    return native_string_view(names.data() + entry.name_offset, entry.name_length);
  }
  void clear() {
    names.clear();
    entries.clear();
  }
};

// True for "." and "..", which no listing keeps.
inline bool is_dot_or_dot_dot(const native_char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// How entering a directory went. `no_attributes` also stands for a
// directory that is no longer the one its parent listed (the tree moved).
enum class entering { entered, no_attributes, not_a_directory };

// What a walk keeps that only the implementation behind this header knows:
// on POSIX the open directory descriptors of the levels it is inside of, a
// bounded number of them however deep the tree; on Windows, where
// everything goes by path, the system form of the current directory
// (system_path.h): the PATH's, resolved once, with the listed names
// appended. Each implementation defines it in its own source, as libuv's
// platform headers define their private fields; the walk above never looks
// inside.
struct walk_state;

// Whether the identities of the directories a walk is inside of can tell a
// cycle. On POSIX a bind mount can show a directory again below itself, and
// only the device and inode of the directories on the way down tell it. On
// Windows the walk never enters a reparse point, so no directory turns up
// below itself; and some file systems there report the same index (0 or a
// constant) for every file, which would pass for a cycle.
extern const bool identities_find_cycles;

struct walk_cursor {
  walk_cursor();
  ~walk_cursor();
  walk_cursor(const walk_cursor&) = delete;
  walk_cursor& operator=(const walk_cursor&) = delete;

  // The walk's one path buffer: the path of the current directory, with the
  // name of an entry appended while that entry is looked at. Names are
  // appended on the way down and cut off on the way back, so the memory of
  // a walk grows with the depth of the tree, not with its square. The names
  // of the levels stay in it, which is where the POSIX half finds them to
  // reopen a level it had to close.
  native_string path;
  // The listing of the current directory, which list_directory fills and
  // a half's queue reading ahead (read_ahead.h, kept in the state) reads in
  // until the next listing: before the state, so that it outlives every
  // read of it.
  directory_listing listing;
  std::unique_ptr<walk_state> state;
};

// Enters a directory. With an empty cursor this is the walk's PATH, whose
// last component is followed when it is a link to a directory; otherwise it
// is the child `name` of the current directory, at `path`, never followed;
// `name` is the end of `path`, and `path` is the cursor's own path buffer.
// `identity` is the child's identity as listed, when known, else null: a
// directory found there with another identity is not entered. On `entered`
// the directory becomes current; a directory that can be entered but not
// read still counts as entered, and its listing then fails. Where the half
// reads ahead, it takes the child as a worker opened and read it, when one
// did and it is still the one standing at `name`.
result<entering> enter_directory(walk_cursor& cursor, const native_string& path,
                                 native_string_view name, const file_identity* identity);

// The identity of the current directory, where the platform knows it
// without an extra call (POSIX: always; Windows: never, as the walk there
// never enters a link and so cannot meet a directory below itself).
bool current_identity(const walk_cursor& cursor, file_identity& identity);

// Returns to the parent of the current directory.
void leave_directory(walk_cursor& cursor);

// Lists the current directory, at `path`, into the cursor's listing, once
// for each time it is entered (the POSIX half reads on from where the
// directory's reading stands). Fails when it cannot be read. Where the half
// reads ahead, a listing read whole has its subdirectories asked for.
result<> list_directory(walk_cursor& cursor, const native_string& path);

// Examines one entry of the current directory; `path` is its full path,
// which ends in the entry's name. Every fact comes from one reading of the
// entry, its directory bit too, which may disagree with the listing's where
// the entry changed in between: the caller believes the reading.
result<examination> examine_entry(walk_cursor& cursor, const native_string& path,
                                  const listed_entry& entry, entry_facts& facts);

// One extent of a file's map that its allocation does not count plainly as
// its own blocks: shared with other files (or with the file itself
// elsewhere), as a copy made by reflink or a snapshot's is; kept inline; or
// compressed. Plain extents of the file's own are not kept.
struct mapped_extent {
  std::uint64_t physical = 0;  // where it starts on the volume, in bytes
  // The bytes of the file it holds, as the file's allocation counts them
  // (for a compressed extent, uncompressed).
  std::uint64_t length = 0;
  // The bytes it takes on disk: `length`, but for a compressed extent its
  // length on disk, as the file system's own records give it, or one block
  // where they cannot be read (then `on_disk_at_least`).
  std::uint64_t on_disk = 0;
  bool shared = false;
  // Kept in the inode or in the file system's metadata: no blocks of its
  // own, whatever the allocation says.
  bool inline_data = false;
  bool encoded = false;  // compressed
  bool on_disk_at_least = false;
};

// Which set of physical addresses a volume's extents lie in: btrfs gives
// each subvolume a device of its own, and its file system id tells that
// they are one; elsewhere the device is the set.
struct address_space {
  std::uint64_t high = 0;
  std::uint64_t low = 0;
  bool by_device = true;

  bool operator==(const address_space& other) const {
    return high == other.high && low == other.low && by_device == other.by_device;
  }
};

// How a volume keeps its files' extents, for counting shared ones once
// (-E). One call a volume is enough: the answers are the volume's.
struct volume_extents {
  // Files there can share extents (POSIX: btrfs, xfs, bcachefs, ocfs2;
  // Windows: never, ReFS block cloning is not looked at): every regular
  // file with blocks is mapped.
  bool shares = false;
  // btrfs: symbolic links and small files keep their data inline in the
  // metadata, which no file's map shows, and which is not counted.
  bool data_in_metadata = false;
  // A file allocated less than one block can only hold its data inline
  // (ext4's inline_data), and is mapped wherever the volume is; 0: none is.
  std::uint64_t block_size = 0;
  address_space addresses;
  // xfs: inodes live in chunks of 64 (a chunk is an inode's number divided
  // by 64), and deleting the last inode of a chunk frees the chunk, which
  // no file's allocation shows: the bytes a whole chunk takes. 0: none
  // counts.
  std::uint64_t inode_chunk_bytes = 0;
};

// What the volume of the walk's current directory, at `path` (the entry's
// or the directory's own), keeps of extents. A volume that cannot be asked
// shares nothing and maps nothing.
volume_extents read_volume_extents(walk_cursor& cursor, const native_string& path);

// Appends the extents of the regular file `entry` of the walk's current
// directory, at `path`, which the examination read as `facts`, that its
// allocation does not count plainly (mapped_extent). `volume` is what
// read_volume_extents said of its volume. Fails with the system's code
// when the map cannot be read, or the entry is no longer the file examined.
result<> read_extent_map(walk_cursor& cursor, const native_string& path,
                         const listed_entry& entry, const entry_facts& facts,
                         const volume_extents& volume, std::vector<mapped_extent>& extents);

// Examines a path on its own, outside any walk (for breakdowns), best
// given in its system form (system_path.h). `kind` comes from the search
// record of the path, the rest from the entry opened as itself.
result<examination> examine_path(const native_string& path, entry_facts& facts);

// One match of a wildcard pattern.
struct pattern_match {
  native_string name;
  bool is_directory = false;
};

// True when `path` holds a '*' or a '?'.
bool has_wildcards(native_string_view path);

// Lists, in search order, the entries that match the wildcard pattern of the
// last component of `pattern`. Fails when the search fails or nothing
// matches.
result<> find_pattern_matches(const native_string& pattern, std::vector<pattern_match>& matches);

// Joins a pattern's directory part and a match's name, as the pattern wrote
// the directory part: "dir" + separator + name, or the name alone (after a
// drive's colon on Windows) when the pattern had no separator.
native_string join_pattern_match(const native_string& pattern, native_string_view name);

}  // namespace platform


#endif  // TWINFIND_FS_FILESYSTEM_H_
