// How the program's process behaves towards the system, set once at start.
#ifndef TWINFIND_PROGRAM_PROCESS_H_
#define TWINFIND_PROGRAM_PROCESS_H_

namespace platform {

// On Windows, a drive without its medium (an empty card reader or DVD
// drive) makes the system ask the user in a dialog, and the walk waits for
// it; after this call the call fails instead, and the walk prints an error
// line. Nothing to do on POSIX.
void fail_critical_errors_without_dialogs();

// Runs `body(data)` on a stack of the program's own size and returns what it
// returns. On POSIX the main thread's stack is only as large as `ulimit -s`
// lets it grow (16 KiB are enough for du), and the dynamic loader takes
// most of that to start the program; after it, the C library's own work can
// take kilobytes at once (a locale it cannot find, the first call of a
// function it binds lazily, which saves every vector register on the
// stack). The body runs on a thread whose stack the limit does not bound,
// or on the caller's own where no thread can be started. On Windows the
// main thread has the stack the program was linked with: the body runs
// there.
int run_on_own_stack(int (*body)(void*), void* data);

}  // namespace platform

#endif  // TWINFIND_PROGRAM_PROCESS_H_
