#include "capture.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "../limits.hpp"

static ssize_t read_block(int fd, char *buf, size_t size)
{
    ssize_t n;

    do
        n = read(fd, buf, size);
    while (n < 0 && errno == EINTR);
    return n;
}

// write may pass fewer bytes than asked (a signal, a nearly full disk, a
// file-size limit); the rest is written by further calls, so either the
// whole block is out or the failure is known.
static int write_all(int fd, const char *buf, size_t size)
{
    while (size > 0) {
        ssize_t n = write(fd, buf, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        buf += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

[[noreturn]] static void write_failed(const char *target)
{
    fprintf(stderr, "can't write to file %s: %s", target, strerror(errno));
    exit(1);
}

int open_target(const char *target, bool tape)
{
    // A tape name is never created: without the device node the backup
    // would land in a regular file on /dev.  A file target is truncated,
    // so that a file left at the path by a failed rename never keeps a
    // tail of its old contents behind the new stream.
    int flags = tape ? O_WRONLY : O_WRONLY | O_CREAT | O_TRUNC;
    int fd = open(target, flags, FILE_MODE);
    if (fd < 0) {
        fprintf(stderr, "can't open file %s: %s\n", target, strerror(errno));
        exit(1);
    }
    return fd;
}

void capture_stream(int fd, const char *target, bool tape, char *block,
                    size_t size)
{
    ssize_t n;
    while ((n = read_block(0, block, size)) > 0)
        if (write_all(fd, block, static_cast<size_t>(n)) < 0)
            write_failed(target);
    int read_errno = errno;

    if (!tape && fsync(fd) < 0)
        write_failed(target);
    if (close(fd) < 0)
        write_failed(target);

    printf("written to %s\n", target);
    if (n < 0) {
        fprintf(stderr, "cant't read from stdin: %s", strerror(read_errno));
        exit(1);
    }
    exit(0);
}
