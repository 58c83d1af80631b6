// The confinement, installed in a forked child that then tries, one by
// one, what it must no longer do and what it still must.  Landlock
// refuses with EACCES, the system-call filter with EPERM.
#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
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

}  // namespace
