// What the tests of the scanner share, on real trees or on the fake.
#ifndef TWINFIND_SCAN_SCAN_TEST_UTIL_H_
#define TWINFIND_SCAN_SCAN_TEST_UTIL_H_

#include "platform/text.h"
#include "scan/scandata.h"

// A scan whose output and error lines are kept for the test to read.
struct captured_scan {
  scan::_scandata scan;
  native_ostringstream out;
  native_ostringstream err;
  explicit captured_scan(bool verbose = false) {
    scan.verbose = verbose;
    scan.out = &out;
    scan.err = &err;
  }
};

#endif  // TWINFIND_SCAN_SCAN_TEST_UTIL_H_
