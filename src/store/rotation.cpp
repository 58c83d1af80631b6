#include "rotation.hpp"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../limits.hpp"

// Generation 0 is the target itself, generation k is "<target>.k".
// Returns the length of the full name, which is PATH_BUF or more when
// the name was cut to fit.
static int generation_name(char *buf, const char *client_dir,
                           const char *file_name, int k)
{
    if (k == 0)
        return snprintf(buf, PATH_BUF, "%s/%s", client_dir, file_name);
    return snprintf(buf, PATH_BUF, "%s/%s.%d", client_dir, file_name, k);
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

int open_lock(const char *client_dir)
{
    return open(client_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

static void set_lock(int lock, int operation)
{
    if (lock < 0)
        return;
    while (flock(lock, operation) < 0)
        if (errno != EINTR)
            return;
}

void lock_generations(int lock)
{
    set_lock(lock, LOCK_EX);
}

void unlock_generations(int lock)
{
    set_lock(lock, LOCK_UN);
}

// Generations only ever move up by one into a run that starts at 0, so
// the search ends at the first missing one above 0 (generation 0 itself
// is missing when a later push has moved it and not yet created its
// own).  A target cut at PATH_BUF is what was opened and is searched;
// the generation names after it would repeat it for ever, so the search
// ends there.
int find_generation(const char *client_dir, const char *file_name,
                    const struct stat *id, char *path)
{
    struct stat st;
    for (int k = 0; k < INT_MAX; k++) {
        if (generation_name(path, client_dir, file_name, k) >= PATH_BUF &&
            k > 0)
            return -1;
        if (stat(path, &st) < 0) {
            if (k > 0)
                return -1;
            continue;
        }
        if (st.st_dev == id->st_dev && st.st_ino == id->st_ino)
            return 0;
    }
    return -1;
}
