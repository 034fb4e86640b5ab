// The JSON report against the text report of the same tree: the document
// is read back into the scan's figures, which the text reports then print;
// that must give the text run's report byte for byte. Then what only the
// document has: the errors, the names exactly, the keys that are always
// there.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli/run.h"
#include "testing/json_test_util.h"
#include "report/report_format.h"
#include "testing/report_test_util.h"
#include "testing/filesystem-fake.h"
#include "testing/text_test_util.h"

namespace report {

#ifdef TWINFIND_HAVE_JSON_PARSER

namespace {

using json_test::native_of;
using nlohmann::json;

struct run_output {
  int code;
  native_string out;
  native_string err;
};

// The locale of both reports, as the program imbues the user's: one that
// groups digits, so that the figures are compared as a user sees them.
const std::locale& user() {
  static const std::locale grouping = report_test::grouping_locale(',');
  return grouping;
}

run_output run_with(const cli::command_line& parsed) {
  native_ostringstream out;
  native_ostringstream err;
  out.imbue(user());
  const int code = cli::run(parsed, out, err);
  return {code, out.str(), err.str()};
}

std::vector<native_string> names_of(const json& names) {
  std::vector<native_string> result;
  for (const json& name : names) result.push_back(native_of(name.get<std::string>()));
  return result;
}

platform::file_identity id_of(const json& id) {
  return platform::file_identity{1, static_cast<std::int64_t>(std::stoull(id.get<std::string>(), nullptr, 16))};
}

platform::entry_kind kind_of(const std::string& kind) {
  if (kind == "symlink") return platform::entry_kind::symlink;
  if (kind == "reparse") return platform::entry_kind::reparse;
  EXPECT_EQ("normal", kind);
  return platform::entry_kind::normal;
}

// The scan's figures as the document tells them.
scan::_scandata scan_of(const json& doc) {
  scan::_scandata scan;
  const json& files = doc.at("files");
  scan.files_total = files.at("total");
  scan.files_normal = files.at("normal");
  scan.files_symlink = files.at("symlink");
  scan.files_reparse = files.at("reparse");
  scan.files_skipped = files.at("skipped");
  const json& dirs = doc.at("directories");
  scan.dirs_total = dirs.at("total");
  scan.dirs_normal = dirs.at("normal");
  scan.dirs_symlink = dirs.at("symlink");
  scan.dirs_reparse = dirs.at("reparse");
  scan.dirs_skipped = dirs.at("skipped");
  scan.unique_files = doc.at("unique_files");
  std::int32_t previous = std::numeric_limits<std::int32_t>::min();
  for (const json& row : doc.at("hardlinks")) {
    const std::int32_t links = row.at("links");
    EXPECT_LT(previous, links) << "in ascending order of links";
    previous = links;
    scan::_scandata_hardlinkcount_info& info = scan.hardlinkcounts[links];
    info.file_count = row.at("files");
    info.distinct_files = row.at("unique_files");
  }
  for (const json& listing : doc.at("listings")) {
    scan::_scandata_hardlinkcount_info& info = scan.hardlinkcounts.at(listing.at("links"));
    EXPECT_EQ(static_cast<std::size_t>(info.distinct_files), listing.at("files").size());
    info.file_ids.clear();
    for (const json& file : listing.at("files")) {
      info.file_ids.push_back(id_of(file.at("id")));
      scan.filenames_by_key[id_of(file.at("id"))].names =
          std::make_unique<std::vector<native_string>>(names_of(file.at("names")));
    }
  }
  const std::string sizes = doc.at("sizes");
  EXPECT_TRUE(sizes == "apparent" || sizes == "allocated") << sizes;
  if (sizes == "allocated") scan.measure_sizes(scan::size_measure::allocated);
  scan.naive_size = doc.at("naive_size");
  scan.unique_size = doc.at("unique_size");
  for (const json& row : doc.at("space_by_path")) {
    scan.space.paths.push_back({row.at("files"), row.at("unique_files"), row.at("unique_size"),
                                row.at("freed_if_deleted"), row.at("added_files"),
                                row.at("added_size"), row.at("freed_with_those_before_files"),
                                row.at("freed_with_those_before")});
  }
  scan.space.unique_size = scan.unique_size;
  scan.space.freed = doc.at("freed_if_all_deleted");
  // The last PATH frees, with those before it, what the run frees.
  if (!scan.space.paths.empty()) {
    scan.space.freed_files = scan.space.paths.back().freed_with_those_before_files;
    EXPECT_EQ(scan.space.freed, scan.space.paths.back().freed_with_those_before);
  }
  EXPECT_EQ(doc.at("held_outside").get<std::int64_t>(), scan::held_outside(scan.space));
  for (const json& row : doc.at("space_by_directory")) {
    scan::_scandata_directory_row& directory =
        scan.directories.add_row(native_of(row.at("path")), row.at("depth"));
    directory.files = row.at("files");
    directory.unique = row.at("unique_size").get<std::int64_t>();
    directory.freeable = row.at("freed_if_deleted").get<std::int64_t>();
  }
  for (const json& block : doc.at("breakdowns")) {
    scan::_scandata_breakdown_fileinfo info;
    info.filename = native_of(block.at("path"));
    info.file_key = id_of(block.at("id")).key;
    info.file_links = block.at("links");
    info.file_size = block.at("size");
    info.kind = kind_of(block.at("kind"));
    info.filenames = scan.link_names.size();
    scan.link_names.push_back(names_of(block.at("names")));
    EXPECT_EQ(block.at("naive_size").get<std::int64_t>(), naive_size_of(info.file_links, info.file_size));
    scan.breakdowns.push_back(std::move(info));
  }
  return scan;
}

// The text reports of what the document tells, as the run prints them.
native_string reports_of(const json& doc, const cli::command_line& parsed) {
  const scan::_scandata scan = scan_of(doc);
  EXPECT_EQ(names_of(doc.at("paths")), parsed.directories);
  for (std::size_t i = 0; i < parsed.directories.size(); ++i)
    EXPECT_EQ(native_of(doc.at("space_by_path").at(i).at("path")), parsed.directories[i]);
  native_ostringstream out;
  out.fill(' ');
  out.imbue(user());
  print_summary(out, scan, parsed.directories, parsed.list_files_for_hardlinkcount);
  print_space_by_path(out, scan, parsed.directories);
  print_space_in_order(out, scan, parsed.directories);
  if (parsed.directory_depth >= 0) print_space_by_directory(out, scan);
  print_breakdowns(out, scan);
  return out.str();
}

// The text report without its progress line.
native_string text_report(cli::command_line parsed) {
  parsed.space_by_path = true;
  parsed.space_in_order = true;
  const native_string out = run_with(parsed).out;
  return out.substr(out.find('\n') + 1);
}

json json_report(cli::command_line parsed) {
  parsed.json = true;
  const run_output r = run_with(parsed);
  EXPECT_EQ(native_string(), r.err);
  EXPECT_EQ(native_char('\n'), r.out.back());
  EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "one line";
  return json_test::parse(r.out);
}

// Two PATHs, a and b, and a file with two names in a (one two levels
// down, for rows of the space by directory to tell apart) and one in b.
void make_paths(const platform::fake_tree& tree) {
  tree.file("a/one", 10);
  tree.file("a/sub/deeper/two", 200);
  tree.hard_link("a/sub/deeper/two", "a/two-again");
  tree.hard_link("a/sub/deeper/two", "b/two-in-b");
  tree.file("b/three", 3000);
}

TEST(JsonReport, EveryFigureIsTheTextReports) {
  platform::fake_tree tree;
  make_paths(tree);
  tree.hard_link("b/three", "outside/three");
  tree.directory("b/empty");
  cli::command_line parsed;
  parsed.directories = {tree.path("a"), tree.path("b"), tree.path("a")};
  parsed.list_files_for_hardlinkcount = {3, 1, 7, 3, 2};
  // Single-link files: the breakdowns need no search of the file system.
  parsed.files = {tree.path("a/o*"), tree.path("b/empty"), tree.path("a/one")};
  const json doc = json_report(parsed);
  EXPECT_EQ(1, doc.at("twinfind"));
  EXPECT_EQ(4u, doc.at("listings").size());  // 3, 1, 3, 2: none for 7
  EXPECT_EQ(3u, doc.at("breakdowns").size());
  EXPECT_EQ(text_report(parsed), reports_of(doc, parsed));
  EXPECT_EQ(json::array(), doc.at("space_by_directory"));  // not asked for
  // b adds three, which a name outside keeps; with a before it, b frees
  // one and two.
  EXPECT_EQ(json({{"path", json_test::utf8_of(tree.path("b"))}, {"files", 2}, {"unique_files", 2},
                  {"unique_size", 3200}, {"freed_if_deleted", 0}, {"added_files", 1},
                  {"added_size", 3000}, {"freed_with_those_before_files", 2},
                  {"freed_with_those_before", 210}}),
            doc.at("space_by_path").at(1));
}

TEST(JsonReport, SpaceByDirectoryIsTheTextReportsAfterTheSpaceByPath) {
  platform::fake_tree tree;
  make_paths(tree);
  tree.set_allocated("a/one", 4096);
  tree.set_allocated("a/sub/deeper/two", 8192);
  tree.set_allocated("b/three", 4096);
  tree.set_allocated("a/sub", 100);
  tree.set_allocated("a/sub/deeper", 10);
  cli::command_line parsed;
  parsed.directories = {tree.path("a"), tree.path("b"), tree.path("a")};
  parsed.directory_depth = 1;
  for (const bool allocated : {false, true}) {
    parsed.allocated = allocated;
    parsed.json = true;
    const native_string text = run_with(parsed).out;
    parsed.json = false;
    const json doc = json_test::parse(text);
    const json& rows = doc.at("space_by_directory");
    ASSERT_EQ(5u, rows.size());
    EXPECT_EQ(json({{"path", json_test::utf8_of(tree.path("a/sub"))}, {"depth", 1}, {"files", 1},
                    {"unique_size", allocated ? 8192 + 110 : 200},
                    {"freed_if_deleted", allocated ? 110 : 0}}),
              rows[1]);
    EXPECT_EQ(rows[0], rows[3]);  // the same PATH again, the same figures
    EXPECT_EQ(text_report(parsed), reports_of(doc, parsed));
    const std::size_t held = text.find(T("\"held_outside\""));
    const std::size_t directories = text.find(T("\"space_by_directory\""));
    EXPECT_TRUE(held < directories && directories < text.find(T("\"listings\"")));
  }
}

TEST(JsonReport, AllocatedSizesAreTheTextReportsAndSaySo) {
  platform::fake_tree tree;
  tree.file("a/one", 10);
  tree.hard_link("a/one", "b/one-again");
  tree.file("b/sparse", std::int64_t{1} << 40);
  tree.set_allocated("a/one", 4096);
  tree.set_allocated("b/sparse", 8192);
  tree.set_allocated("a", 512);
  tree.set_allocated("b", 1024);
  cli::command_line parsed;
  parsed.directories = {tree.path("a"), tree.path("b")};
  parsed.files = {tree.path("a/one")};
  parsed.allocated = true;
  const json doc = json_report(parsed);
  EXPECT_EQ("allocated", doc.at("sizes"));
  EXPECT_EQ(4096 + 4096 + 8192 + 512 + 1024, doc.at("naive_size"));
  EXPECT_EQ(4096 + 8192 + 512 + 1024, doc.at("unique_size"));
  EXPECT_EQ(8192 + 1024, doc.at("space_by_path").at(1).at("freed_if_deleted"));
  EXPECT_EQ(4096, doc.at("breakdowns").at(0).at("size"));
  EXPECT_EQ(text_report(parsed), reports_of(doc, parsed));
}

// Under -E, what the figures leave out ends each section of the text report
// in a line of its own, and is listed in the document; nothing of it shows
// without -E, or where everything is counted.
TEST(JsonReport, WhatIsNotCountedIsSaidOnlyUnderE) {
  const native_string metadata_line =
      T("btrfs metadata is not counted: deleting frees at least the sizes shown.\n");
  const native_string compressed_line =
      T("Compressed data is counted at its least, one block per extent.\n");
  struct not_counted_case {
    const char* name;
    bool btrfs, compressed_at_least, shared_extents;
    std::vector<std::string> not_counted;  // none: the key is absent
  };
  const std::vector<not_counted_case> cases = {
      {"btrfs", true, false, true, {"metadata"}},
      {"btrfs, compressed", true, true, true, {"metadata", "compressed_length"}},
      {"xfs", false, false, true, {}},
      {"btrfs without -E", true, true, false, {}},
  };
  for (const not_counted_case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::fake_tree tree;
    platform::volume_extents volume;
    volume.shares = true;
    volume.data_in_metadata = c.btrfs;
    volume.block_size = 4096;
    tree.set_volume_extents("", volume);
    tree.file("a/f", 65536);
    tree.set_allocated("a/f", 65536);
    platform::mapped_extent extent;
    extent.physical = 1 << 20;
    extent.length = 65536;
    extent.on_disk = 4096;
    extent.shared = extent.encoded = extent.on_disk_at_least = c.compressed_at_least;
    tree.set_shared_extents("a/f", {extent});
    cli::command_line parsed;
    parsed.directories = {tree.path("a")};
    parsed.allocated = true;
    parsed.shared_extents = c.shared_extents;
    parsed.directory_depth = 0;
    const native_string text = text_report(parsed);
    const auto count = [&](const native_string& line) {
      std::size_t found = 0;
      for (std::size_t at = text.find(line); at != native_string::npos; at = text.find(line, at + 1))
        ++found;
      return found;
    };
    // Once at the end of the space by path, once at that of the space by
    // directory.
    const bool metadata = c.shared_extents && c.btrfs;
    EXPECT_EQ(count(metadata_line), metadata ? 2u : 0u);
    EXPECT_EQ(count(compressed_line), c.shared_extents && c.compressed_at_least ? 2u : 0u);
    EXPECT_LT(metadata_line.size(), 79u);
    EXPECT_LT(compressed_line.size(), 79u);
    const json doc = json_report(parsed);
    if (!c.shared_extents) {
      EXPECT_FALSE(doc.contains("not_counted"));
      continue;
    }
    std::vector<std::string> said;
    for (const json& item : doc.at("not_counted")) said.push_back(item.get<std::string>());
    EXPECT_EQ(said, c.not_counted);
  }
}

TEST(JsonReport, ErrorsAreListedInOrderAndNothingElseIsPrinted) {
  platform::fake_tree tree;
  tree.file("plain", 1);
  cli::command_line parsed;
  parsed.directories = {tree.path("missing"), tree.path("plain")};
  parsed.files = {tree.path("gone")};
  parsed.json = true;
  const run_output quiet = run_with(parsed);
  parsed.verbose = true;
  const run_output verbose = run_with(parsed);
  EXPECT_EQ(cli::exit_scan_error, quiet.code);
  EXPECT_EQ(cli::exit_scan_error, verbose.code);
  EXPECT_EQ(native_string(), quiet.err);  // no count line: the document has them
  EXPECT_EQ(native_string(), verbose.err);
  EXPECT_EQ(quiet.out, verbose.out);  // no verbose line either

  // The messages and codes of the text run's verbose lines.
  parsed.json = false;
  const run_output text = run_with(parsed);
  const json errors = json_test::parse(quiet.out).at("errors");
  ASSERT_EQ(3u, errors.size());
  const std::string not_a_directory =
      "Argument \"" + json_test::utf8_of(tree.path("plain")) + "\" does not point to a directory.";
  EXPECT_EQ(not_a_directory, errors[1].at("message"));
  EXPECT_EQ(sizeof(native_char) == 1 ? 20 : 267, errors[1].at("code"));
  EXPECT_EQ(T(not_a_directory) + T("\n"), text.err);
  for (int i : {0, 2}) {
    char code[16];
    std::snprintf(code, sizeof code, ": 0x%.8x\n", errors[i].at("code").get<unsigned>());
    const native_string line = native_of(errors[i].at("message")) + T(code);
    EXPECT_NE(native_string::npos, text.out.find(line)) << errors[i].dump();
  }
  EXPECT_EQ(0u, errors[0].at("message").get<std::string>().find("Error getting attributes for \""));
  EXPECT_EQ(0u, errors[2].at("message").get<std::string>().find("Error finding \""));
}

TEST(JsonReport, EveryKeyIsThereWhenOnlyFilesAreGiven) {
  platform::fake_tree tree;
  tree.file("f", 5);
  cli::command_line parsed;
  parsed.files = {tree.path("f")};
  parsed.list_files_for_hardlinkcount = {1};
  const json doc = json_report(parsed);
  const json empty = json::array();
  for (const char* key :
       {"paths", "hardlinks", "space_by_path", "space_by_directory", "listings", "errors"})
    EXPECT_EQ(empty, doc.at(key)) << key;
  for (const char* key : {"unique_files", "naive_size", "unique_size", "freed_if_all_deleted",
                          "held_outside"})
    EXPECT_EQ(0, doc.at(key)) << key;
  for (const char* key : {"files", "directories"})
    EXPECT_EQ(json({{"total", 0}, {"normal", 0}, {"symlink", 0}, {"reparse", 0}, {"skipped", 0}}),
              doc.at(key));
  ASSERT_EQ(1u, doc.at("breakdowns").size());
  EXPECT_EQ(5, doc.at("breakdowns")[0].at("size"));
  EXPECT_EQ("apparent", doc.at("sizes"));
  EXPECT_EQ(false, doc.at("shared_extents"));
  EXPECT_EQ(17u, doc.size());
}

// Names with every character JSON must escape that this platform's names
// can hold.
std::vector<std::string> awkward_names() {
  if (sizeof(native_char) == 1) {
    return {"quote\"d", "back\\slash", "new\nline", "tab\tand\x01\x1f\x7f", "caf\xc3\xa9",
            "smile \xf0\x9f\x98\x80", "csi\xc2\x9b"};
  }
  // Windows names hold no quotes, backslashes or control characters.
  return {"caf\xc3\xa9", "smile \xf0\x9f\x98\x80", "spaces and 'apostrophes'", "per%cent"};
}

TEST(JsonReport, NamesSurviveExactly) {
  platform::fake_tree tree;
  std::vector<std::string> expected;
  for (const std::string& name : awkward_names()) {
    tree.file(native_of(name), 1);
    expected.push_back(json_test::utf8_of(tree.path()) + (sizeof(native_char) == 1 ? "/" : "\\") + name);
  }
  cli::command_line parsed;
  parsed.directories = {tree.path()};
  parsed.list_files_for_hardlinkcount = {1};
  const json doc = json_report(parsed);
  std::vector<std::string> names;
  for (const json& file : doc.at("listings").at(0).at("files"))
    names.push_back(file.at("names").at(0));
  std::sort(names.begin(), names.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(expected, names);
}

}  // namespace

#endif  // TWINFIND_HAVE_JSON_PARSER

}  // namespace report
