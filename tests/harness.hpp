// Runs the built velk as a child process with a chosen argv, environment
// and standard input, and collects what it leaves behind.
#ifndef VELK_TESTS_HARNESS_HPP
#define VELK_TESTS_HARNESS_HPP

#include <gtest/gtest.h>
#include <string>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

// A case that cannot run on this machine (a tool missing) is skipped with
// its reason, which ctest reports as a skip; under CI=true, where
// everything it needs has been installed, it fails instead.
bool on_ci();
#define REQUIRE_OR_SKIP(available, why)                                      \
    do {                                                                     \
        if (!(available)) {                                                  \
            if (on_ci())                                                     \
                FAIL() << (why);                                             \
            GTEST_SKIP() << (why);                                           \
        }                                                                    \
    } while (0)
#define NEEDS_STRACE()                                                       \
    REQUIRE_OR_SKIP(access("/usr/bin/strace", X_OK) == 0,                    \
                    "strace is not installed")

struct run_spec {
    std::string argv0 = "velk";
    // A program (absolute path) and its arguments that run velk, such as
    // strace; velk's own argv0 is then not used.
    std::vector<std::string> wrapper;
    std::vector<std::string> args;
    std::vector<std::string> env;
    std::string input;             // written to a pipe on stdin
    std::string stdin_path;        // opened as stdin instead, when set
    std::vector<int> closed_fds;   // closed in the child before exec
    std::string cwd;               // working directory, when set
    bool as_nobody = false;        // drop to nobody before exec
    bool stdout_reader_gone = false;   // stdout a pipe with no reader
    std::string preload;           // a library for LD_PRELOAD, when set
    long fsize_limit = -1;         // RLIMIT_FSIZE, with SIGXFSZ ignored
    // Tape cases: a private mount namespace with a tmpfs on /dev that
    // holds null.  When tape_node is set, that character device
    // (tape_major, tape_minor) is made in it too.
    bool private_dev = false;
    std::string tape_node;
    int tape_major = 1;
    int tape_minor = 3;
};

struct run_result {
    int status = -1;   // exit status, or 128 + signal number
    std::string out;
    std::string err;
    std::vector<std::string> dev_entries;   // names in /dev afterwards, sorted
};

run_result run_velk(const run_spec &spec);

// The same in steps, for a run that must still be going while something
// else happens: start_velk starts velk with an empty pipe on stdin (or
// spec.stdin_path), feed writes to the pipe, and finish_velk closes it,
// waits for velk and collects its result.  spec.input is not used.
struct velk_process {
    pid_t pid = -1;
    int input = -1;        // the pipe's write end
    std::string io_dir;    // velk's stdout, stderr and /dev listing
    bool private_dev = false;
};
velk_process start_velk(const run_spec &spec);
void feed(velk_process &proc, const std::string &data);
run_result finish_velk(velk_process &proc);

// Runs velk under strace with the given options ("-e", "trace=..."), and
// sets *calls to the trace, one call per line, strace's padding folded to
// single spaces.
run_result run_traced(const run_spec &spec,
                      const std::vector<std::string> &options,
                      std::string *calls);

// In a trace from run_traced: what the first call that starts with call
// returned (the text after " = ", such as the descriptor of an openat),
// or "" when no call starts so.  *line_end, when given, is set to the end
// of that call's line.
std::string traced_result(const std::string &calls, const std::string &call,
                          size_t *line_end = nullptr);

// Waits (up to ten seconds) until the process is blocked in system call
// nr, as /proc/<pid>/syscall shows it; false if it never is.
bool wait_in_syscall(pid_t pid, long nr);

// One push as sshd would start velk: args, the ssh_env of home plus
// extra_env, and input on stdin.
run_result push(const std::string &home, const std::vector<std::string> &args,
                const std::string &input,
                const std::vector<std::string> &extra_env = {});

// The path of the velk under test.
const char *velk_binary();

// A fresh directory under /tmp, removed again by the destructor.
struct temp_dir {
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    std::string path;
};

// The environment sshd gives velk.
std::vector<std::string> ssh_env(const std::string &home,
                                 const std::string &ssh_client =
                                     "10.0.0.5 51234 22");

// text with the first placeholder (such as "{T}") replaced by value: the
// expectations of a table, with the paths of a run filled in.
std::string filled(std::string text, const std::string &placeholder,
                   const std::string &value);

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &data,
                mode_t mode = 0600);
bool exists(const std::string &path);
mode_t file_mode(const std::string &path);   // permission bits only
// Sorted names in a directory, without . and ..
std::vector<std::string> list_dir(const std::string &path);
void make_dirs(const std::string &path, mode_t mode = 0755);
void chown_nobody(const std::string &path);
// The lines of text (each with its newline) that begin with one of the
// prefixes: velk's own warnings, picked out from between the option
// scanner's diagnostics, whose wording is glibc's.
std::string lines_starting_with(const std::string &text,
                                const std::vector<std::string> &prefixes);
// len bytes of a fixed pseudo-random pattern, different for each seed.
std::string pattern(size_t len, unsigned seed = 1);

constexpr uid_t NOBODY = 65534;

#endif
