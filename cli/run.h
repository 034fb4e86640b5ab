// The run sequence: the walks, the breakdowns and the reports, in order.
#ifndef TWINFIND_CLI_RUN_H_
#define TWINFIND_CLI_RUN_H_

#include "cli/command_line.h"
#include "base/text.h"

namespace cli {

// Runs what `parsed` asks for, printing on `out` and `err`, which are
// standard output and standard error in the program. The reports group
// digits as the locale of `out` does: the user's, in the program. Returns
// the exit code.
int run(const command_line& parsed, native_ostream& out, native_ostream& err);

}  // namespace cli

#endif  // TWINFIND_CLI_RUN_H_
