#include "target.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "../limits.hpp"

// After <cstring>: <libgen.h> then maps basename to the POSIX version,
// which ignores trailing slashes, instead of glibc's own.
#include <libgen.h>

static const char *const tape_names[] = {"/dev/sa0", "/dev/nsa0",
                                         "/dev/esa0"};

bool is_tape_name(const char *word)
{
    for (const char *name : tape_names)
        if (strcmp(word, name) == 0)
            return true;
    return false;
}

int make_dir_parents(const char *path, unsigned mode)
{
    char dir[PATH_BUF];
    char parent[PATH_BUF];

    snprintf(dir, sizeof dir, "%s", path);
    size_t len = strlen(dir);
    if (len > 0 && dir[len - 1] == '/')
        dir[len - 1] = '\0';

    if (mkdir(dir, mode) == 0)
        return 0;
    if (errno != ENOENT)
        return -1;

    // dirname may write into its argument, so it works on a copy and
    // dir stays as it is for the second mkdir below.
    snprintf(parent, sizeof parent, "%s", dir);
    const char *up = dirname(parent);
    if (strcmp(up, dir) == 0)
        return -1;

    fprintf(stderr, "directory %s missing, trying to create %s\n", dir, up);
    make_dir_parents(up, mode);
    return mkdir(dir, mode);
}

// An address that could climb out of incoming/ or into a subdirectory of
// another client is refused.
bool is_safe_address(const char *address)
{
    return strchr(address, '/') == nullptr && strcmp(address, ".") != 0 &&
           strcmp(address, "..") != 0;
}

void select_target(char *word, char *client_dir, char *target,
                   const char **file_name)
{
    const char *home = getenv("HOME");
    char *client = getenv("SSH_CLIENT");

    // An empty HOME would put the tree at /incoming, outside any home
    // directory; it is no more usable than a missing one.
    if (home == nullptr || *home == '\0') {
        fprintf(stderr, "HOME not set, aborting\n");
        exit(1);
    }
    if (client == nullptr) {
        fprintf(stderr, "SSH_CLIENT not set, aborting\n");
        exit(1);
    }

    // SSH_CLIENT is "address port port"; the address ends at the first
    // space, which is cut in place.
    char *space = strchr(client, ' ');
    if (space != nullptr)
        *space = '\0';
    if (!is_safe_address(client)) {
        fprintf(stderr, "bad client address %s, aborting\n", client);
        exit(1);
    }

    snprintf(client_dir, PATH_BUF, "%s/%s/%s", home, BACKUP_DIR, client);
    make_dir_parents(client_dir, DIR_MODE);

    *file_name = word != nullptr ? basename(word) : DEFAULT_FILENAME;
    snprintf(target, PATH_BUF, "%s/%s", client_dir, *file_name);
}
