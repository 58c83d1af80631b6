// rusage [-f] RESULT PROGRAM ARGS...: runs PROGRAM with the descriptors
// it is given and writes "user system maxrss status" of it (seconds,
// seconds, KiB, exit status) to the file RESULT.
//
// -f fixes what moves the peak from run to run of the same program: it
// turns address-space randomisation off (where the stack and the
// libraries land decides how many pages the kernel faults in around each
// touched one) and keeps the program on one CPU (the kernel counts a
// process's pages per CPU and adds the counts up only approximately when
// it records the peak).
//
// Linux counts a process's peak resident set from before its exec, so a
// program started straight from Python would report Python's size.  This
// helper is linked statically and is small, so the peak it reports is the
// program's own.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sched.h>
#include <sys/personality.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

// Randomisation off and the process pinned to the CPU it is on.
static bool fix_peak()
{
    if (personality(ADDR_NO_RANDOMIZE) == -1)
        return false;
    int cpu = sched_getcpu();
    if (cpu < 0)
        return false;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    return sched_setaffinity(0, sizeof one, &one) == 0;
}

int main(int argc, char **argv)
{
    bool fixed = argc > 1 && strcmp(argv[1], "-f") == 0;
    if (fixed) {
        argc--;
        argv++;
    }
    if (argc < 3) {
        fprintf(stderr, "usage: rusage [-f] RESULT PROGRAM ARGS...\n");
        return 2;
    }
    pid_t pid = fork();
    if (pid < 0) {
        perror("rusage: fork");
        return 2;
    }
    if (pid == 0) {
        if (fixed && !fix_peak()) {
            perror("rusage: -f");
            _exit(127);
        }
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
