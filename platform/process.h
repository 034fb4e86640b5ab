// How the program's process behaves towards the system, set once at start.
#ifndef TWINFIND_PLATFORM_PROCESS_H_
#define TWINFIND_PLATFORM_PROCESS_H_

namespace platform {

// On Windows, a drive without its medium (an empty card reader or DVD
// drive) makes the system ask the user in a dialog, and the walk waits for
// it; after this call the call fails instead, and the walk prints an error
// line. Nothing to do on POSIX.
void fail_critical_errors_without_dialogs();

}  // namespace platform

#endif  // TWINFIND_PLATFORM_PROCESS_H_
