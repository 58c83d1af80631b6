// rusage RESULT PROGRAM ARGS...: runs PROGRAM with the descriptors it is
// given and writes "user system maxrss status" of it (seconds, seconds,
// KiB, exit status) to the file RESULT.
//
// Linux counts a process's peak resident set from before its exec, so a
// program started straight from Python would report Python's size.  This
// helper is linked statically and is small, so the peak it reports is the
// program's own.
#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: rusage RESULT PROGRAM ARGS...\n");
        return 2;
    }
    pid_t pid = fork();
    if (pid < 0) {
        perror("rusage: fork");
        return 2;
    }
    if (pid == 0) {
        execvp(argv[2], argv + 2);
        perror("rusage: exec");
        _exit(127);
    }
    int status;
    struct rusage ru;
    if (wait4(pid, &status, 0, &ru) < 0) {
        perror("rusage: wait4");
        return 2;
    }
    FILE *f = fopen(argv[1], "w");
    if (f == nullptr) {
        perror("rusage: result file");
        return 2;
    }
    fprintf(f, "%ld.%06ld %ld.%06ld %ld %d\n", ru.ru_utime.tv_sec,
            ru.ru_utime.tv_usec, ru.ru_stime.tv_sec, ru.ru_stime.tv_usec,
            ru.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : 128);
    if (fclose(f) != 0) {
        perror("rusage: result file");
        return 2;
    }
    return 0;
}
