// The progress display: a heading and a bar of dots that grows by one every
// 100 directories and starts over every 500, drawn in place with
// backspaces; in verbose mode a plain text at every tick instead.
#include <iomanip>

#include "scan/scandata.h"

namespace scan {

void _scandata::progress() {
  native_ostream& stream = *out;
  // Every drawing is flushed: on a terminal the output layer writes it out
  // at once, and elsewhere a flush costs nothing.
  if (verbose) {
    stream << "Scanning directories and files..." << std::flush;
    return;
  }
  if (progress_ticks == 0) {
    stream << "Scanning directories and files" << std::flush;
    progress_ticks = 1;
    return;
  }
  progress_ticks = progress_ticks % 500 + 1;
  if ((progress_ticks - 1) % 100 != 0) return;
  const int dots = progress_ticks / 100;
  // The fill is left at backspace: the run sets it back before the reports.
  stream << std::setfill(native_char('.')) << std::setw(dots) << ""
         << std::setfill(native_char(' ')) << std::setw(5 - dots) << ""
         << std::setfill(native_char('\b')) << std::setw(5) << "" << std::flush;
}

void _scandata::progress_done() {
  if (!verbose) *out << "....." << std::endl;
}

}  // namespace scan
