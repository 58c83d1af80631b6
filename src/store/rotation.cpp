#include "rotation.hpp"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "../limits.hpp"

// Generation 0 is the target itself, generation k is "<target>.k".
static void generation_name(char *buf, const char *client_dir,
                            const char *file_name, int k)
{
    if (k == 0)
        snprintf(buf, PATH_BUF, "%s/%s", client_dir, file_name);
    else
        snprintf(buf, PATH_BUF, "%s/%s.%d", client_dir, file_name, k);
}

void rotate_generations(const char *client_dir, const char *file_name,
                        int keep, char *target, char *name)
{
    if (keep <= 1) {
        unlink(target);
        return;
    }

    // Find the first missing generation among 0 .. keep - 3; generation
    // keep - 2 is never probed, so with all probed ones present the
    // shift reaches keep - 1 and overwrites the oldest kept version.
    int gap = keep - 1;
    for (int k = 0; k <= keep - 3; k++) {
        generation_name(target, client_dir, file_name, k);
        if (access(target, F_OK) != 0) {
            gap = k;
            break;
        }
    }

    for (int k = gap; k >= 1; k--) {
        generation_name(target, client_dir, file_name, k - 1);
        generation_name(name, client_dir, file_name, k);
        rename(target, name);
    }

    generation_name(target, client_dir, file_name, 0);
}

int lock_generations(const char *client_dir)
{
    int fd = open(client_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int r;
    do
        r = flock(fd, LOCK_EX);
    while (r < 0 && errno == EINTR);
    if (r < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void unlock_generations(int lock)
{
    if (lock >= 0)
        close(lock);
}
