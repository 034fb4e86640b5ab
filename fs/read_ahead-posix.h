// The POSIX half's side of reading ahead, which its tests also call by hand.
#ifndef TWINFIND_FS_READ_AHEAD_POSIX_H_
#define TWINFIND_FS_READ_AHEAD_POSIX_H_

#include "fs/filesystem.h"
#include "fs/read_ahead.h"

namespace platform {

extern const read_ahead_operations posix_read_ahead;

// The workers a walk starts, chosen once as it starts: none under a finite
// address-space or data limit; else TWINFIND_THREADS where it is set to a
// number; else one fewer than the cores the process may use, three at most.
std::size_t read_ahead_threads();

bool open_ahead(const directory_place& parent, const native_string& name, const entry_facts* seen,
                opened_directory& opened);
void close_ahead(directory_handle handle);

// The open directory of the walk's current level; a handle of -1: none.
directory_place current_place(const walk_cursor& cursor);

// enter_directory, with `adopted` (not null) what a worker opened at `name`,
// taken over where read_ahead::adopt says.
result<entering> enter_directory_adopting(walk_cursor& cursor, const native_string& path,
                                          native_string_view name, const file_identity* identity,
                                          opened_directory* adopted);

}  // namespace platform

#endif  // TWINFIND_FS_READ_AHEAD_POSIX_H_
