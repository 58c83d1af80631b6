// The confinement, installed in a forked child that then tries, one by
// one, what it must no longer do and what it still must.  Landlock
// refuses with EACCES, the system-call filter with EPERM.
#include <gtest/gtest.h>

#include <asm/unistd.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <iostream>
#include <linux/landlock.h>
#include <linux/sched.h>
#include <linux/seccomp.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "harness.hpp"
#include "sandbox.hpp"

namespace {

// Runs attempt in a confined child; returns what it wrote to its pipe.
template <typename F>
std::string confined(const char *dir, const char *device, F attempt)
{
    int fds[2];
    if (pipe(fds) < 0)
        return "pipe failed";
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        confine(dir, device);
        attempt(fds[1]);
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    char buf[512];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int st;
    waitpid(pid, &st, 0);
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0)
        out += "child ended badly\n";
    return out;
}

// One line per attempt: its name and "ok" or the errno name.  Formatted
// in memory and written with write: dprintf's lseek is not among the
// calls the confinement allows.
void report(int fd, const char *what, bool ok)
{
    char line[256];
    int n = snprintf(line, sizeof line, "%s %s\n", what,
                     ok ? "ok" : strerrorname_np(errno));
    if (write(fd, line, static_cast<size_t>(n)) != n)
        _exit(2);
}

TEST(Sandbox, ForbidsProgramsProcessesSocketsAndWritesElsewhere)
{
    temp_dir root;
    std::string inside = root.path + "/incoming/10.0.0.5";
    std::string outside = root.path + "/other";
    make_dirs(inside, 0700);
    make_dirs(outside, 0700);
    write_file(outside + "/existing", "keep");
    write_file(inside + "/earlier", "backup");

    std::string got = confined(inside.c_str(), nullptr, [&](int fd) {
        char *argv[] = {const_cast<char *>("true"), nullptr};
        report(fd, "exec", execve("/bin/true", argv, environ) == 0);
        pid_t child = fork();
        if (child == 0)
            _exit(0);
        report(fd, "fork", child > 0);
        report(fd, "inet_socket", socket(AF_INET, SOCK_STREAM, 0) >= 0);
        report(fd, "unix_socket", socket(AF_UNIX, SOCK_STREAM, 0) >= 0);
        report(fd, "create_outside",
               open((outside + "/new").c_str(), O_WRONLY | O_CREAT, 0600) >= 0);
        report(fd, "write_outside",
               open((outside + "/existing").c_str(), O_WRONLY) >= 0);
        report(fd, "unlink_outside", unlink((outside + "/existing").c_str()) == 0);
        report(fd, "read_outside",
               open((outside + "/existing").c_str(), O_RDONLY) >= 0);
        report(fd, "read_inside",
               open((inside + "/earlier").c_str(), O_RDONLY) >= 0);
        report(fd, "list_inside",
               open(inside.c_str(), O_RDONLY | O_DIRECTORY) >= 0);
        report(fd, "list_root", open("/", O_RDONLY | O_DIRECTORY) >= 0);
        report(fd, "off_the_list", syscall(SYS_getppid) >= 0);
        report(fd, "mkdir_inside", mkdir((inside + "/sub").c_str(), 0700) == 0);
        report(fd, "symlink_inside",
               symlink("/etc/passwd", (inside + "/link").c_str()) == 0);

        std::string file = inside + "/host1.dump";
        int out = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0400);
        report(fd, "create_inside", out >= 0);
        report(fd, "write_inside", write(out, "data", 4) == 4);
        report(fd, "fsync_inside", fsync(out) == 0);
        close(out);
        report(fd, "rename_inside",
               rename(file.c_str(), (file + ".1").c_str()) == 0);
        report(fd, "unlink_inside", unlink((file + ".1").c_str()) == 0);
    });

    EXPECT_EQ(got, "exec EPERM\n"
                   "fork EPERM\n"
                   "inet_socket EPERM\n"
                   "unix_socket EPERM\n"
                   "create_outside EACCES\n"
                   "write_outside EACCES\n"
                   "unlink_outside EACCES\n"
                   "read_outside EACCES\n"
                   "read_inside EACCES\n"
                   "list_inside EACCES\n"
                   "list_root EACCES\n"
                   "off_the_list EPERM\n"
                   "mkdir_inside EPERM\n"
                   "symlink_inside EPERM\n"
                   "create_inside ok\n"
                   "write_inside ok\n"
                   "fsync_inside ok\n"
                   "rename_inside ok\n"
                   "unlink_inside ok\n");
    EXPECT_EQ(read_file(outside + "/existing"), "keep");
}

TEST(Sandbox, DeviceTargetIsTheOnlyWritableFile)
{
    temp_dir root;
    std::string device = root.path + "/nsa0";
    write_file(device, "");
    write_file(root.path + "/neighbour", "keep");

    std::string got = confined(nullptr, device.c_str(), [&](int fd) {
        report(fd, "write_device", open(device.c_str(), O_WRONLY) >= 0);
        report(fd, "read_device", open(device.c_str(), O_RDONLY) >= 0);
        report(fd, "write_neighbour",
               open((root.path + "/neighbour").c_str(), O_WRONLY) >= 0);
        report(fd, "create_beside",
               open((root.path + "/new").c_str(), O_WRONLY | O_CREAT, 0600) >= 0);
    });
    EXPECT_EQ(got, "write_device ok\n"
                   "read_device EACCES\n"
                   "write_neighbour EACCES\n"
                   "create_beside EACCES\n");
}

// Calls that velk never makes once it is confined, each made directly
// (not through a libc wrapper that might pick another) in a confined
// child of its own.  Every one must be refused by the filter, whatever
// its allow list grows to.  A call that would create a process ends the
// new one at once, should it exist.
struct forbidden_case {
    const char *name;
    long (*attempt)();
};

// The client directory of the confined child and paths in it, for the
// calls that take one: there Landlock would let some of them through, so
// the filter must stop them.  Made before the child is confined, which
// then allocates nothing.
struct client_paths {
    std::string dir, earlier, sub, link, hard, fifo;
};
client_paths inside;

void make_client_dir(const temp_dir &root)
{
    inside.dir = root.path + "/incoming/10.0.0.5";
    inside.earlier = inside.dir + "/earlier";
    inside.sub = inside.dir + "/sub";
    inside.link = inside.dir + "/link";
    inside.hard = inside.dir + "/hard";
    inside.fifo = inside.dir + "/fifo";
    make_dirs(inside.dir, 0700);
    write_file(inside.earlier, "backup", 0400);
}

long ended_if_child(long r)
{
    if (r == 0)
        _exit(0);
    return r;
}

const forbidden_case FORBIDDEN[] = {
    // New processes and programs.
#ifdef SYS_fork
    {"fork", [] { return ended_if_child(syscall(SYS_fork)); }},
    {"vfork", [] { return ended_if_child(syscall(SYS_vfork)); }},
#endif
    {"clone", [] {
         return ended_if_child(syscall(SYS_clone, SIGCHLD, 0, 0, 0, 0));
     }},
    {"clone3", [] {
         struct clone_args args = {};
         args.exit_signal = SIGCHLD;
         return ended_if_child(syscall(SYS_clone3, &args, sizeof args));
     }},
    {"execve", [] {
         char *argv[] = {const_cast<char *>("true"), nullptr};
         return syscall(SYS_execve, "/bin/true", argv, environ);
     }},
    {"execveat", [] {
         char *argv[] = {const_cast<char *>("true"), nullptr};
         return syscall(SYS_execveat, AT_FDCWD, "/bin/true", argv, environ, 0);
     }},
    // Other processes.
    {"ptrace", [] { return syscall(SYS_ptrace, PTRACE_TRACEME, 0, 0, 0); }},
    {"kill", [] { return syscall(SYS_kill, 1, 0); }},
    {"process_vm_writev", [] {
         return syscall(SYS_process_vm_writev, 1, nullptr, 0, nullptr, 0, 0);
     }},
    {"pidfd_open", [] { return syscall(SYS_pidfd_open, 1, 0); }},
    // The network and other channels.
    {"socket_inet", [] { return syscall(SYS_socket, AF_INET, SOCK_STREAM, 0); }},
    {"socket_unix", [] { return syscall(SYS_socket, AF_UNIX, SOCK_STREAM, 0); }},
    {"socketpair", [] {
         int sv[2];
         return syscall(SYS_socketpair, AF_UNIX, SOCK_STREAM, 0, sv);
     }},
    {"pipe2", [] {
         int p[2];
         return syscall(SYS_pipe2, p, 0);
     }},
    {"memfd_create", [] { return syscall(SYS_memfd_create, "x", 0); }},
    {"userfaultfd", [] { return syscall(SYS_userfaultfd, 0); }},
    {"io_uring_setup", [] { return syscall(SYS_io_uring_setup, 1, nullptr); }},
    {"bpf", [] { return syscall(SYS_bpf, -1, nullptr, 0); }},
    {"perf_event_open", [] {
         return syscall(SYS_perf_event_open, nullptr, 0, -1, -1, 0);
     }},
    {"ioctl", [] {
         struct termios t;
         return syscall(SYS_ioctl, 0, TCGETS, &t);
     }},
    // Changes to files and the file system that Landlock does not cover
    // or that the client directory allows only as files.
    {"fchmodat", [] { return syscall(SYS_fchmodat, AT_FDCWD, inside.earlier.c_str(), 0777); }},
    {"fchownat", [] {
         return syscall(SYS_fchownat, AT_FDCWD, inside.earlier.c_str(), 0, 0,
                        0);
     }},
    {"fchmod", [] { return syscall(SYS_fchmod, 0, 0777); }},
    {"fchown", [] { return syscall(SYS_fchown, 0, 0, 0); }},
    {"ftruncate", [] { return syscall(SYS_ftruncate, 0, 0); }},
    {"mkdirat", [] {
         return syscall(SYS_mkdirat, AT_FDCWD, inside.sub.c_str(), 0700);
     }},
    {"symlinkat", [] {
         return syscall(SYS_symlinkat, "/etc/passwd", AT_FDCWD,
                        inside.link.c_str());
     }},
    {"linkat", [] {
         return syscall(SYS_linkat, AT_FDCWD, inside.earlier.c_str(),
                        AT_FDCWD, inside.hard.c_str(), 0);
     }},
    {"mknodat", [] {
         return syscall(SYS_mknodat, AT_FDCWD, inside.fifo.c_str(),
                        S_IFIFO | 0600, 0);
     }},
    {"open_by_handle_at", [] {
         return syscall(SYS_open_by_handle_at, AT_FDCWD, nullptr, O_RDONLY);
     }},
    {"name_to_handle_at", [] {
         int mount_id;
         return syscall(SYS_name_to_handle_at, AT_FDCWD, inside.earlier.c_str(),
                        nullptr,
                        &mount_id, 0);
     }},
    {"getdents64", [] {
         char buf[256];
         return syscall(SYS_getdents64, 0, buf, sizeof buf);
     }},
    {"chdir", [] { return syscall(SYS_chdir, inside.dir.c_str()); }},
    // The process's own view of the system and its privileges.
    {"chroot", [] { return syscall(SYS_chroot, inside.dir.c_str()); }},
    {"mount", [] {
         return syscall(SYS_mount, "none", "/nonexistent-velk", "tmpfs", 0,
                        nullptr);
     }},
    {"unshare", [] { return syscall(SYS_unshare, CLONE_NEWNS); }},
    {"setns", [] { return syscall(SYS_setns, 0, 0); }},
    {"setuid", [] { return syscall(SYS_setuid, 0); }},
    {"setresgid", [] { return syscall(SYS_setresgid, -1, -1, -1); }},
    {"capset", [] { return syscall(SYS_capset, nullptr, nullptr); }},
    {"prctl", [] { return syscall(SYS_prctl, PR_SET_NAME, "velk", 0, 0, 0); }},
    {"seccomp", [] {
         unsigned action = SECCOMP_RET_KILL_PROCESS;
         return syscall(SYS_seccomp, SECCOMP_GET_ACTION_AVAIL, 0, &action);
     }},
    {"landlock_create_ruleset", [] {
         return syscall(SYS_landlock_create_ruleset, nullptr, 0,
                        LANDLOCK_CREATE_RULESET_VERSION);
     }},
    {"personality", [] { return syscall(SYS_personality, 0xffffffff); }},
    {"rt_sigaction", [] {
         struct sigaction old;
         return syscall(SYS_rt_sigaction, SIGUSR1, nullptr, &old, 8);
     }},
#ifndef __SANITIZE_ADDRESS__
    // Only the sanitizers' runtime maps memory after confinement.
    {"mmap_exec", [] {
         return reinterpret_cast<long>(
             mmap(nullptr, 4096, PROT_READ | PROT_EXEC,
                  MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
     }},
    {"mprotect", [] {
         static char page[4096] __attribute__((aligned(4096)));
         return syscall(SYS_mprotect, page, sizeof page,
                        PROT_READ | PROT_WRITE | PROT_EXEC);
     }},
#endif
    // Harmless ones: they are still not velk's.
    {"getppid", [] { return syscall(SYS_getppid); }},
    {"uname", [] {
         char buf[512];
         return syscall(SYS_uname, buf);
     }},
    {"lseek", [] { return syscall(SYS_lseek, 0, 0, SEEK_CUR); }},
    {"dup", [] { return syscall(SYS_dup, 0); }},
    {"fcntl", [] { return syscall(SYS_fcntl, 0, F_GETFL); }},
#if defined(__x86_64__)
    // A call through the x32 ABI: the same table of numbers with bit 30
    // set, under the same audit architecture.  write is on the list.
    {"x32_write", [] {
         return syscall(__X32_SYSCALL_BIT | __NR_write, 1, "", 0);
     }},
#endif
};

class Forbidden : public ::testing::TestWithParam<forbidden_case> {};

TEST_P(Forbidden, RefusedByTheFilter)
{
    temp_dir root;
    make_client_dir(root);
    std::string got = confined(inside.dir.c_str(), nullptr, [&](int fd) {
        errno = 0;
        long r = GetParam().attempt();
        report(fd, "call", r != -1);
    });
    EXPECT_EQ(got, "call EPERM\n");
    EXPECT_EQ(read_file(inside.earlier), "backup");
    EXPECT_EQ(file_mode(inside.earlier), 0400u);
    EXPECT_EQ(list_dir(inside.dir), std::vector<std::string>{"earlier"});
}

INSTANTIATE_TEST_SUITE_P(Sandbox, Forbidden, ::testing::ValuesIn(FORBIDDEN),
                         [](const ::testing::TestParamInfo<forbidden_case> &i) {
                             return std::string(i.param.name);
                         });

#if defined(__x86_64__)
// i386's int 0x80 with eax = 1: exit there, but write in the x86-64 table
// that the filter reads.  Whatever the call, another architecture's
// number ends the process.  Made in a child, confined first when dir is
// given; *st is set to the child's wait status.
void i386_exit_42(const char *dir, int *st)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (dir != nullptr)
            confine(dir, nullptr);
        asm volatile("int $0x80" : : "a"(1), "b"(42) : "memory");
        _exit(0);
    }
    ASSERT_EQ(waitpid(pid, st, 0), pid);
}

TEST(Sandbox, AnotherArchitectureEndsTheProcess)
{
    // Kernels built or booted without IA-32 emulation fault on int 0x80
    // before any filter runs (a fault that the sanitizers' handler turns
    // into an exit); there the call cannot get through either, and only
    // that is checked.
    int st;
    ASSERT_NO_FATAL_FAILURE(i386_exit_42(nullptr, &st));
    bool i386_calls = WIFEXITED(st) && WEXITSTATUS(st) == 42;

    temp_dir root;
    make_client_dir(root);
    ASSERT_NO_FATAL_FAILURE(i386_exit_42(inside.dir.c_str(), &st));
    EXPECT_FALSE(WIFEXITED(st) && WEXITSTATUS(st) == 42)
        << "the i386 call ran";
    if (i386_calls)
        EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGSYS)
            << "status " << st;
    else
        std::cout << "this kernel runs no i386 system calls\n";
}
#endif

}  // namespace
