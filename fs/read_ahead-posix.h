// The POSIX half's side of reading ahead: what a worker does on its own
// thread, and the walk entering a directory a worker opened. The half uses
// them through its queue; its tests call them by hand.
#ifndef TWINFIND_FS_READ_AHEAD_POSIX_H_
#define TWINFIND_FS_READ_AHEAD_POSIX_H_

#include "fs/filesystem.h"
#include "fs/read_ahead.h"

namespace platform {

// What the queue of a POSIX walk carries out its requests with.
extern const read_ahead_operations posix_read_ahead;

// The workers a walk starts, chosen once as it starts: none under a finite
// address-space or data limit; else TWINFIND_THREADS where it is set to a
// number; else one fewer than the cores the process may use, three at most.
std::size_t read_ahead_threads();

bool open_ahead(const directory_place& parent, const native_string& name, const entry_facts* seen,
                opened_directory& opened);

// The open directory of the walk's current level, where requests pin it;
// a handle of -1 where there is none (the walk reads alone there).
directory_place current_place(const walk_cursor& cursor);

// enter_directory, with `adopted`, when not null, the child as a worker
// opened and read it: the walk takes over its open directory (and checks
// it as one it opened) and its listing, where it is still the directory
// standing at `name` and the one `identity` says, leaving the rest of the
// record to be given back; else it closes it and opens what stands there.
result<entering> enter_directory_adopting(walk_cursor& cursor, const native_string& path,
                                          native_string_view name, const file_identity* identity,
                                          opened_directory* adopted);

}  // namespace platform

#endif  // TWINFIND_FS_READ_AHEAD_POSIX_H_
