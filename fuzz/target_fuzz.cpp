// Fuzzes target selection, directory creation and rotation with
// arbitrary destination words, HOME and SSH_CLIENT values.
//
// Input: one flag byte (bit 0: a destination word is given; the rest,
// less 8, is the keep count), then the destination word, HOME and
// SSH_CLIENT, separated by zero bytes.  Everything happens inside a
// scratch directory, which is the working directory: a relative HOME
// stays in it, an absolute one is put under it, and a HOME with ".." in
// it is skipped.  So are the cases that end the process (an empty HOME, a
// client address that select_target refuses); the process tests cover
// them.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <unistd.h>

#include "limits.hpp"
#include "store/rotation.hpp"
#include "store/target.hpp"

static char scratch[4096];

static void check(bool ok)
{
    if (!ok)
        abort();
}

static int remove_entry(const char *path, const struct stat *, int,
                        struct FTW *ftw)
{
    if (ftw->level > 0)
        remove(path);
    return 0;
}

// Directories velk made are 0700 and files 0400; root removes them all.
static void clear_scratch()
{
    nftw(scratch, remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

static void remove_scratch()
{
    clear_scratch();
    rmdir(scratch);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // $TMPDIR, so that the runner can put the scratch tree on a tmpfs:
    // directories are made and removed by the thousand every second.
    const char *tmp = getenv("TMPDIR");
    snprintf(scratch, sizeof scratch, "%s/velk-target-fuzz.XXXXXX",
             tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp");
    if (mkdtemp(scratch) == nullptr || chdir(scratch) != 0) {
        perror("target_fuzz: scratch directory");
        exit(1);
    }
    atexit(remove_scratch);
    return 0;
}

// Splits off the next zero-terminated field of the input; past its end,
// every field is the empty string at *end.
static char *next_field(char **p, char *end)
{
    if (*p >= end)
        return end;
    char *field = *p;
    *p += strlen(field) + 1;
    return field;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static char client_dir[PATH_BUF];
    static char target[PATH_BUF];
    static char saved[PATH_BUF];
    static work_area work;

    if (size < 1)
        return 0;
    bool has_word = (data[0] & 1) != 0;
    int keep = (data[0] >> 1) - 8;

    char *text = static_cast<char *>(malloc(size));
    memcpy(text, data + 1, size - 1);
    text[size - 1] = '\0';
    char *p = text;
    char *end = text + size - 1;
    char *word = next_field(&p, end);
    const char *home = next_field(&p, end);
    char *client = next_field(&p, end);

    static char home_value[PATH_BUF * 2];
    // The address is the field before the first space, cut in place for
    // the check as select_target cuts it.
    char *address_end = client + strcspn(client, " ");
    char cut = *address_end;
    *address_end = '\0';
    bool refused = !is_safe_address(client);
    *address_end = cut;
    if (home[0] == '\0' || strstr(home, "..") != nullptr || refused) {
        free(text);
        return 0;
    }
    snprintf(home_value, sizeof home_value, "%s%s",
             home[0] == '/' ? scratch : "", home);
    setenv("HOME", home_value, 1);
    setenv("SSH_CLIENT", client, 1);

    const char *file_name = nullptr;
    select_target(has_word ? word : nullptr, client_dir, target, &file_name);

    check(strlen(client_dir) < PATH_BUF && strlen(target) < PATH_BUF);
    check(file_name != nullptr);
    check(strcmp(file_name, "/") == 0 || strchr(file_name, '/') == nullptr);
    check(strncmp(target, client_dir, strlen(target)) == 0 ||
          strncmp(target, client_dir, strlen(client_dir)) == 0);

    // A file at the target, then two rotations: the target buffer must
    // hold the target again afterwards, and a keep count below 2 must
    // have removed the file.
    int fd = open(target, O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd >= 0)
        close(fd);
    memcpy(saved, target, PATH_BUF);
    rotate_generations(client_dir, file_name, keep, target, work.name);
    check(strcmp(saved, target) == 0);
    if (fd >= 0 && keep < 2)
        check(access(target, F_OK) != 0 && errno == ENOENT);
    rotate_generations(client_dir, file_name, keep, target, work.name);
    check(strcmp(saved, target) == 0);

    clear_scratch();
    free(text);
    return 0;
}
