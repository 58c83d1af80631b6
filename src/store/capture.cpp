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

int capture_stream(int fd, const char *target, char *block, size_t size)
{
    ssize_t n;
    while ((n = read_block(0, block, size)) > 0)
        if (write_all(fd, block, static_cast<size_t>(n)) < 0)
            write_failed(target);
    return n < 0 ? errno : 0;
}

void close_target(int fd, const char *target, bool tape, struct stat *id)
{
    // A tape gets no fsync (a drive has nothing to flush that way), but
    // a failed close there can mean a lost last record.
    if (!tape && (fsync(fd) < 0 || fstat(fd, id) < 0))
        write_failed(target);
    if (close(fd) < 0)
        write_failed(target);
}

void stream_lost(const char *target)
{
    errno = ENOENT;
    write_failed(target);
}

int report_written(const char *target)
{
    // SIGPIPE is ignored, so a client that is gone shows as EPIPE here
    // instead of ending the process with the stream left as if whole.
    if (printf("written to %s\n", target) < 0 || fflush(stdout) == EOF) {
        fprintf(stderr, "can't report to the client: %s\n", strerror(errno));
        return -1;
    }
    return 0;
}

void mark_partial(const char *path, char *name)
{
    if (snprintf(name, PATH_BUF, "%s.partial", path) >= PATH_BUF)
        return;
    renameat2(AT_FDCWD, path, AT_FDCWD, name, RENAME_NOREPLACE);
}

void end_run(int read_error, bool delivered)
{
    if (read_error != 0) {
        fprintf(stderr, "cant't read from stdin: %s", strerror(read_error));
        exit(1);
    }
    exit(delivered ? 0 : 1);
}
