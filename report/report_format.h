// The reports: the summary of the scan and the breakdowns of single files,
// and the formatting they share.
//
// Every report prints on a stream whose fill character is ' ' and which is
// imbued with the user's locale, so numbers carry the user's digit grouping.
#ifndef TWINFIND_REPORT_REPORT_FORMAT_H_
#define TWINFIND_REPORT_REPORT_FORMAT_H_

#include <cstdint>
#include <vector>

#include "platform/text.h"
#include "scan/scandata.h"

// Prints `part` of `whole` as a whole-number percentage, right-aligned in
// three places, then '%'. A whole of 0 prints 0; a half rounds up.
void print_percent(native_ostream& stream, std::int64_t part, std::int64_t whole);

// The manipulator that `percent` returns, so that a share is written in a
// line like any other value: out << percent(part, whole).
struct percent_manip {
  std::int64_t part;
  std::int64_t whole;
};

inline percent_manip percent(std::int64_t part, std::int64_t whole) {
  return percent_manip{part, whole};
}

inline native_ostream& operator<<(native_ostream& stream, const percent_manip& manip) {
  print_percent(stream, manip.part, manip.whole);
  return stream;
}

// The summary: directories scanned, kinds, hard links, the -C listings and
// the sizes.
void print_summary(native_ostream& out, const _scandata& scandata,
                   const std::vector<native_string>& directories,
                   const std::vector<std::int32_t>& list_files_for_hardlinkcount);

// One block for each collected breakdown.
void print_breakdowns(native_ostream& out, const _scandata& scandata);

#endif  // TWINFIND_REPORT_REPORT_FORMAT_H_
