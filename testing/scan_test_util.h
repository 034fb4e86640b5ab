// What the tests of the scanner share, on real trees or on the fake.
#ifndef TWINFIND_TESTING_SCAN_TEST_UTIL_H_
#define TWINFIND_TESTING_SCAN_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "base/text.h"
#include "scan/scandata.h"

// A scan whose output and error lines are kept for the test to read.
struct captured_scan {
  scan::_scandata scan;
  platform::native_ostringstream out;
  platform::native_ostringstream err;
  explicit captured_scan(bool verbose = false) {
    scan.verbose = verbose;
    scan.out = &out;
    scan.err = &err;
  }
};

// Every name the scan kept, file after file in no particular order: for
// scans of one file, or checks that do not depend on the order.
inline std::vector<platform::native_string> all_kept_names(const scan::_scandata& scanned) {
  std::vector<platform::native_string> names;
  scanned.filenames_by_key.for_each(
      [&](const platform::file_identity&, const scan::_scandata_fileinfo* file) {
        for (const platform::native_string& name : scan::kept_names(file)) names.push_back(name);
      });
  return names;
}

// The names the scan kept of the files of `links` links, in the order their
// files were first met: the walk's order.
inline std::vector<platform::native_string> names_by_first_meeting(const scan::_scandata& scanned,
                                                                   std::int32_t links) {
  std::vector<platform::native_string> names;
  for (const platform::file_identity& id : scanned.hardlinkcounts.at(links).file_ids)
    for (const platform::native_string& name : scan::kept_names(scanned.filenames_by_key.find(id)))
      names.push_back(name);
  return names;
}

// How a scan measures sizes: by length, by allocation, or by allocation
// under -E, where extents that several files share count once.
enum class measured { by_length, allocated, shared };

// What `rows_of` reads of a space-by-path scan of `paths`, measured as
// `measure`. It must not depend on what the identity map keeps: every
// file, or, as a run without a -C 1 listing keeps them, only the files of
// several links; the scan runs both ways and says where they differ.
// `errors`, where given, gets the scan errors of the first run.
template <typename rows_function>
auto space_scan_either_way(const std::vector<platform::native_string>& paths, measured measure,
                           rows_function rows_of, std::int64_t* errors = nullptr) {
  decltype(rows_of(std::declval<const scan::_scandata&>())) first{};
  for (const bool keep_all : {false, true}) {
    captured_scan run;
    run.scan.space.enabled = true;
    run.scan.keep_all_names = keep_all;
    run.scan.measure_sizes(measure == measured::by_length ? scan::size_measure::apparent
                                                          : scan::size_measure::allocated);
    if (measure == measured::shared) run.scan.count_shared_extents();
    run.scan.scan_paths(paths);
    auto rows = rows_of(run.scan);
    if (keep_all) {
      EXPECT_EQ(rows, first) << "with every file kept";
    } else {
      first = std::move(rows);
      if (errors) *errors = run.scan.scan_errors;
    }
  }
  return first;
}

#endif  // TWINFIND_TESTING_SCAN_TEST_UTIL_H_
