// The breakdowns of -F: one record for every file that a path or a
// wildcard pattern stands for, with every name its volume knows it by.
#include "scan/scandata.h"

void _scandata::breakdown(const native_string& path) {
  if (!platform::has_wildcards(path)) {
    breakdown_single(path);
    return;
  }
  std::vector<platform::pattern_match> matches;
  platform::error_code error = 0;
  if (!platform::find_pattern_matches(path, matches, error)) {
    scan_error(error, quoted_message("Error searching ", path));
    return;
  }
  for (const platform::pattern_match& match : matches) {
    if (match.is_directory) continue;
    // A joined path is taken as one path and never expanded again, so the
    // expansion ends even where a directory part holds a '?' (as "\\?\" does).
    breakdown_single(platform::join_pattern_match(path, match.name));
  }
}

void _scandata::breakdown_single(const native_string& path) {
  platform::entry_facts facts;
  platform::error_code error = 0;
  const platform::examination outcome = platform::examine_path(path, facts, error);
  if (!examined(outcome, error, path)) return;
  _scandata_breakdown_fileinfo info;
  info.filename = path;
  info.facts = facts;
  breakdowns.push_back(std::move(info));
}

void _scandata::find_breakdown_names() {
  std::vector<platform::link_name_request> requests;
  requests.reserve(breakdowns.size() - named_breakdowns_);
  for (std::size_t i = named_breakdowns_; i < breakdowns.size(); ++i)
    requests.push_back(platform::link_name_request{breakdowns[i].filename, breakdowns[i].facts, 0});
  platform::find_link_names(requests, link_names);
  for (const platform::link_name_request& request : requests)
    breakdowns[named_breakdowns_++].filenames = request.names;
}
