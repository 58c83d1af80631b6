#ifndef VELK_STORE_ROTATION_HPP
#define VELK_STORE_ROTATION_HPP

// Shifts earlier versions of client_dir/file_name to numbered
// generations (name.1, name.2, ...) so that at most keep versions remain
// once the new one is written; keep below 2 removes the previous file.
// Names are formed in target (the target path buffer) and name (the
// rename destination), PATH_BUF bytes each; target holds the target path
// again on return.  Failures are ignored.
void rotate_generations(const char *client_dir, const char *file_name,
                        int keep, char *target, char *name);

// Two pushes of one name at the same time would otherwise interleave
// their renames (and lose a generation) or both open the same new file
// (and mix two streams in it).  The lock, an exclusive flock on the
// client directory, is held from before the rotation until the new
// target is open, a few system calls; the copies then run side by side.
// Returns the lock's descriptor, or -1 when the directory cannot be
// opened or locked, in which case the run goes on without it.
int lock_generations(const char *client_dir);
void unlock_generations(int lock);

#endif
