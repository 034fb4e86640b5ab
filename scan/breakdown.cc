// The breakdowns of -F: one record for every file that a path or a
// wildcard pattern stands for, with every name its volume knows it by.
#include "scan/scandata.h"

#include "fs/system_path.h"

namespace scan {

void _scandata::breakdown(const native_string& path) {
  // The path is resolved once into the form the system calls take; the
  // reports keep the path as given.
  const native_string system_path = platform::system_path(path);
  if (!platform::has_wildcards(path)) {
    breakdown_single(path, system_path);
    return;
  }
  std::vector<platform::pattern_match> matches;
  const platform::result<> searched = platform::find_pattern_matches(system_path, matches);
  if (!searched.outcome) {
    scan_error(searched.error, quoted_message("Error searching ", path));
    return;
  }
  for (const platform::pattern_match& match : matches) {
    if (match.is_directory) continue;
    // Each match is joined twice: to the pattern as given, to be printed,
    // and to its system form, so that the calls look at the very entry
    // matched. A joined path is taken as one path and never expanded again,
    // so the expansion ends even where a directory part holds a '?' (as
    // "\\?\" does).
    breakdown_single(platform::join_pattern_match(path, match.name),
                     platform::join_pattern_match(system_path, match.name));
  }
}

void _scandata::breakdown_single(const native_string& path, const native_string& system_path) {
  platform::entry_facts facts;
  if (!examined(platform::examine_path(system_path, facts), facts, path)) return;
  _scandata_breakdown_fileinfo info;
  info.filename = path;
  info.file_key = facts.identity.key;
  info.file_key_high = facts.identity.key_high;
  info.file_links = facts.links;
  info.file_size = facts.*size_of_;
  info.kind = facts.kind;
  info.volume = facts.identity.volume;
  info.is_directory = facts.is_directory;
  if (system_path != path) info.system_path = system_path;
  breakdowns.push_back(std::move(info));
}

void _scandata::find_breakdown_names() {
  std::vector<platform::link_name_request> requests;
  requests.reserve(breakdowns.size() - named_breakdowns_);
  for (std::size_t i = named_breakdowns_; i < breakdowns.size(); ++i) {
    const _scandata_breakdown_fileinfo& info = breakdowns[i];
    const native_string& path = info.system_path.empty() ? info.filename : info.system_path;
    requests.emplace_back();
    requests.back().path = path;
    requests.back().facts = info.facts();
  }
  platform::find_link_names(requests, link_names);
  for (const platform::link_name_request& request : requests) {
    breakdowns[named_breakdowns_++].filenames = request.names;
    // Where names are missing, the places the search could not look into.
    for (const platform::unsearched_directory& directory : request.unsearched)
      scan_error(directory.error, quoted_message("Error searching ", directory.path));
  }
}

const std::vector<native_string>& _scandata::names_of(
    const _scandata_breakdown_fileinfo& info) const {
  static const std::vector<native_string> no_names;
  return info.filenames < link_names.size() ? link_names[info.filenames] : no_names;
}

}  // namespace scan
