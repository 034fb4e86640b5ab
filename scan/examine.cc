// The examination of one entry of a walk, and its tally.
#include <algorithm>
#include <limits>

#include "scan/scandata.h"

namespace scan {

namespace {

// Adds a file's size to a total. Sparse files can claim sizes whose sum
// leaves the 64-bit range; the total then stays at the end of the range
// instead of wrapping to a negative number.
std::int64_t saturating_add(std::int64_t total, std::int64_t size) {
  const std::int64_t max = std::numeric_limits<std::int64_t>::max();
  const std::int64_t min = std::numeric_limits<std::int64_t>::min();
  if (size > 0 && total > max - size) return max;
  if (size < 0 && total < min - size) return min;
  return total + size;
}

}  // namespace

bool _scandata::scan_file(platform::walk_cursor& cursor, const native_string& path,
                          const platform::listed_entry& entry, platform::entry_facts& facts) {
  if (!examined(platform::examine_entry(cursor, path, entry, facts), path)) return false;
  record_entry(path, facts);
  return true;
}

bool _scandata::examined(platform::result<platform::examination> examination,
                         const native_string& path) {
  const platform::error_code error = examination.error;
  switch (examination.outcome) {
    case platform::examination::examined:
      return true;
    case platform::examination::not_found:
      scan_error(error, quoted_message("Error finding ", path));
      return false;
    case platform::examination::not_opened:
      scan_error(error, quoted_message("Error opening ", path));
      return false;
  }
  return false;
}

void _scandata::record_entry(native_string_view path, const platform::entry_facts& facts) {
  using platform::entry_kind;
  const bool symlink = facts.kind == entry_kind::symlink;
  const bool reparse = facts.kind == entry_kind::reparse;
  if (facts.is_directory) {
    ++(symlink ? dirs_symlink : reparse ? dirs_reparse : dirs_normal);
    return;  // a directory adds nothing but its kind
  }
  ++(symlink ? files_symlink : reparse ? files_reparse : files_normal);

  // One lookup serves both the new-file test and the insertion of the name.
  auto found = filenames_by_key.lower_bound(facts.identity);
  const bool new_file = found == filenames_by_key.end() || !(found->first == facts.identity);
  naive_size = saturating_add(naive_size, facts.size);
  _scandata_hardlinkcount_info& by_links = hardlinkcounts[facts.links];
  ++by_links.file_count;
  if (new_file) {
    unique_size = saturating_add(unique_size, facts.size);
    by_links.file_ids.push_back(facts.identity);
    found = filenames_by_key.emplace_hint(found, facts.identity, _scandata_fileinfo());
    // The file's first name decides whether its names are kept.
    if (keeps_names_for(facts.links))
      found->second.names = std::make_unique<std::vector<native_string>>();
  }
  if (space.enabled) tally_space(facts, new_file, found->second.space);
  if (found->second.names) found->second.names->emplace_back(path);
}

bool _scandata::keeps_names_for(std::int32_t links) const {
  return keep_all_names || std::find(listed_link_counts.begin(), listed_link_counts.end(),
                                     links) != listed_link_counts.end();
}

const std::vector<native_string>& kept_names(const _scandata_fileinfo& file) {
  static const std::vector<native_string> none;
  return file.names ? *file.names : none;
}

const char* kind_name(platform::entry_kind kind) {
  switch (kind) {
    case platform::entry_kind::symlink:
      return "symlink";
    case platform::entry_kind::reparse:
      return "reparse";
    case platform::entry_kind::normal:
      break;
  }
  return "normal";
}

}  // namespace scan
