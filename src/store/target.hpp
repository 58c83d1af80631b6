#ifndef VELK_STORE_TARGET_HPP
#define VELK_STORE_TARGET_HPP

// True when word is one of the tape device names, compared whole.
bool is_tape_name(const char *word);

// True when a client address, the first field of SSH_CLIENT, names a
// directory directly inside incoming/: no '/', and not "." or "..".  An
// empty address is allowed; its directory is incoming/ itself.
bool is_safe_address(const char *address);

// Forms the client directory $HOME/incoming/<client address> in
// client_dir, creates it with its missing parents, and forms the target
// path in target; both buffers hold PATH_BUF bytes.  *file_name is set to
// the last path component of word, or to the default name when word is
// null.  Ends the process with status 1 when HOME is missing or empty,
// SSH_CLIENT is missing, or the client address could name a place
// outside incoming/.
void select_target(char *word, char *client_dir, char *target,
                   const char **file_name);

// Creates the directory path and its missing ancestors.  0 on success,
// -1 on failure.
int make_dir_parents(const char *path, unsigned mode);

#endif
