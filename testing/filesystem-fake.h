// An in-memory file system behind fs/filesystem.h, for tests.
//
// The fake-backed test binary links testing/filesystem-fake.cc in place of
// the real halves of the file-system seam, as ninja tests its build logic
// against a virtual file system: the scanner, the reports and the run
// sequence then walk trees built here, in memory, and touch no disk. Every
// fault a real disk only shows by chance or with privileges (a denied
// access, an entry that vanishes between its listing and its examination, a
// directory swapped for another, a bind mount looping back) is one call.
//
// It behaves as the POSIX half does where the halves differ: listings in
// byte order of the names, the identity of every directory known, links
// never entered below the PATH. It uses the platform's separator, and on
// Windows takes '/' too.
#ifndef TWINFIND_TESTING_FILESYSTEM_FAKE_H_
#define TWINFIND_TESTING_FILESYSTEM_FAKE_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "fs/filesystem.h"
#include "base/text.h"

namespace platform {

// The codes of the fake's failures: those of POSIX, so that an error line
// reads as one would there.
constexpr error_code fake_no_such_entry = 2;   // ENOENT
constexpr error_code fake_access_denied = 13;  // EACCES

// What a fault stops.
enum class fake_operation {
  enter,    // entering the directory: no attributes
  list,     // listing the directory (or searching it for a pattern)
  list_cut_short,  // listing the directory, after every entry was read
  examine,  // examining the entry, in a walk or on its own
  extents,  // reading the file's extent map
  extents_ahead,  // a worker's reading of it, the walk's own not stopped
};

// How often the file system was asked, to test that nothing is done twice.
struct fake_calls {
  int entered = 0;
  int listed = 0;
  int examined = 0;
  // Reading ahead: directories a worker opened and read, those the walk
  // adopted, and those opened and neither adopted nor closed yet.
  int opened_ahead = 0;
  int adopted = 0;
  int opened_ahead_and_held = 0;
  // Levels the walk left whose directory closed, and of them those the
  // queue closed after it, as the last worker reading in one ended; the
  // descriptors the walk's queue counts as its own now.
  int levels_closed = 0;
  int levels_closed_by_queue = 0;
  std::size_t descriptors_ahead = 0;
  // Extent maps: volumes asked whether they share extents, maps read.
  int volumes_asked = 0;
  int extent_maps_read = 0;
  int extent_maps_read_ahead = 0;  // by a worker of the queue
  // Entries of a listing the queue examined, by a worker or for the walk;
  // and those it examined after the walk had let that listing go, which a
  // walk that waits for its workers never lets happen.
  int examined_by_queue = 0;
  int examined_by_queue_too_late = 0;
};

// What a walk may hold open, as POSIX counts it when the walk starts (see
// descriptor_budget in fs/read_ahead.h): every level the walk is in takes
// one.
struct fake_descriptors {
  std::size_t total = 0;
  std::size_t kept_for_levels = 0;
  std::size_t most_ahead = 0;
};

// A path relative to a fake_tree: ASCII text, or the program's own text
// for a name beyond ASCII, with '/' between components.
class tree_path {
 public:
  tree_path(const char* ascii) : text_(native_from_ascii(ascii)) {}
  tree_path(std::string_view ascii) : text_(native_from_ascii(ascii)) {}
  tree_path(const std::string& ascii) : text_(native_from_ascii(ascii)) {}
#ifdef _WIN32
  tree_path(const native_string& native) : text_(native) {}
#endif
  const native_string& text() const { return text_; }

 private:
  native_string text_;
};

// The fake file system for one test, with a directory of its own at its
// root ("/tree", or "\tree" on Windows). Making one empties the file system;
// so does its end. Only one lives at a time. Paths given to its members are
// relative to that directory.
class fake_tree {
 public:
  fake_tree();
  ~fake_tree();
  fake_tree(const fake_tree&) = delete;
  fake_tree& operator=(const fake_tree&) = delete;

  // The tree's directory, or a path in it, as the program's own text.
  native_string path(const tree_path& relative = tree_path("")) const;

  // Makes an entry, with every directory above it that is missing. Each
  // new file or directory has an identity of its own on the volume of its
  // directory.
  void file(const tree_path& relative, std::int64_t size = 0) const;
  void directory(const tree_path& relative) const;
  // Another name of an existing file: its link count grows by one.
  void hard_link(const tree_path& existing, const tree_path& relative) const;
  // A symbolic link to `target`, relative to the tree; it counts among the
  // directories when its target is one.
  void symlink(const tree_path& relative, const tree_path& target) const;
  // A symbolic link whose `target` is relative, as "ln -s name" makes it:
  // read from the directory of whichever of its names it is reached by
  // (going down from there: ".." is not followed up), so that one link of
  // several names may lead somewhere from one name and nowhere from
  // another.
  void relative_symlink(const tree_path& relative, const tree_path& target) const;
  // A FIFO, socket or device node.
  void special(const tree_path& relative) const;
  // An empty directory that is the top of a volume of its own, mounted
  // there: the system flags it as a mount point.
  void mount(const tree_path& relative) const;
  // A directory the system mounts a volume on when it is entered, not
  // mounted yet: on its parent's volume, listed as a plain directory, read
  // as a mount point. What a test makes below it is what entering it would
  // show.
  void automount(const tree_path& relative) const;
  // An empty directory with a volume of its own on the mount of its parent,
  // as a btrfs subvolume: an ordinary directory, whose entries report that
  // volume.
  void subvolume(const tree_path& relative) const;
  // Another name of the directory `existing`, as a bind mount that the
  // system does not flag shows it: the same identity, an ordinary entry.
  void bind(const tree_path& existing, const tree_path& relative) const;

  // Takes a name away; what it named lives on under its other names.
  void remove(const tree_path& relative) const;
  // Moves a name, replacing whatever `to` named.
  void rename(const tree_path& from, const tree_path& to) const;
  // The link count the entry reports, whatever its names.
  void set_links(const tree_path& relative, std::int32_t links) const;
  // The bytes the entry reports taking on disk; 0 until set, whatever its
  // size, so that a test tells the two measures apart.
  void set_allocated(const tree_path& relative, std::int64_t bytes) const;
  file_identity identity(const tree_path& relative) const;
  // Entries made from now on take the file indexes `first`, `first` + 1,
  // and so on, as a file system numbers the inodes it allocates; until
  // then each takes the next index of the fake.
  void number_from(std::int64_t first) const;
  // The volume of the directory `relative` can share extents between files
  // from now on, as btrfs and xfs can; no volume can until then.
  void share_extents(const tree_path& relative) const;
  // What the volume of the directory `relative` says of extents from now
  // on (share_extents says it shares them, and nothing more).
  void set_volume_extents(const tree_path& relative, const volume_extents& volume) const;
  // The extents of the file `relative` that its map gives: shared, inline
  // or compressed ones.
  void set_shared_extents(const tree_path& relative, std::vector<mapped_extent> extents) const;

  // Makes `operation` on the entry at `relative` fail with `error` from now
  // on; an examination fails with `outcome`.
  void fail(fake_operation operation, const tree_path& relative, error_code error,
            examination outcome = examination::not_found) const;
  // Runs `change` once, right after the directory at `relative` has been
  // listed: what a walk meets between a listing and the work on its entries.
  void after_listing(const tree_path& relative, std::function<void()> change) const;
  // Runs `change` once, right before a worker reading ahead maps the file
  // at `relative`, after it read its facts.
  void before_map_ahead(const tree_path& relative, std::function<void()> change) const;

  fake_calls calls() const;

  // Reading ahead by hand: from now on every walk asks for its
  // subdirectories to be opened and read ahead, and for the facts of the
  // entries of every listing of at least `kFewestEntriesShared` to be read
  // beside it, and no thread does it: the test completes requests, or
  // claims them (a worker that started and is not done), from a hook
  // (after_listing, a visit), in the order it chooses; the walk finishes a
  // claimed one itself when it waits for it, as it would wait for the
  // worker, and finish_claimed_read_ahead() finishes the oldest claims
  // wherever the walk stands, as their workers would. Return how many
  // requests they took.
  static constexpr std::size_t kFewestEntriesShared = 8;
  void read_ahead_by_hand() const;
  std::size_t complete_read_ahead(std::size_t most = static_cast<std::size_t>(-1)) const;
  std::size_t claim_read_ahead(std::size_t most = static_cast<std::size_t>(-1)) const;
  std::size_t finish_claimed_read_ahead(std::size_t most = static_cast<std::size_t>(-1)) const;
  // From now on, each walk's descriptors.
  void descriptors_for_a_walk(const fake_descriptors& budget) const;
  // A worker fails to open the directory at `relative`, as the system
  // refuses it for any reason (denied, gone, out of descriptors).
  void fail_read_ahead(const tree_path& relative) const;
};

}  // namespace platform

#endif  // TWINFIND_TESTING_FILESYSTEM_FAKE_H_
