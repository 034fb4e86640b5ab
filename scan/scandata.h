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
#include <map>
#include <vector>

#include "platform/console.h"
#include "platform/filesystem.h"
#include "platform/text.h"

// The files met with one hard-link count.
struct _scandata_hardlinkcount_info {
  // Names met whose file reported this link count, every name counted.
  std::int64_t file_count = 0;
  // The distinct files with this link count, in the order first met.
  std::vector<platform::file_identity> file_ids;
};

// The breakdown of one file named by -F.
struct _scandata_breakdown_fileinfo {
  native_string filename;  // the path under which the file was examined
  // What the examination read: identity (the key is printed), link count,
  // size and kind.
  platform::entry_facts facts;
  // Every name the volume knows it by: its list in _scandata::link_names,
  // shared with every other breakdown of the same file; none until searched.
  std::size_t filenames = static_cast<std::size_t>(-1);
};

// "normal", "symlink" or "reparse".
const char* kind_name(platform::entry_kind kind);

struct _scandata {
  bool verbose = false;
  std::int32_t progress_ticks = 0;

  // The scan errors met, every one of them whether or not verbose mode
  // printed its line: a run that met any does not pass for a clean one.
  std::int64_t scan_errors = 0;

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

  std::uint64_t unique_files = 0;  // set by the run once scanning is over
  std::int64_t naive_size = 0;     // every name counted
  std::int64_t unique_size = 0;    // every file counted once, at its first name

  std::map<std::int32_t, _scandata_hardlinkcount_info> hardlinkcounts;
  // For every distinct file, the paths under which the walks met it, in the
  // order met (see keeps_names_for).
  std::map<platform::file_identity, std::vector<native_string>> filenames_by_key;
  std::vector<_scandata_breakdown_fileinfo> breakdowns;
  // The name lists of the breakdowns, one for each file however many
  // breakdowns it has.
  platform::link_name_lists link_names;

  // Names are only ever printed by the listings of the link counts asked for
  // with -C. When `keep_all_names` is false, a file's names are kept only if
  // the link count of its first name is in `listed_link_counts`, so memory
  // grows with the number of files rather than the number of names.
  bool keep_all_names = true;
  std::vector<std::int32_t> listed_link_counts;

  // Where progress and scan errors go (standard output), and the line for a
  // PATH that is no directory (standard error).
  native_ostream* out = &platform::standard_output();
  native_ostream* err = &platform::standard_error();

  // Walks the tree at `path` (walk.cc).
  void scan_directory(const native_string& path);
  // Examines one listed entry of the walk's current directory and tallies
  // it; false when it could not be found or opened (examine.cc).
  bool scan_file(platform::walk_cursor& cursor, const native_string& path,
                 const platform::listed_entry& entry, platform::entry_facts& facts);
  // Tallies one examined entry met under `path` (examine.cc).
  void record_entry(native_string_view path, const platform::entry_facts& facts);
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
  // True when the examination of `path` read it; otherwise counts the scan
  // error and prints its line, which tells an entry not found from one
  // found but not opened (examine.cc).
  bool examined(platform::examination outcome, platform::error_code error,
                const native_string& path);
  void breakdown_single(const native_string& path);
  std::size_t named_breakdowns_ = 0;  // breakdowns whose names were searched
};

// Prints one scan error: `message`, ": 0x" and `code` as eight lower-case
// hexadecimal digits, then a line end.
void report_error(native_ostream& out, std::uint32_t code, native_string_view message);

// Builds the message of an error line: `text`, the quoted path.
native_string quoted_message(const char* text, native_string_view path);

#endif  // TWINFIND_SCAN_SCANDATA_H_
