#ifndef VELK_STORE_CAPTURE_HPP
#define VELK_STORE_CAPTURE_HPP

#include <cstddef>
#include <sys/stat.h>

// Opens the target for writing: a tape device as it is, a file target
// created (mode FILE_MODE) or truncated.  Ends the process with status 1
// when that fails.
int open_target(const char *target, bool tape);

// Copies standard input to fd, the opened target, through block (size
// bytes), one write of everything each read returned, until end of input
// or a failed read.  A file target is handed to write-back window by
// window as it arrives.  Ends the process with status 1 when a write
// fails.  Returns 0 after end of input, or the error number of the failed
// read.
int capture_stream(int fd, const char *target, bool tape, char *block,
                   size_t size);

// Makes what was written durable and lets the target go: a file target
// is synced, its device and inode kept in *id, and closed; a tape is
// closed.  Ends the process with status 1 when any of it fails.
void close_target(int fd, const char *target, bool tape, struct stat *id);

// The file this run wrote has been removed by a later push of the same
// name before the run could confirm it; nothing holds the stream any
// more.  Reported like a failed write, with status 1.
[[noreturn]] void stream_lost(const char *target);

// Tells the client where its stream is: "written to <target>", flushed.
// Returns 0 when it was delivered, -1 when the client cannot hear it any
// more (its connection is gone).
int report_written(const char *target);

// A stored stream whose client never heard "written to" is not a
// confirmed backup: path is renamed to path.partial, never replacing an
// existing file; when that cannot be done the file stays where it is.
// The new name is formed in name (PATH_BUF bytes).
void mark_partial(const char *path, char *name);

// Ends the run: status 0 when the stream ended with end of input and the
// client heard "written to"; otherwise status 1, after the read error's
// message when a read failed.
[[noreturn]] void end_run(int read_error, bool delivered);

#endif
