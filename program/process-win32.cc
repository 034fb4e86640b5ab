// The process's set-up on Windows.
#include "program/process.h"

#include <windows.h>

namespace platform {

void fail_critical_errors_without_dialogs() {
  // Added to the modes the process was started with, which a parent may
  // have chosen for it.
  SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS);
}

int run_on_own_stack(int (*body)(void*), void* data) { return body(data); }

}  // namespace platform
