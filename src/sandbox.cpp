#include "sandbox.hpp"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/landlock.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

// Newer than the headers of some systems; the value is kernel ABI.
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif

#if defined(__x86_64__)
#define VELK_AUDIT_ARCH AUDIT_ARCH_X86_64
#elif defined(__aarch64__)
#define VELK_AUDIT_ARCH AUDIT_ARCH_AARCH64
#endif

[[noreturn]] static void confine_failed(const char *what)
{
    fprintf(stderr, "can't confine velk (%s): %s\n", what, strerror(errno));
    exit(1);
}

// The file-system rights a Landlock ruleset of this ABI version can
// restrict: everything that reads, writes, creates, removes or executes.
// No rule grants a read right anywhere: standard input, the client
// directory's lock and /dev/null are open before confinement, and velk
// reads nothing else.
static __u64 handled_rights(int abi)
{
    __u64 rights = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE |
                   LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR |
                   LANDLOCK_ACCESS_FS_REMOVE_DIR |
                   LANDLOCK_ACCESS_FS_REMOVE_FILE |
                   LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_DIR |
                   LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_MAKE_SOCK |
                   LANDLOCK_ACCESS_FS_MAKE_FIFO |
                   LANDLOCK_ACCESS_FS_MAKE_BLOCK | LANDLOCK_ACCESS_FS_MAKE_SYM;
    if (abi >= 2)
        rights |= LANDLOCK_ACCESS_FS_REFER;
    if (abi >= 3)
        rights |= LANDLOCK_ACCESS_FS_TRUNCATE;
    return rights;
}

// Allows rights below path; a path that cannot be opened gets no rule,
// and whatever velk then tries there fails as it would have anyway.
// kind is O_DIRECTORY for the client directory: a file in its place
// would take only file rights, and the kernel refuses the rule.
static void allow(int ruleset, const char *path, __u64 rights, int kind)
{
    int fd = open(path, O_PATH | O_CLOEXEC | kind);
    if (fd < 0)
        return;
    struct landlock_path_beneath_attr rule = {};
    rule.allowed_access = rights;
    rule.parent_fd = fd;
    if (syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH,
                &rule, 0) < 0)
        confine_failed("landlock rule");
    close(fd);
}

static void restrict_file_system(const char *dir, const char *device)
{
    int abi = static_cast<int>(syscall(SYS_landlock_create_ruleset, nullptr,
                                       0, LANDLOCK_CREATE_RULESET_VERSION));
    if (abi < 0) {
        if (errno == ENOSYS || errno == EOPNOTSUPP)
            return;
        confine_failed("landlock");
    }

    __u64 handled = handled_rights(abi);
    struct landlock_ruleset_attr attr = {};
    attr.handled_access_fs = handled;
    int ruleset = static_cast<int>(
        syscall(SYS_landlock_create_ruleset, &attr, sizeof attr, 0));
    if (ruleset < 0)
        confine_failed("landlock ruleset");

    __u64 file_rights = LANDLOCK_ACCESS_FS_WRITE_FILE |
                        (handled & LANDLOCK_ACCESS_FS_TRUNCATE);
    if (dir != nullptr)
        allow(ruleset, dir,
              file_rights | LANDLOCK_ACCESS_FS_REMOVE_FILE |
                  LANDLOCK_ACCESS_FS_MAKE_REG,
              O_DIRECTORY);
    else
        allow(ruleset, device, file_rights, 0);

    if (syscall(SYS_landlock_restrict_self, ruleset, 0) < 0)
        confine_failed("landlock");
    close(ruleset);
}

// The system calls velk makes once it is confined, on every path: the
// copy, the rotation under the lock, the confirmation, each failure and
// its message, and the end.  Anything else fails with EPERM, so a call
// that a future change adds ends the run with velk's own message instead
// of killing it in the middle of a backup.  stdio's question whether
// stdout is a terminal (ioctl) is among the refused: the answer "no"
// only changes its buffering, and "written to" is flushed explicitly.
#define ALLOW(nr)                                                            \
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, (nr), 0, 1),                         \
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)

static void restrict_system_calls()
{
#ifdef VELK_AUDIT_ARCH
    struct sock_filter filter[] = {
        // A call through another ABI (i386's int 0x80) would be looked up
        // in another table of numbers: end the process.
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, VELK_AUDIT_ARCH, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        // x32's numbers have bit 30 set and so match nothing below.
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        // First, since every block of the stream passes here.
        ALLOW(__NR_read),
        ALLOW(__NR_write),
        // The target, its lock, sync and write-back.
        ALLOW(__NR_openat),
        ALLOW(__NR_close),
        ALLOW(__NR_flock),
        ALLOW(__NR_fsync),
        ALLOW(__NR_sync_file_range),
        ALLOW(__NR_fadvise64),
        // Generations: existence tests, renames, removal, and finding
        // this run's file by device and inode.
        ALLOW(__NR_newfstatat),
        ALLOW(__NR_faccessat),
        ALLOW(__NR_renameat),
        ALLOW(__NR_renameat2),
        ALLOW(__NR_unlinkat),
#ifdef __NR_fstat
        ALLOW(__NR_fstat),
#endif
#ifdef __NR_access
        ALLOW(__NR_access),
        ALLOW(__NR_rename),
        ALLOW(__NR_unlink),
#endif
        // stdio's buffer for stdout comes from malloc.
        ALLOW(__NR_brk),
        ALLOW(__NR_getrandom),
        ALLOW(__NR_exit_group),
#if defined(__SANITIZE_ADDRESS__)
        // The sanitizer build: what the AddressSanitizer and
        // UndefinedBehaviorSanitizer runtimes call after confinement, to
        // allocate and to write a report.
        ALLOW(__NR_mmap),
        ALLOW(__NR_munmap),
        ALLOW(__NR_madvise),
        ALLOW(__NR_mprotect),
        ALLOW(__NR_getpid),
        ALLOW(__NR_gettid),
        ALLOW(__NR_sched_yield),
        ALLOW(__NR_sigaltstack),
#endif
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
    };
    struct sock_fprog prog = {};
    prog.len = static_cast<unsigned short>(sizeof filter / sizeof filter[0]);
    prog.filter = filter;
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) < 0) {
        if (errno == EINVAL)   // a kernel without seccomp filters
            return;
        confine_failed("seccomp");
    }
#endif
}

void confine(const char *dir, const char *device)
{
#if defined(__SANITIZE_ADDRESS__)
    // LeakSanitizer's check at exit stops the process with clone and
    // ptrace, which the filter forbids; it runs here instead, once.
    __lsan_do_leak_check();
#endif
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) < 0) {
        if (errno == EINVAL)
            return;
        confine_failed("no_new_privs");
    }
    restrict_file_system(dir, device);
    restrict_system_calls();
}
