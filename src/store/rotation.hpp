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

#endif
