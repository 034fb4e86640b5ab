// The JSON report: everything the text reports carry, and the space by
// path (and by directory, when asked for), as one document streamed out
// member by member. Its keys are an
// interface for scripts: they stay as they are, and every one is always
// present, with zeros and empty lists where there is nothing to tell.
#include <cstdint>
#include <ostream>

#include "report/json_writer.h"
#include "report/report_format.h"

namespace report {

namespace {

void print_kinds(json_writer& json, const char* key, std::int64_t total, std::int64_t normal,
                 std::int64_t symlink, std::int64_t reparse, std::int64_t skipped) {
  json.key(key);
  json.begin_object();
  json.member("total", total);
  json.member("normal", normal);
  json.member("symlink", symlink);
  json.member("reparse", reparse);
  json.member("skipped", skipped);
  json.end_object();
}

void print_names(json_writer& json, const std::vector<native_string>& names) {
  json.key("names");
  json.begin_array();
  for (const native_string& name : names) json.string(name);
  json.end_array();
}

void print_hardlinks(json_writer& json, const scan::_scandata& scan) {
  json.key("hardlinks");
  json.begin_array();
  for (const auto& [links, info] : scan.hardlinkcounts) {
    json.begin_object();
    json.member("links", links);
    json.member("files", info.file_count);
    json.member("unique_files", info.distinct_files);
    json.end_object();
  }
  json.end_array();
}

void print_space(json_writer& json, const scan::_scandata& scan,
                 const std::vector<native_string>& directories) {
  json.key("space_by_path");
  json.begin_array();
  for (std::size_t i = 0; i < directories.size() && i < scan.space.paths.size(); ++i) {
    const scan::_scandata_path_space& path = scan.space.paths[i];
    json.begin_object();
    json.member("path", directories[i]);
    json.member("files", path.files);
    json.member("unique_files", path.unique_files);
    json.member("unique_size", path.unique_size);
    json.member("freed_if_deleted", path.freed);
    json.member("added_files", path.added_files);
    json.member("added_size", path.added_size);
    json.member("freed_with_those_before_files", path.freed_with_those_before_files);
    json.member("freed_with_those_before", path.freed_with_those_before);
    json.end_object();
  }
  json.end_array();
  json.member("freed_if_all_deleted", scan.space.freed);
  json.member("held_outside", scan::held_outside(scan.space));
}

// Empty unless the space by directory was asked for.
void print_directories(json_writer& json, const scan::_scandata& scan) {
  json.key("space_by_directory");
  json.begin_array();
  for (const scan::_scandata_directory_row& row : scan.directories.rows) {
    if (!row.shown) continue;
    json.begin_object();
    json.member("path", scan.directories.path_of(row));
    json.member("depth", row.depth);
    json.member("files", row.files);
    json.member("unique_size", row.unique_size());
    json.member("freed_if_deleted", row.freed());
    json.end_object();
  }
  json.end_array();
}

// One entry per -C count that the text report lists, in the same order.
void print_listings(json_writer& json, const scan::_scandata& scan,
                    const std::vector<std::int32_t>& counts) {
  json.key("listings");
  json.begin_array();
  for (std::int32_t links : counts) {
    const auto count = scan.hardlinkcounts.find(links);
    if (count == scan.hardlinkcounts.end()) continue;
    json.begin_object();
    json.member("links", links);
    json.key("files");
    json.begin_array();
    for (const platform::file_identity& id : count->second.file_ids) {
      json.begin_object();
      json.key("id");
      json.hex(id.key_high, static_cast<std::uint64_t>(id.key));
      print_names(json, scan::kept_names(scan.filenames_by_key.find(id)));
      json.end_object();
    }
    json.end_array();
    json.end_object();
  }
  json.end_array();
}

void print_breakdowns(json_writer& json, const scan::_scandata& scan) {
  json.key("breakdowns");
  json.begin_array();
  for (const scan::_scandata_breakdown_fileinfo& info : scan.breakdowns) {
    json.begin_object();
    json.member("path", info.filename);
    json.key("id");
    json.hex(info.file_key_high, static_cast<std::uint64_t>(info.file_key));
    json.member("links", info.file_links);
    json.member("naive_size", naive_size_of(info.file_links, info.file_size));
    json.member("size", info.file_size);
    json.key("kind");
    json.ascii(scan::kind_name(info.kind));
    print_names(json, scan.names_of(info));
    json.end_object();
  }
  json.end_array();
}

void print_errors(json_writer& json, const scan::_scandata& scan) {
  json.key("errors");
  json.begin_array();
  for (const scan::_scandata_error& error : scan.errors) {
    json.begin_object();
    json.member("message", error.message);
    json.member("code", error.code);
    json.end_object();
  }
  json.end_array();
}

}  // namespace

void print_json_report(native_ostream& out, const scan::_scandata& scan,
                       const std::vector<native_string>& directories,
                       const std::vector<std::int32_t>& list_files_for_hardlinkcount) {
  json_writer json{out};
  json.begin_object();
  json.member("twinfind", 1);  // the version of the format
  json.key("paths");
  json.begin_array();
  for (const native_string& path : directories) json.string(path);
  json.end_array();
  print_kinds(json, "files", scan.files_total, scan.files_normal, scan.files_symlink,
              scan.files_reparse, scan.files_skipped);
  print_kinds(json, "directories", scan.dirs_total, scan.dirs_normal, scan.dirs_symlink,
              scan.dirs_reparse, scan.dirs_skipped);
  json.member("unique_files", static_cast<std::int64_t>(scan.unique_files));
  print_hardlinks(json, scan);
  // Which measure every size of the document is in.
  json.key("sizes");
  json.ascii(scan.measure() == scan::size_measure::allocated ? "allocated" : "apparent");
  // Whether extents that several files share counted once (-E).
  json.key("shared_extents");
  json.boolean(scan.counts_shared_extents());
  // Under -E, what its figures leave out (so that deleting frees at least
  // them); nothing is said without it.
  if (scan.counts_shared_extents()) {
    json.key("not_counted");
    json.begin_array();
    if (scan.metadata_not_counted()) json.ascii("metadata");
    if (scan.compressed_counted_at_least()) json.ascii("compressed_length");
    json.end_array();
  }
  json.member("naive_size", scan.naive_size);
  json.member("unique_size", scan.unique_size);
  print_space(json, scan, directories);
  print_directories(json, scan);
  print_listings(json, scan, list_files_for_hardlinkcount);
  print_breakdowns(json, scan);
  print_errors(json, scan);
  json.end_object();
  out << std::endl;
}

}  // namespace report
