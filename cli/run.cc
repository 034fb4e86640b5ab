// The run sequence: walk every PATH, collect the breakdowns of the -F files,
// then print the reports. One straight pass with no way back; nothing that
// goes wrong in a walk stops it.
#include "cli/run.h"

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>

#include "base/error_message.h"
#include "program/arguments.h"
#include "report/report_format.h"
#include "scan/scandata.h"

namespace cli {

namespace {

// What the scan errors were, without verbose mode: a line for each PATH
// that could not be scanned at all, which a user would otherwise see only
// as a report of zeros, then the count, unless those lines are every error.
void print_scan_errors(native_ostream& err, const scan::_scandata& scandata) {
  for (const scan::_scandata_error& path : scandata.unscanned_paths) {
    err << "twinfind: cannot scan '" << platform::shown(path.message)
        << "': " << platform::error_message(path.code) << std::endl;
  }
  if (static_cast<std::int64_t>(scandata.unscanned_paths.size()) == scandata.scan_errors) return;
  err << "twinfind: errors while scanning: "
      << native_from_ascii(std::to_string(scandata.scan_errors)) << " (run with "
      << platform::option_prefix << "V to see them)" << std::endl;
}

}  // namespace

int run(const command_line& parsed, native_ostream& out, native_ostream& err) {
  // On the heap, as the walk must run on the smallest stacks.
  const std::unique_ptr<scan::_scandata> owned = std::make_unique<scan::_scandata>();
  scan::_scandata& scandata = *owned;
  scandata.verbose = parsed.verbose;
  scandata.out = &out;
  scandata.err = &err;
  // Names are only printed by the -C listings: keeping the others would make
  // a big tree cost memory for every name instead of every file.
  scandata.keep_all_names = false;
  scandata.listed_link_counts = parsed.list_files_for_hardlinkcount;

  scandata.space.enabled = parsed.space_by_path || parsed.space_in_order || parsed.json;
  if (parsed.directory_depth >= 0) scandata.collect_directories(parsed.directory_depth);
  if (parsed.allocated) scandata.measure_sizes(scan::size_measure::allocated);
  if (parsed.shared_extents) scandata.count_shared_extents();
  // In JSON mode standard output holds the document alone: the progress
  // display goes nowhere, and the errors are listed in the document instead
  // of printed.
  native_ostream nowhere(nullptr);
  if (parsed.json) {
    scandata.verbose = false;
    scandata.out = &nowhere;
    scandata.err = &nowhere;
    scandata.record_errors = true;
  }

  scandata.progress();
  scandata.scan_paths(parsed.directories);
  // Breakdowns come after every walk, and their names are searched for all
  // of them at once.
  for (const native_string& file : parsed.files) scandata.breakdown(file);
  scandata.find_breakdown_names();
  scandata.progress_done();

  if (parsed.json) {
    report::print_json_report(out, scandata, parsed.directories,
                              parsed.list_files_for_hardlinkcount);
    return scandata.scan_errors == 0 ? exit_success : exit_scan_error;
  }

  // The progress bar may have left the fill character at a backspace; the
  // reports pad their columns with it.
  out.fill(' ');
  report::show_sizes_in_units(out, parsed.sizes_in_units);

  // The reports follow the arguments given, not what the walks found.
  if (!parsed.directories.empty()) {
    report::print_summary(out, scandata, parsed.directories, parsed.list_files_for_hardlinkcount);
    if (parsed.space_by_path) report::print_space_by_path(out, scandata, parsed.directories);
    if (parsed.space_in_order) report::print_space_in_order(out, scandata, parsed.directories);
    if (parsed.directory_depth >= 0) report::print_space_by_directory(out, scandata);
  }
  if (!parsed.files.empty()) report::print_breakdowns(out, scandata);
  if (scandata.scan_errors == 0) return exit_success;
  // The report above is complete, but not what a clean run would give:
  // without verbose mode nothing else would say so.
  if (!parsed.verbose) print_scan_errors(err, scandata);
  return exit_scan_error;
}

}  // namespace cli
