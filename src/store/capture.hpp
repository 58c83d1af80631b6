#ifndef VELK_STORE_CAPTURE_HPP
#define VELK_STORE_CAPTURE_HPP

#include <cstddef>

// Opens the target for writing: a tape device as it is, a file target
// created (mode FILE_MODE) or truncated.  Ends the process with status 1
// when that fails.
int open_target(const char *target, bool tape);

// Copies standard input to fd, the opened target, through block (size
// bytes), one write of everything each read returned, and reports where
// the data went.  A file target is synced before success is reported.
// Never returns: the process ends with status 0 after end of input, 1
// after any failure.
[[noreturn]] void capture_stream(int fd, const char *target, bool tape,
                                 char *block, size_t size);

#endif
