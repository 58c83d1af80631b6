// Fuzzes target selection, directory creation and rotation with
// arbitrary destination words, HOME and SSH_CLIENT values, and checks the
// results against what they must be, worked out here without velk's own
// routines.
//
// Input: one flag byte (bit 0: a destination word is given; the rest,
// less 8, is the keep count), then the destination word, HOME,
// SSH_CLIENT and a field whose first two bytes say which of generations
// 0 to 15 exist before the rotation, separated by zero bytes.
// Everything happens inside a scratch directory, which is the working
// directory: a relative HOME stays in it, an absolute one is put under
// it, and a HOME with ".." in it is skipped.
//
// velk ends the process where it refuses to go on; the fuzzer is linked
// with exit wrapped, so that such an end comes back here as a status.

#include <cerrno>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <string>
#include <sys/stat.h>
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

static jmp_buf refused;
static bool catching = false;

extern "C" [[noreturn]] void __real_exit(int status);
extern "C" [[noreturn]] void __wrap_exit(int status)
{
    if (catching)
        longjmp(refused, status == 0 ? 256 : status);
    __real_exit(status);
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

// POSIX basename of a destination word: trailing slashes do not count, a
// word of slashes only is "/", an empty one ".".
static std::string last_component(const std::string &word)
{
    if (word.empty())
        return ".";
    size_t end = word.find_last_not_of('/');
    if (end == std::string::npos)
        return "/";
    size_t start = word.find_last_of('/', end);
    start = start == std::string::npos ? 0 : start + 1;
    return word.substr(start, end + 1 - start);
}

static bool same_file(const std::string &a, const std::string &b)
{
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 &&
           sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// The names in a directory other than . and .., or -1 if it cannot be
// read.
static int entries(const std::string &dir)
{
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return -1;
    int n = 0;
    if (DIR *d = fdopendir(fd)) {
        while (struct dirent *e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                n++;
        closedir(d);
    }
    return n;
}

static std::string generation(const std::string &target, int k)
{
    return k == 0 ? target : target + "." + std::to_string(k);
}

// What a generation holds: "g<k>" as made below, or "" when missing.
static std::string contents(const std::string &path)
{
    char buf[16];
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return "";
    ssize_t n = read(fd, buf, sizeof buf);
    close(fd);
    return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

const int GENERATIONS = 16;

// Generations present before (by the mask) must be found after the
// rotation as follows: the unbroken run that starts at 0 moves up by one,
// but not beyond keep - 1 (the oldest kept version gives way); 0 is then
// free; every other generation stays as it is.  A keep count below 2
// only removes 0.
static void check_rotation(const char *client_dir, const char *file_name,
                           int keep, unsigned mask, char *target, char *name)
{
    std::string path = target;
    std::string before[GENERATIONS + 2];
    for (int k = 0; k < GENERATIONS; k++) {
        if ((mask & (1u << k)) == 0)
            continue;
        before[k] = "g" + std::to_string(k);
        int fd = open(generation(path, k).c_str(),
                      O_WRONLY | O_CREAT | O_EXCL, 0600);
        check(fd >= 0);
        check(write(fd, before[k].data(), before[k].size()) ==
              static_cast<ssize_t>(before[k].size()));
        close(fd);
    }

    rotate_generations(client_dir, file_name, keep, target, name);
    check(path == target);

    std::string after[GENERATIONS + 2];
    for (int k = 0; k < GENERATIONS + 2; k++)
        after[k] = before[k];
    after[0] = "";
    if (keep >= 2) {
        int run = 0;
        while (run < GENERATIONS && !before[run].empty())
            run++;
        int moved = run < keep - 1 ? run : keep - 1;
        for (int j = 1; j <= moved; j++)
            after[j] = before[j - 1];
    }
    for (int k = 0; k < GENERATIONS + 2; k++)
        check(contents(generation(path, k)) == after[k]);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static char client_dir[PATH_BUF];
    static char target[PATH_BUF];
    static work_area work;
    static char home_value[PATH_BUF * 2];

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
    const char *layout = next_field(&p, end);
    unsigned mask = layout[0] == '\0'
                        ? 7u
                        : static_cast<unsigned char>(layout[0]) |
                              static_cast<unsigned char>(layout[1]) << 8;
    if (strstr(home, "..") != nullptr) {
        free(text);
        return 0;
    }
    snprintf(home_value, sizeof home_value, "%s%s",
             home[0] == '/' ? scratch : "", home);
    setenv("HOME", home_value, 1);
    setenv("SSH_CLIENT", client, 1);

    // Worked out before select_target cuts SSH_CLIENT in place.
    std::string address(client, strcspn(client, " "));
    std::string word_text = word;
    std::string incoming = std::string(home_value) + "/incoming";
    bool must_refuse = home_value[0] == '\0' ||
                       address.find('/') != std::string::npos ||
                       address == "." || address == "..";

    const char *file_name = nullptr;
    catching = true;
    int status = setjmp(refused);
    if (status == 0)
        select_target(has_word ? word : nullptr, client_dir, target,
                      &file_name);
    catching = false;

    check((status != 0) == must_refuse);
    if (status != 0) {
        check(status == 1);
        check(access(incoming.c_str(), F_OK) != 0);
        clear_scratch();
        free(text);
        return 0;
    }

    // The client directory is incoming/<address> by name and, once made,
    // by place: one level below incoming, and the only thing in it.
    // (SSH_CLIENT set but empty names incoming/ itself.)
    std::string dir = incoming + "/" + address;
    std::string name = has_word ? last_component(word_text) : DEFAULT_FILENAME;
    std::string path = dir + "/" + name;
    if (dir.size() >= static_cast<size_t>(PATH_BUF)) {
        clear_scratch();
        free(text);
        return 0;
    }
    check(dir == client_dir);
    check(name == file_name);
    check(path.compare(0, PATH_BUF - 1, target) == 0);
    struct stat st;
    if (stat(dir.c_str(), &st) == 0) {
        if (address.empty())
            check(same_file(dir, incoming));
        else
            check(same_file(dir + "/..", incoming) && entries(incoming) == 1);
    } else {
        check(errno == ENAMETOOLONG || errno == ENOTDIR || errno == ENOENT);
    }

    // Rotation, where generation names fit and name a file.
    bool rotatable = path.size() + 4 < static_cast<size_t>(PATH_BUF) &&
                     name != "." && name != "/" && name != ".." &&
                     name.size() + 4 <= NAME_MAX && entries(dir) == 0;
    if (rotatable)
        check_rotation(client_dir, file_name, keep, mask, target, work.name);

    clear_scratch();
    free(text);
    return 0;
}
