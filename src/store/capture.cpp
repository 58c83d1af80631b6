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

// A file system or file that has no write-back to start says so with one
// of these; its stream is written as it comes and synced at the end.
static bool unsupported(int error)
{
    return error == EINVAL || error == ESPIPE || error == ENOSYS ||
           error == EOPNOTSUPP;
}

// One sync_file_range call; an error other than "not supported here" ends
// the run like a failed write.  Returns false when the file cannot be
// written back this way.
static bool sync_range(int fd, const char *target, off_t from, off_t to,
                       unsigned flags)
{
    if (sync_file_range(fd, from, to - from, flags) == 0)
        return true;
    if (unsupported(errno))
        return false;
    write_failed(target);
}

// Starts write-back of the window [start, end) of the file and waits for
// the window before it, [earlier, start), which it then drops from the
// page cache: the stream is on its way to the disk while it arrives, and
// a long one does not push everything else out of the cache.  Returns
// false when the file cannot be written back this way.
static bool write_back(int fd, const char *target, off_t earlier, off_t start,
                       off_t end)
{
    if (!sync_range(fd, target, start, end, SYNC_FILE_RANGE_WRITE))
        return false;
    if (earlier == start)
        return true;
    if (!sync_range(fd, target, earlier, start,
                    SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                        SYNC_FILE_RANGE_WAIT_AFTER))
        return false;
    // Only advice: the data is safe either way.
    posix_fadvise(fd, earlier, start - earlier, POSIX_FADV_DONTNEED);
    return true;
}

int capture_stream(int fd, const char *target, bool tape, char *block,
                   size_t size)
{
    // [earlier, start) is the window under write-back, [start, written)
    // the one being filled.  A tape gets none of it.
    bool writing_back = !tape;
    off_t earlier = 0;
    off_t start = 0;
    off_t written = 0;
    ssize_t n;
    while ((n = read_block(0, block, size)) > 0) {
        if (write_all(fd, block, static_cast<size_t>(n)) < 0)
            write_failed(target);
        written += n;
        if (writing_back && written - start >= WRITE_BACK_WINDOW) {
            writing_back = write_back(fd, target, earlier, start, written);
            earlier = start;
            start = written;
        }
    }
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
