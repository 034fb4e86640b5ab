// What the tests of the scanner share, on real trees or on the fake.
#ifndef TWINFIND_TESTING_SCAN_TEST_UTIL_H_
#define TWINFIND_TESTING_SCAN_TEST_UTIL_H_

#include <cstdint>
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

#endif  // TWINFIND_TESTING_SCAN_TEST_UTIL_H_
