// Preloaded into a real velk run.  On the first read of standard input,
// by which time velk has confined itself, it tries what a velk subverted
// by its input might try, writes one line per attempt to standard error
// ("probe: <attempt> ok" or the errno name), and lets the run go on.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

static void report(const char *what, bool ok)
{
    char line[256];
    int n = snprintf(line, sizeof line, "probe: %s %s\n", what,
                     ok ? "ok" : strerrorname_np(errno));
    if (write(2, line, static_cast<size_t>(n)) != n)
        _exit(121);
}

static bool opens(const char *home, const char *below, int flags)
{
    char path[4096];
    snprintf(path, sizeof path, "%s%s", home, below);
    return open(path, flags, 0600) >= 0;
}

static void probe()
{
    const char *home = getenv("HOME");
    report("read_other_client",
           opens(home, "/incoming/10.0.0.9/other.dump", O_RDONLY));
    report("read_own_earlier",
           opens(home, "/incoming/10.0.0.5/db.dump.1", O_RDONLY));
    report("read_etc", opens("", "/etc/passwd", O_RDONLY));
    report("list_home", opens(home, "", O_RDONLY | O_DIRECTORY));
    report("list_client_dir",
           opens(home, "/incoming/10.0.0.5", O_RDONLY | O_DIRECTORY));
    report("list_root", opens("", "/", O_RDONLY | O_DIRECTORY));
    report("create_outside",
           opens(home, "/outside", O_WRONLY | O_CREAT | O_EXCL));
    report("write_ssh_keys",
           opens(home, "/.ssh/authorized_keys", O_WRONLY | O_APPEND));
    report("create_beside_client_dir",
           opens(home, "/incoming/10.0.0.6", O_WRONLY | O_CREAT | O_EXCL));
    report("unix_socket", socket(AF_UNIX, SOCK_STREAM, 0) >= 0);
    char *argv[] = {const_cast<char *>("sh"), nullptr};
    char *envp[] = {nullptr};
    report("exec", execve("/bin/sh", argv, envp) == 0);
    pid_t child = fork();
    if (child == 0)
        _exit(0);
    report("fork", child > 0);
    report("off_the_list", syscall(SYS_getppid) >= 0);
}

extern "C" ssize_t read(int fd, void *buf, size_t count)
{
    static bool probed = false;
    if (fd == 0 && !probed) {
        probed = true;
        probe();
    }
    return syscall(SYS_read, fd, buf, count);
}
