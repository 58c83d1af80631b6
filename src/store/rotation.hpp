#ifndef VELK_STORE_ROTATION_HPP
#define VELK_STORE_ROTATION_HPP

#include <sys/stat.h>

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
// target is open, a few system calls, and again at the end while a run
// finds where its file has got to; the copies run side by side.
// open_lock opens the directory for it, before the run is confined
// (reading a directory is not allowed after that); it returns -1 when
// the directory cannot be opened, and the run then goes on without the
// lock, as it does when flock fails.
int open_lock(const char *client_dir);
void lock_generations(int lock);
void unlock_generations(int lock);

// A later push of the same name shifts this run's file to name.1, name.2
// and so on while it is still being written, or removes it (keep count
// below 2, or the oldest generation replaced).  Finds the file whose
// device and inode are those in id among generations 0, 1, 2, ... of
// client_dir/file_name, and forms its path in path (PATH_BUF bytes).
// Returns 0, or -1 when no generation is that file.  Call it under the
// lock.
int find_generation(const char *client_dir, const char *file_name,
                    const struct stat *id, char *path);

#endif
