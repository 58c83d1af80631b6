#ifndef VELK_STORE_CAPTURE_HPP
#define VELK_STORE_CAPTURE_HPP

#include <cstddef>

// Copies standard input to target through block (size bytes), one write
// of everything each read returned, and reports where the data went.
// A tape device is opened as it is; a file target is created or
// truncated, and synced before success is reported.  Never returns: the
// process ends with status 0 after end of input, 1 after any failure.
[[noreturn]] void capture_stream(const char *target, bool tape, char *block,
                                 size_t size);

#endif
