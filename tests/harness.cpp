#include "harness.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef VELK_BINARY
#error "VELK_BINARY must name the built velk"
#endif

static void fail(const std::string &what)
{
    throw std::runtime_error(what + ": " + strerror(errno));
}

// In the child: report why setting up failed and leave with a status
// that velk itself never uses.
[[noreturn]] static void child_fail(const char *what)
{
    dprintf(2, "harness: %s: %s\n", what, strerror(errno));
    _exit(120);
}

static int decode_status(int st)
{
    if (WIFEXITED(st))
        return WEXITSTATUS(st);
    if (WIFSIGNALED(st))
        return 128 + WTERMSIG(st);
    return -1;
}

static void list_dev_into(const std::string &listing)
{
    FILE *f = fopen(listing.c_str(), "w");
    if (f == nullptr)
        child_fail("listing");
    DIR *d = opendir("/dev");
    if (d == nullptr)
        child_fail("opendir /dev");
    while (struct dirent *e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            fprintf(f, "%s\n", e->d_name);
    closedir(d);
    fclose(f);
}

// Everything between fork and exec.  Only the calls listed here run in
// the child; none of them allocates after the vectors were built.
[[noreturn]] static void exec_child(const run_spec &spec, const char *binary,
                                    int in_fd, int out_fd, int err_fd,
                                    char **argv, char **envp,
                                    const std::string &listing)
{
    // Only the three standard descriptors survive, so that no stray copy
    // of the pipe keeps velk from seeing the end of its input.
    if (dup2(in_fd, 0) < 0 || dup2(out_fd, 1) < 0 || dup2(err_fd, 2) < 0)
        child_fail("dup2");
    for (int fd = 3; fd < 1024; fd++)
        close(fd);

    if (spec.private_dev) {
        if (unshare(CLONE_NEWNS) < 0)
            child_fail("unshare");
        if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0)
            child_fail("mount private");
        if (mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") < 0)
            child_fail("mount tmpfs");
        // /dev/null, as every system has it: velk opens it in place of
        // a closed standard descriptor.  The tape node is writable for
        // all, whatever the umask: an account that is not root stands in
        // for one in the tape group.
        if (mknod("/dev/null", S_IFCHR | 0666, makedev(1, 3)) < 0 ||
            chmod("/dev/null", 0666) < 0)
            child_fail("mknod /dev/null");
        if (!spec.tape_node.empty() &&
            (mknod(spec.tape_node.c_str(), S_IFCHR | 0666,
                   makedev(spec.tape_major, spec.tape_minor)) < 0 ||
             chmod(spec.tape_node.c_str(), 0666) < 0))
            child_fail("mknod");
        // velk runs in a grandchild, so that /dev can be listed here
        // afterwards, while the namespace still exists.
        pid_t pid = fork();
        if (pid < 0)
            child_fail("fork");
        if (pid > 0) {
            int st;
            close(0);
            if (waitpid(pid, &st, 0) < 0)
                child_fail("waitpid");
            list_dev_into(listing);
            _exit(decode_status(st));
        }
    }

    if (!spec.cwd.empty() && chdir(spec.cwd.c_str()) < 0)
        child_fail("chdir");
    for (int fd : spec.closed_fds)
        close(fd);
    signal(SIGPIPE, SIG_DFL);
    if (spec.fsize_limit >= 0) {
        struct rlimit rl;
        rl.rlim_cur = rl.rlim_max = static_cast<rlim_t>(spec.fsize_limit);
        signal(SIGXFSZ, SIG_IGN);
        if (setrlimit(RLIMIT_FSIZE, &rl) < 0)
            child_fail("setrlimit");
    }
    umask(022);
    if (spec.as_nobody) {
        if (setgroups(0, nullptr) < 0 || setgid(NOBODY) < 0 ||
            setuid(NOBODY) < 0)
            child_fail("drop to nobody");
    }
    execve(spec.wrapper.empty() ? binary : argv[0], argv, envp);
    child_fail("execve");
}

// A fresh directory under /tmp, traversable by nobody, for the cases
// that drop privileges.
static std::string make_scratch_dir()
{
    char tmpl[] = "/tmp/velk-test-XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        fail("mkdtemp");
    if (chmod(tmpl, 0755) < 0)
        fail(std::string("chmod ") + tmpl);
    return tmpl;
}

static std::string nobody_copy_dir;

static void remove_nobody_copy()
{
    std::error_code ec;
    std::filesystem::remove_all(nobody_copy_dir, ec);
}

// The build tree may sit where nobody cannot go (a clone in root's 0700
// home), so the cases that drop privileges run copies of velk (and of a
// preloaded library) from a scratch directory that everyone can
// traverse, made once per process.
static std::string traversable_copy(const std::string &path)
{
    if (nobody_copy_dir.empty()) {
        nobody_copy_dir = make_scratch_dir();
        atexit(remove_nobody_copy);
    }
    std::string copy =
        nobody_copy_dir + "/" + std::filesystem::path(path).filename().string();
    if (!exists(copy)) {
        std::filesystem::copy_file(path, copy);
        if (chmod(copy.c_str(), 0755) < 0)
            fail("chmod " + copy);
    }
    return copy;
}

velk_process start_velk(const run_spec &spec)
{
    std::string binary_path =
        spec.as_nobody ? traversable_copy(VELK_BINARY) : VELK_BINARY;
    const char *binary = binary_path.c_str();
    velk_process proc;
    proc.io_dir = make_scratch_dir();
    proc.private_dev = spec.private_dev;
    std::string out_path = proc.io_dir + "/out";
    std::string err_path = proc.io_dir + "/err";
    std::string listing = proc.io_dir + "/dev";

    std::vector<std::string> env = spec.env;
    for (const char *keep : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
        std::string prefix = std::string(keep) + "=";
        bool given = std::any_of(env.begin(), env.end(),
                                 [&](const std::string &e) {
                                     return e.rfind(prefix, 0) == 0;
                                 });
        if (const char *v = getenv(keep); v != nullptr && !given)
            env.push_back(prefix + v);
    }
    if (!spec.preload.empty())
        env.push_back("LD_PRELOAD=" + (spec.as_nobody
                                           ? traversable_copy(spec.preload)
                                           : spec.preload));

    std::vector<char *> argv, envp;
    for (const std::string &w : spec.wrapper)
        argv.push_back(const_cast<char *>(w.c_str()));
    argv.push_back(const_cast<char *>(spec.wrapper.empty() ? spec.argv0.c_str()
                                                           : binary));
    for (const std::string &a : spec.args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    for (const std::string &e : env)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);

    // stdout is a file, or a pipe whose reader is gone before velk runs:
    // a client whose connection was cut.
    int out_fd;
    if (spec.stdout_reader_gone) {
        int out_pipe[2];
        if (pipe(out_pipe) < 0)
            fail("pipe");
        close(out_pipe[0]);
        out_fd = out_pipe[1];
        write_file(out_path, "");
    } else {
        out_fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out_fd < 0 || err_fd < 0)
        fail("open output files");

    int pipe_fds[2] = {-1, -1};
    int in_fd;
    if (!spec.stdin_path.empty()) {
        in_fd = open(spec.stdin_path.c_str(), O_RDONLY);
        if (in_fd < 0)
            fail("open " + spec.stdin_path);
    } else {
        if (pipe(pipe_fds) < 0)
            fail("pipe");
        in_fd = pipe_fds[0];
    }

    signal(SIGPIPE, SIG_IGN);
    proc.pid = fork();
    if (proc.pid < 0)
        fail("fork");
    if (proc.pid == 0)
        exec_child(spec, binary, in_fd, out_fd, err_fd, argv.data(),
                   envp.data(), listing);

    close(in_fd);
    close(out_fd);
    close(err_fd);
    proc.input = pipe_fds[1];
    return proc;
}

void feed(velk_process &proc, const std::string &data)
{
    // velk may stop reading early (an open that fails); the rest of the
    // input is then simply not delivered.
    const char *p = data.data();
    size_t left = data.size();
    while (proc.input >= 0 && left > 0) {
        ssize_t n = write(proc.input, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

run_result finish_velk(velk_process &proc)
{
    if (proc.input >= 0) {
        close(proc.input);
        proc.input = -1;
    }
    int st;
    while (waitpid(proc.pid, &st, 0) < 0)
        if (errno != EINTR)
            fail("waitpid");

    run_result r;
    r.status = decode_status(st);
    r.out = read_file(proc.io_dir + "/out");
    r.err = read_file(proc.io_dir + "/err");
    std::string listing = proc.io_dir + "/dev";
    if (proc.private_dev && exists(listing)) {
        std::string names = read_file(listing);
        size_t start = 0, nl;
        while ((nl = names.find('\n', start)) != std::string::npos) {
            r.dev_entries.push_back(names.substr(start, nl - start));
            start = nl + 1;
        }
        std::sort(r.dev_entries.begin(), r.dev_entries.end());
    }
    std::error_code ec;
    std::filesystem::remove_all(proc.io_dir, ec);
    return r;
}

run_result run_traced(const run_spec &spec,
                      const std::vector<std::string> &options,
                      std::string *calls)
{
    temp_dir io;
    std::string trace = io.path + "/trace";
    run_spec s = spec;
    // LeakSanitizer cannot stop a process that strace already traces.
    s.env.push_back("ASAN_OPTIONS=detect_leaks=0");
    s.wrapper = {"/usr/bin/strace", "-o", trace, "-e", "signal=none", "-qq"};
    s.wrapper.insert(s.wrapper.end(), options.begin(), options.end());
    run_result r = run_velk(s);
    calls->clear();
    for (char c : read_file(trace))
        if (c != ' ' || calls->empty() || calls->back() != ' ')
            *calls += c;
    return r;
}

std::string traced_result(const std::string &calls, const std::string &call,
                          size_t *line_end)
{
    size_t at = calls.find(call);
    if (at == std::string::npos)
        return "";
    size_t end = calls.find('\n', at);
    size_t result = calls.find(" = ", at);
    if (result == std::string::npos || result > end)
        return "";
    if (line_end != nullptr)
        *line_end = end;
    return calls.substr(result + 3, end - result - 3);
}

bool wait_in_syscall(pid_t pid, long nr)
{
    std::string path = "/proc/" + std::to_string(pid) + "/syscall";
    for (int i = 0; i < 1000; i++) {
        // The call's number comes first; "running" while it is not in one.
        if (atol(read_file(path).c_str()) == nr)
            return true;
        usleep(10000);
    }
    return false;
}

run_result run_velk(const run_spec &spec)
{
    velk_process proc = start_velk(spec);
    feed(proc, spec.input);
    return finish_velk(proc);
}

run_result push(const std::string &home, const std::vector<std::string> &args,
                const std::string &input,
                const std::vector<std::string> &extra_env)
{
    run_spec s;
    s.args = args;
    s.env = ssh_env(home);
    s.env.insert(s.env.end(), extra_env.begin(), extra_env.end());
    s.input = input;
    return run_velk(s);
}

bool on_ci()
{
    const char *ci = getenv("CI");
    return ci != nullptr && strcmp(ci, "true") == 0;
}

const char *velk_binary()
{
    return VELK_BINARY;
}

temp_dir::temp_dir() : path(make_scratch_dir()) {}

temp_dir::~temp_dir()
{
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

std::vector<std::string> ssh_env(const std::string &home,
                                 const std::string &ssh_client)
{
    return {"HOME=" + home, "SSH_CLIENT=" + ssh_client,
            "PATH=/usr/bin:/bin"};
}

std::string filled(std::string text, const std::string &placeholder,
                   const std::string &value)
{
    if (size_t at = text.find(placeholder); at != std::string::npos)
        text.replace(at, placeholder.size(), value);
    return text;
}

std::string read_file(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        fail("open " + path);
    std::string data;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        data.append(buf, static_cast<size_t>(n));
    close(fd);
    if (n < 0)
        fail("read " + path);
    return data;
}

void write_file(const std::string &path, const std::string &data, mode_t mode)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    if (fd < 0)
        fail("create " + path);
    if (write(fd, data.data(), data.size()) !=
        static_cast<ssize_t>(data.size()))
        fail("write " + path);
    close(fd);
    chmod(path.c_str(), mode);
}

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

mode_t file_mode(const std::string &path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) < 0)
        fail("stat " + path);
    return st.st_mode & 07777;
}

std::vector<std::string> list_dir(const std::string &path)
{
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(path))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

void make_dirs(const std::string &path, mode_t mode)
{
    std::filesystem::create_directories(path);
    chmod(path.c_str(), mode);
}

void chown_nobody(const std::string &path)
{
    if (chown(path.c_str(), NOBODY, NOBODY) < 0)
        fail("chown " + path);
}

std::string lines_starting_with(const std::string &text,
                                const std::vector<std::string> &prefixes)
{
    std::string picked;
    size_t start = 0, nl;
    while ((nl = text.find('\n', start)) != std::string::npos) {
        std::string line = text.substr(start, nl + 1 - start);
        for (const std::string &p : prefixes)
            if (line.rfind(p, 0) == 0)
                picked += line;
        start = nl + 1;
    }
    return picked;
}

std::string pattern(size_t len, unsigned seed)
{
    std::string s(len, '\0');
    unsigned x = seed * 2654435761u + 1;
    for (size_t i = 0; i < len; i++) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 16);
    }
    return s;
}
