// The scan state: everything the scanner learns from the volumes, carried
// to the reports.
//
// The run creates one _scandata, and its member operations walk the trees
// (walk.cc), examine every entry (examine.cc), collect the breakdowns of
// single files (breakdown.cc) and show progress (progress.cc). The reports
// read its fields directly.
#ifndef TWINFIND_SCAN_SCANDATA_H_
#define TWINFIND_SCAN_SCANDATA_H_

#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <utility>
#include <memory>
#include <vector>

#include "term/console.h"
#include "fs/filesystem.h"
#include "base/text.h"
#include "names/link_names.h"
#include "scan/identity_table.h"
#include "scan/inode_chunks.h"
#include "scan/shared_extents.h"
#include "walk/tree_walk.h"

namespace scan {

// The system's text types, by their own names.
using namespace platform::text_types;

// The files met with one hard-link count.
struct _scandata_hardlinkcount_info {
  // Names met whose file reported this link count, every name counted.
  std::int64_t file_count = 0;
  // The distinct files first met with this link count.
  std::int64_t distinct_files = 0;
  // Those files in the order first met, for the listing of this count: kept
  // only where names are (see keeps_names_for), so empty for most counts.
  std::vector<platform::file_identity> file_ids;
};

// The breakdown of one file named by -F.
struct _scandata_breakdown_fileinfo {
  native_string filename;  // the path under which the file was examined
  std::int64_t file_key = 0;
  std::uint64_t file_key_high = 0;  // of a 128-bit file index; 0 on most volumes
  std::int32_t file_links = 0;
  std::int64_t file_size = 0;
  platform::entry_kind kind = platform::entry_kind::normal;
  // Every name the volume knows it by: its list in _scandata::link_names,
  // shared with every other breakdown of the same file; none until searched.
  std::size_t filenames = static_cast<std::size_t>(-1);

  // For the search of those names: the rest of the file's identity, whether
  // it is a directory, and the form of `filename` that the system calls
  // took where it differs (fs/system_path.h; empty where it serves).
  std::uint64_t volume = 0;
  bool is_directory = false;
  native_string system_path;

  platform::entry_facts facts() const {
    platform::entry_facts facts;
    facts.is_directory = is_directory;
    facts.kind = kind;
    facts.identity = platform::file_identity{volume, file_key, file_key_high};
    facts.links = file_links;
    facts.size = file_size;
    return facts;
  }
};

// What the space by path keeps of one distinct file (space_by_path.cc):
// how many of its names the walks met, to tell when they reach its link
// count. Sixteen bytes, so that a file's place in the map grows by nothing.
struct _scandata_space_tally {
  std::uint32_t last_walk = 0;   // the walk that met it last, from 1; 0: none yet
  std::uint32_t walk_names = 0;  // names met by that walk
  std::uint32_t run_names = 0;   // names met by the run, each counted once
  std::uint32_t freed = 0;       // which of the two counts reached the links
};

// What the space by directory keeps of one distinct file
// (space_by_directory.cc): the names the walk that met it last met, and
// where among that walk's rows the last of them and all of them lie. The
// rows of later walks come after those of earlier ones, so the row of the
// last name also tells which walk met it. Twelve bytes, kept apart from
// the records, so that only a run with rows pays for them.
struct _scandata_row_tally {
  static constexpr std::uint32_t freed_bit = 0x80000000u;
  std::uint32_t names = 0;       // names met by that walk, 0 for none yet;
                                 // freed_bit once freed
  std::uint32_t last_row = 0;    // the row of the last name met
  std::uint32_t common_row = 0;  // the lowest row holding every name met
};

// What the identity map keeps of one distinct file, where there is
// something to keep: its names when they are kept, its space-by-path counts
// when the space by path is asked for. Most files have no record.
struct _scandata_fileinfo {
  // The paths under which the walks met it, in the order met; null while
  // none is kept (see keeps_names_for), as for most files.
  std::unique_ptr<std::vector<native_string>> names;
  _scandata_space_tally space;
};

// The identity map: every distinct file of several links, and each
// single-link file whose names are kept, with its record where it has one
// (file_table.cc).
class file_table {
 public:
  struct found {
    _scandata_fileinfo* record;  // null for a file without one
    bool added;
    // The file's counts for the space by directory: null unless the table
    // keeps them. They stay where they are.
    _scandata_row_tally* rows;
  };
  // From now on, before the first insert, every file has counts for the
  // space by directory, with or without a record (file_table.cc).
  void keep_row_tallies() { with_rows_ = true; }
  // Finds `id`, or adds it, with a record when `with_record`. The record
  // stays where it is until the next insert.
  found insert(const platform::file_identity& id, bool with_record);
  // The record of `id`: null for a file not met, or met without a record.
  const _scandata_fileinfo* find(const platform::file_identity& id) const;
  bool contains(const platform::file_identity& id) const { return files_.find(id) != nullptr; }
  // The record of `id`, made (and the file added) where there is none.
  _scandata_fileinfo& operator[](const platform::file_identity& id);

  std::size_t size() const { return files_.size(); }
  bool empty() const { return files_.empty(); }
  // Calls `visit(identity, record)` for every file, in no particular order;
  // `record` null for a file without one.
  template <typename visitor_type>
  void for_each(visitor_type&& visit) const {
    files_.for_each([&](const platform::file_identity& id, std::uint32_t record) {
      visit(id, record < records_.size() ? &records_[record] : nullptr);
    });
  }

 private:
  static constexpr std::uint32_t no_record = 0xFFFFFFFFu;
  identity_table files_;  // the place of each file's record, or no_record
  std::vector<_scandata_fileinfo> records_;
  // With row tallies, every file has a place, which both its tally and (if
  // it has one) its record take: records_ then stops at the last record.
  // The tallies lie in blocks that never move, so that adding one copies
  // none of the others and a large table never exists twice.
  static constexpr std::size_t rows_per_block = 4096;
  bool with_rows_ = false;
  std::uint32_t places_ = 0;
  std::vector<std::unique_ptr<_scandata_row_tally[]>> row_tallies_;
  _scandata_row_tally* row_tally(std::uint32_t place) {
    return &row_tallies_[place / rows_per_block][place % rows_per_block];
  }
  // A new place for a file, with its tally; with its record when asked.
  std::uint32_t new_place(bool with_record);
};

// The space figures of one PATH's walk, files only.
struct _scandata_path_space {
  std::int64_t files = 0;         // file entries listed, skipped ones included
  std::int64_t unique_files = 0;  // distinct files among the examined ones
  std::int64_t unique_size = 0;   // their sizes, each file once
  std::int64_t freed = 0;         // the sizes of those with every name in the walk
  // The series of the PATHs in command-line order (-R), each walk's row
  // holding those before it: the distinct files no earlier walk met, with
  // their sizes (and, with -A, the directories no earlier walk counted);
  // and the files whose every name lies below this PATH or an earlier one,
  // with their sizes: what deleting them all together frees.
  std::int64_t added_files = 0;
  std::int64_t added_size = 0;
  std::int64_t freed_with_those_before_files = 0;
  std::int64_t freed_with_those_before = 0;
};

// The space by path of the run (-S, and the JSON report).
struct _scandata_space {
  bool enabled = false;
  std::vector<_scandata_path_space> paths;  // one per PATH, in order
  std::int64_t unique_size = 0;  // every file once, like the summary's
  std::int64_t freed = 0;        // files whose every name the run met
  std::int64_t freed_files = 0;  // how many those are
};

__extension__ typedef __int128 wide_figure;

// One directory of the space by directory: a directory that a walk listed,
// at most as deep below its PATH as asked. Its figures are its own while
// the walk goes on, and its subtree's once the walk is over. The sizes go
// below zero on the way (a file's size is taken back at the lowest common
// directory of two of its names), and their sums can pass the 64-bit
// range: they are 128-bit wide, and saturate when read.
struct _scandata_directory_row {
  std::size_t path_offset = 0;   // its path, as the walk built it, in
  std::uint32_t path_length = 0; // _scandata_directories::paths
  std::uint32_t parent = 0;      // the row of its parent; none for a PATH's
  std::int32_t depth = 0;        // 0 for the PATH itself
  // False for a directory whose listing was cut short: it shows no row, but
  // what was read of it counts in the rows above.
  bool shown = true;
  std::int64_t files = 0;        // file entries listed, skipped ones included
  wide_figure unique = 0;        // the distinct files examined, each once
  wide_figure freeable = 0;      // those with every name in the subtree

  std::int64_t unique_size() const { return saturated(unique); }
  std::int64_t freed() const { return saturated(freeable); }
  static std::int64_t saturated(wide_figure figure) {
    const std::int64_t max = std::numeric_limits<std::int64_t>::max();
    if (figure <= 0) return 0;
    return figure > max ? max : static_cast<std::int64_t>(figure);
  }
};

// The space by directory of the run (-L).
struct _scandata_directories {
  static constexpr std::uint32_t none = 0xFFFFFFFFu;
  std::int32_t depth = -1;  // the rows go this deep; below 0, there are none
  // Every walk's rows, in walk order, those not shown among them.
  std::vector<_scandata_directory_row> rows;
  native_string paths;  // the paths of the rows, one after another

  // Adds a row for `path`, its figures 0.
  _scandata_directory_row& add_row(native_string_view path, std::int32_t row_depth) {
    _scandata_directory_row row;
    row.path_offset = paths.size();
    row.path_length = static_cast<std::uint32_t>(path.size());
    row.depth = row_depth;
    paths += path;
    rows.push_back(row);
    return rows.back();
  }
  native_string_view path_of(const _scandata_directory_row& row) const {
    return native_string_view(paths).substr(row.path_offset, row.path_length);
  }

  // The state of the walk under way.
  std::size_t walk_rows = 0;        // where its rows begin
  std::vector<std::uint32_t> open;  // the rows the walk is inside
  std::uint32_t current = none;     // where the files listed now belong
  std::int64_t files_counted = 0;   // files_total when last handed to a row
  std::int64_t top_allocated = 0;   // the PATH's own space, before its listing
  std::int64_t entered_allocated = 0;  // that of the directory entry just counted

  bool collecting() const { return current != none; }
  // The lowest row holding both `a` and `b`, rows of one walk.
  std::uint32_t common(std::uint32_t a, std::uint32_t b) const {
    while (a != b) {
      if (rows[a].depth >= rows[b].depth) {
        a = rows[a].parent;
      } else {
        b = rows[b].parent;
      }
    }
    return a;
  }
};

// The names kept of a file: empty when its names are not kept (or it has no
// record at all, `file` null).
const std::vector<native_string>& kept_names(const _scandata_fileinfo* file);

// What deleting every PATH would leave on the volumes: the sizes of the
// files met that some name outside the PATHs keeps.
std::int64_t held_outside(const _scandata_space& space);

// Where the walk met the entry being recorded, for reading its extent map
// (-E): its directory is the cursor's current one.
struct _scandata_entry_place {
  platform::walk_cursor& cursor;
  const platform::listed_entry& entry;
  const native_string& path;
};

// A file that holds extents its volume flags as shared (-E): its
// allocation less those extents, which count apart, and how the walk under
// way met it.
struct _scandata_shared_holder {
  std::int64_t own = 0;
  std::uint32_t last_walk = 0;  // the last walk that met it, from 1
  bool freed_by_walk = false;   // that walk met every name of it
  // In the rows of the space by directory: the last walk that met it
  // there, the row of the last name it met, and the row that walk freed
  // it in (none until then).
  std::uint32_t rows_walk = 0;
  std::uint32_t last_row = _scandata_directories::none;
  std::uint32_t freed_row = _scandata_directories::none;
};

// A volume met under -E: what it says of extents, and the number of the
// set of physical addresses its ranges lie in.
struct _scandata_volume {
  std::uint64_t device = 0;
  platform::volume_extents extents;
  std::uint32_t addresses = 0;
};

// A row of the space by directory that holds a name of a holder of shared
// extents, or that freed the holder, in one walk.
struct _scandata_holder_row {
  std::uint32_t holder;
  std::uint32_t walk;
  std::uint32_t row;
};

// Under -E with rows, what the walk under way did with the inodes of one
// xfs inode chunk: those freed in the rows, and the lowest row holding the
// rows that freed them; the row of the last name met, so that names one
// after another in a row leave it once.
struct _scandata_chunk_rows {
  std::uint64_t freed = 0;  // one bit an inode
  std::uint32_t walk = 0;
  std::uint32_t last_row = _scandata_directories::none;
  std::uint32_t common_row = _scandata_directories::none;
};

// How the run measures sizes: by the files' lengths, or (with -A) by the
// space allocated to them on disk, where directories take space too.
enum class size_measure : std::uint8_t { apparent, allocated };

// One scan error, as the JSON report lists it: the message of its verbose
// line and the system's code.
struct _scandata_error {
  native_string message;
  platform::error_code code = 0;
};

// The name of a kind as the reports print it: "normal", "symlink" or
// "reparse" (examine.cc, where entries are tallied by kind).
const char* kind_name(platform::entry_kind kind);

struct _scandata {
  bool verbose = false;
  std::int32_t progress_ticks = 0;

  // The scan errors met, every one of them whether or not verbose mode
  // printed its line: a run that met any does not pass for a clean one.
  std::int64_t scan_errors = 0;
  // Every scan error in the order met, kept only when `record_errors` (for
  // the JSON report, which lists them).
  bool record_errors = false;
  std::vector<_scandata_error> errors;
  // The PATHs that could not be scanned at all, each with the error that
  // stopped its walk: one that is no directory, could not be entered or
  // could not be listed (the message is the PATH as given). Each is one of
  // the scan errors.
  std::vector<_scandata_error> unscanned_paths;

  // Entries listed by the walks, by kind. Counters are 64-bit: a volume may
  // hold more than 2^31 entries.
  std::int64_t files_total = 0;
  std::int64_t files_normal = 0;
  std::int64_t files_symlink = 0;
  std::int64_t files_reparse = 0;
  std::int64_t files_skipped = 0;
  std::int64_t dirs_total = 0;
  std::int64_t dirs_normal = 0;
  std::int64_t dirs_symlink = 0;
  std::int64_t dirs_reparse = 0;
  std::int64_t dirs_skipped = 0;

  std::uint64_t unique_files = 0;  // distinct files, each counted at its first name
  std::int64_t naive_size = 0;     // every name counted
  std::int64_t unique_size = 0;    // every file counted once, at its first name

  std::map<std::int32_t, _scandata_hardlinkcount_info> hardlinkcounts;
  // For every distinct file of several links, and for the single-link files
  // whose names are kept, the paths under which the walks met it, in the
  // order met (see keeps_names_for), and its space-by-path counts. The
  // other single-link files are not kept at all: a file of one link has one
  // name, so it is met again only where its directory is listed again,
  // which `listed_directories` tells.
  file_table filenames_by_key;
  std::vector<_scandata_breakdown_fileinfo> breakdowns;
  // The name lists of the breakdowns, one for each file however many
  // breakdowns it has.
  platform::link_name_lists link_names;
  // The names of one breakdown's file: its list in `link_names`, or none.
  const std::vector<native_string>& names_of(const _scandata_breakdown_fileinfo& info) const;
  _scandata_space space;
  _scandata_directories directories;

  // Names are only ever printed by the listings of the link counts asked for
  // with -C. When `keep_all_names` is false, a file's names are kept only if
  // the link count of its first name is in `listed_link_counts`, so memory
  // grows with the number of files rather than the number of names.
  bool keep_all_names = true;
  std::vector<std::int32_t> listed_link_counts;

  // Every directory the walks listed, by identity, with the last walk that
  // listed it (walks count from 1). Directories are few next to files; the
  // memory of a plain scan grows with them and with the files of several
  // links, never with the single-link files.
  identity_table listed_directories;
  std::uint32_t walks = 0;  // walks begun
  // Whether the directory being walked was listed before by this walk, or by
  // any walk of the run: each of its names was then met before.
  bool listed_before_by_walk = false;
  bool listed_before_by_run = false;
  const native_string* walk_top = nullptr;  // the PATH being walked, until it is listed

  // Where progress and scan errors go (standard output), and the line for a
  // PATH that is no directory (standard error).
  native_ostream* out = &platform::standard_output();
  native_ostream* err = &platform::standard_error();

  // Sizes count as `measure` says from now on; set before the walks.
  void measure_sizes(size_measure measure);
  size_measure measure() const { return measure_; }

  // Extents that several files share count once (-E): on volumes that can
  // share them, each regular file's shared extents count by their physical
  // ranges, once however many files hold them. Set after measure_sizes
  // (allocated) and before the walks.
  void count_shared_extents() { shared_extents_on_ = true; }
  bool counts_shared_extents() const { return shared_extents_on_; }
  // On xfs, -E counts the inode chunks that deleting empties: a chunk of 64
  // inodes all met (inode_chunks.h), files and directories alike.
  //
  // What the figures under -E leave out, so that deleting frees at least
  // them: the metadata of a btrfs met (which holds small files and links
  // too), and compressed extents counted at one block, their length on
  // disk unread.
  bool metadata_not_counted() const { return metadata_not_counted_; }
  bool compressed_counted_at_least() const { return compressed_at_least_; }
  // Adds the shared ranges to the totals and to the space by path, once
  // every holder is known: after the last walk (scan_paths does it).
  void settle_shared_extents();

  // Walks the tree at `path` (walk.cc).
  void scan_directory(const native_string& path);
  // Walks every PATH in order, each a row of the space by path
  // (space_by_path.cc).
  void scan_paths(const std::vector<native_string>& paths);
  // Asks for the space by directory, with rows down to `depth` (below 0
  // counts as 0), before the walks (space_by_directory.cc).
  void collect_directories(std::int32_t depth);
  // Notes that the walk listed a directory, by its identity when known,
  // before its entries are examined (walk.cc).
  void directory_listed(const platform::listed_directory& directory);
  // The space a directory entry just tallied took in the rows, taken (and
  // forgotten) for the walk to hand to that directory's own row.
  std::int64_t take_entered_allocated() {
    const std::int64_t allocated = directories.entered_allocated;
    directories.entered_allocated = 0;
    return allocated;
  }
  // Examines one listed entry of the walk's current directory into `facts`,
  // all of them from one reading; false, with its error line, when it could
  // not be found or opened, or was found with no link left (examine.cc). A
  // symbolic link of several names is no directory in `facts`, wherever
  // its target leads: it is tallied as a file at every name.
  bool examine_listed(platform::walk_cursor& cursor, const native_string& path,
                      const platform::listed_entry& entry, platform::entry_facts& facts);
  // Tallies one examined entry met under `path` (examine.cc); `place`,
  // where the walk met it, serves to read its extents under -E.
  void record_entry(native_string_view path, const platform::entry_facts& facts,
                    const _scandata_entry_place* place = nullptr);
  // Tallies one examined file for the space by path: `new_file` when the
  // run meets it first, `tally` its counts (space_by_path.cc).
  void tally_space(const platform::entry_facts& facts, bool new_file,
                   _scandata_space_tally& tally);
  // Tallies one examined file of one name, or of several (`tally` its
  // counts), in the rows of the space by directory (space_by_directory.cc).
  void tally_rows(std::int64_t size) {
    if (directories.collecting() && !listed_before_by_walk) single_name_in_rows(size);
  }
  void tally_rows(const platform::entry_facts& facts, _scandata_row_tally& tally);
  // Tallies the space of one directory for the space by path: `new_to_run`
  // when no walk counted its identity before, `new_to_walk` when this walk
  // meets its one name first (space_by_path.cc).
  void tally_directory_space(std::int64_t allocated, bool new_to_run, bool new_to_walk);
  // Collects the breakdowns of one -F path or pattern (breakdown.cc).
  void breakdown(const native_string& path);
  // Finds the names of every collected breakdown, one search per volume.
  void find_breakdown_names();
  // Counts one scan error and, in verbose mode, prints its line: `message`
  // and the system's `code` on `out` (report_error.cc).
  void scan_error(platform::error_code code, native_string_view message);
  // Counts a PATH (or a subdirectory that stopped being one) that is no
  // directory and, in verbose mode, says so on `err`.
  void not_a_directory(const native_string& path);
  // One tick of the progress display, and its end (progress.cc).
  void progress();
  void progress_done();

 private:
  bool keeps_names_for(std::int32_t links) const;
  // Whether a single-link file goes into the identity map (its names are
  // kept); else directories must be remembered to tell it met again.
  bool keeps_single_link_files() const { return keeps_names_for(1); }
  // The facts a file counts by under -E: `facts`, or for a file that holds
  // shared extents a copy whose allocation is its own part alone. Reads
  // the extents of a file met first (`new_file`), where `place` tells
  // where, and sets `holder_` (examine.cc).
  const platform::entry_facts& own_part(const platform::entry_facts& facts, bool new_file,
                                        const _scandata_entry_place* place);
  // What the volume `device` of the entry at `place` keeps of extents,
  // asked once per volume.
  const _scandata_volume& volume_of(std::uint64_t device, const _scandata_entry_place& place);
  // Adds the shared ranges of the extents just read to `holder`, in the
  // set of addresses `addresses`, and notes a compressed length counted
  // at its least.
  void add_ranges(std::uint32_t holder, std::uint32_t addresses);
  // What the volume `device` keeps of extents, where a walk asked it
  // already; null otherwise.
  const _scandata_volume* known_volume(std::uint64_t device) const;
  // Under -E: the inode chunk of the entry being recorded (chunk_), where
  // its volume is an xfs, noted as met by the run; first the chunk of the
  // walk's own directory, where the entry tells its volume (examine.cc).
  void note_inode(const platform::entry_facts& facts, const _scandata_entry_place* place);
  // The walk's own directory in its chunk, its volume `volume` (null: not
  // known), once per walk: met and freed by the walk, freed by the run.
  void note_top_inode(const _scandata_volume* volume);
  // How the walk under way met the inode of chunk_: a file, by its
  // space-by-path counts, or a directory, freed where met
  // (space_by_path.cc).
  void note_chunk(const _scandata_space_tally& tally);
  void note_chunk_directory();
  // The inode of chunk_ in the rows: a file just tallied there with
  // `tally` (null for a file of one name, freed in its row); and any inode
  // named in `row`, freed in `freed_row` (none: not yet)
  // (space_by_directory.cc).
  void note_chunk_in_rows(const _scandata_row_tally* tally);
  void chunk_in_rows(std::uint32_t chunk, std::uint64_t inode, std::uint32_t row,
                     std::uint32_t freed_row);
  // Adds the figures of shared ranges or inode chunks to the totals and the
  // space by path (space_by_path.cc).
  void add_shared_totals(const shared_extent_totals& totals);
  // Adds the whole chunks to the rows, after the last walk.
  void settle_chunk_rows();
  // The facts of a symbolic link, or a copy of them without blocks where
  // its volume keeps links in its metadata (examine.cc).
  const platform::entry_facts& link_part(const platform::entry_facts& facts,
                                         const _scandata_entry_place* place);
  // Notes how the walk under way met the file `holder_`, by its
  // space-by-path counts (space_by_path.cc).
  void note_holder(const _scandata_space_tally& tally);
  // Hands the meetings of the walk just ended to the shared ranges.
  void end_walk_of_holders();
  // Notes the row of a name of the file `holder_`, just tallied in the rows
  // with `tally` (null for a file of one name), and at the walk's end the
  // rows that freed the holders it met (space_by_directory.cc).
  void note_holder_in_rows(const _scandata_row_tally* tally);
  void end_walk_of_holder_rows();
  // Settles the shared ranges, each piece also into the rows of its
  // holders' names, after the last walk (space_by_directory.cc).
  shared_extent_totals settle_shared_rows(std::uint32_t walks);
  // Counts a file met for the first time, under its link count.
  void count_new_file(const platform::entry_facts& facts, _scandata_hardlinkcount_info& by_links);
  // Counts the space a directory takes, when sizes are allocated ones: at
  // every name in the naive total, once per identity in the unique one
  // (examine.cc). `new_to_walk` as for tally_directory_space.
  void count_directory(const platform::entry_facts& facts, bool new_to_walk);
  // Counts the space of a PATH's own directory, read once before its walk.
  void count_top_directory(const native_string& path);
  // The space by directory's part of a walk: a directory listed (its row
  // made, where it has one), and the walk's end (space_by_directory.cc).
  void directory_row(const platform::listed_directory& directory);
  // The inode of a directory just listed, in its row: its own, or that of
  // its nearest ancestor with one (space_by_directory.cc).
  void directory_inode_in_rows(const platform::listed_directory& directory);
  void settle_directory_rows();
  // A file of one name in the rows, and a directory's own space: freed
  // where met.
  void single_name_in_rows(std::int64_t size);
  void directory_in_rows(std::int64_t allocated);
  // True when the examination of `path` read it into `facts`; otherwise
  // counts the scan error and prints its line, which tells an entry not
  // found from one found but not opened. A file read with no link left was
  // unlinked meanwhile: not found (examine.cc).
  bool examined(platform::result<platform::examination> examination,
                const platform::entry_facts& facts, const native_string& path);
  // `path` as printed, `system_path` for the calls (fs/system_path.h).
  void breakdown_single(const native_string& path, const native_string& system_path);
  std::size_t named_breakdowns_ = 0;  // breakdowns whose names were searched

  size_measure measure_ = size_measure::apparent;
  // The member of an entry's facts that every size of the run adds up:
  // picked once with the measure, so that the tally of an entry reads it
  // with no test of the measure.
  std::int64_t platform::entry_facts::*size_of_ = &platform::entry_facts::size;
  // The directories whose space the unique total holds, by identity (only
  // when sizes are allocated ones): a directory met again, as the PATH of
  // one walk and an entry of another, counts once.
  identity_table counted_directories_;
  // Under -E: the files holding shared extents, their ranges and which
  // holder each file is; the holders the walk under way met; the volumes
  // asked whether they share; the one buffer the extents are read into.
  bool shared_extents_on_ = false;
  shared_extents shared_;
  std::vector<_scandata_shared_holder> holders_;
  identity_table holder_of_;
  std::vector<std::uint32_t> holders_met_;
  // Under -E with rows: the rows of the holders' names, a row once for the
  // names one after another in it; the rows that freed them; the holders
  // the walk under way met.
  std::vector<_scandata_holder_row> holder_names_;
  std::vector<_scandata_holder_row> holders_freed_;
  std::vector<std::uint32_t> holders_in_rows_;
  std::vector<_scandata_volume> volumes_;
  std::vector<platform::address_space> address_spaces_;
  bool metadata_not_counted_ = false;
  bool compressed_at_least_ = false;
  std::vector<platform::mapped_extent> extents_;
  static constexpr std::uint32_t no_holder = 0xFFFFFFFFu;
  std::uint32_t holder_ = no_holder;  // of the file being recorded
  platform::entry_facts own_facts_;   // what own_part returns for a holder
  // Under -E on xfs: the inode chunks met; the chunk and inode of the
  // entry being recorded (none elsewhere); the walk's own directory and the
  // length of its path, until an entry read in it tells its volume.
  inode_chunks chunks_;
  std::uint32_t chunk_ = inode_chunks::none;
  std::uint64_t chunk_inode_ = 0;
  bool top_pending_ = false;
  platform::file_identity top_identity_;
  std::size_t top_path_length_ = 0;
  // With rows: each chunk's state in the walk under way, and the rows of
  // its inodes' names and where a walk freed it whole (`holder` the chunk).
  std::vector<_scandata_chunk_rows> chunk_rows_;
  std::vector<_scandata_holder_row> chunk_names_;
  std::vector<_scandata_holder_row> chunks_freed_;
};

// Prints one scan error: `message`, ": 0x" and `code` as eight lower-case
// hexadecimal digits, then a line end.
void report_error(native_ostream& out, std::uint32_t code, native_string_view message);

// Builds the message of an error line: `text`, the quoted path.
native_string quoted_message(const char* text, native_string_view path);

}  // namespace scan

#endif  // TWINFIND_SCAN_SCANDATA_H_
