// velk: a login shell for a backup account.  It stores its standard input
// as $HOME/incoming/<client address>/<name>, keeping numbered earlier
// generations of the same name, or writes it to a tape device, and does
// nothing else: no prompt, no interpreter, no other program.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "command_words.hpp"
#include "limits.hpp"
#include "sandbox.hpp"
#include "store/capture.hpp"
#include "store/rotation.hpp"
#include "store/target.hpp"

// A descriptor 0, 1 or 2 that is closed at start would be handed out by
// the open of the target, and a message could then land in a backup.
static void open_standard_fds()
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        if (open("/dev/null", O_RDWR) != fd)
            exit(1);
    }
}

[[noreturn]] static void print_version()
{
    printf("velk $Name: VELK_REL_1_7 $\n");
    printf("Compiled with:\n");
    printf("Static %d backups maximum\n", KEEP_DEFAULT);
    printf("Regular to-file backups\n");
    printf("Default backup dir: %s, default filename: %s\n", BACKUP_DIR,
           DEFAULT_FILENAME);
    printf("Written by the velk developers.\n");
    exit(1);
}

int main(int argc, char **argv)
{
    static char client_dir[PATH_BUF];
    static char target[PATH_BUF];
    static work_area work;
    int c;

    open_standard_fds();
    // A client that is gone must show as a failed write of "written to",
    // not end the process with its stream looking complete.
    signal(SIGPIPE, SIG_IGN);

    // "+" stops the scan at the first operand and keeps argv in order:
    // options after the destination word belong to the client's command.
    while ((c = getopt(argc, argv, "+chV?")) != -1) {
        if (c == 'c')
            continue;
        if (c == 'V')
            print_version();
        fprintf(stderr, "wrong argument: %c\n", c);
    }

    int n = argc - optind;
    char **operands = argv + optind;
    char *word = nullptr;
    int keep = KEEP_DEFAULT;

    if (n > 0) {
        int count = split_command_words(n, operands, work.words);
        keep = read_keep_count(count, work.words);
        word = operands[0];
    }

    if (word != nullptr && is_tape_name(word)) {
        confine(nullptr, word);
        int fd = open_target(word, true);
        int read_error =
            capture_stream(fd, word, true, work.block, sizeof work.block);
        close_target(fd, word, true, nullptr);
        end_run(read_error, report_written(word) == 0);
    }

    const char *file_name;
    select_target(word, client_dir, target, &file_name);
    int lock = open_lock(client_dir);
    confine(client_dir, nullptr);
    lock_generations(lock);
    rotate_generations(client_dir, file_name, keep, target, work.name);
    int fd = open_target(target, false);
    unlock_generations(lock);
    int read_error =
        capture_stream(fd, target, false, work.block, sizeof work.block);
    struct stat id;
    close_target(fd, target, false, &id);

    // The copy block is done with: the work area now holds the path where
    // the stream really is, and the target buffer its .partial name.
    char *stored = work.name;
    lock_generations(lock);
    if (find_generation(client_dir, file_name, &id, stored) < 0)
        stream_lost(target);
    bool delivered = report_written(stored) == 0;
    if (!delivered)
        mark_partial(stored, target);
    unlock_generations(lock);
    end_run(read_error, delivered);
}
