// The process's set-up on POSIX: no system dialogs to silence.
#include "platform/process.h"

namespace platform {

void fail_critical_errors_without_dialogs() {}

}  // namespace platform
