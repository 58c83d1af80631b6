// Failures that ordinary storage does not produce on demand, injected
// into single system calls of a real run with strace: each ends with its
// own message and status, and "written to" appears only when the stream
// is whole on the disk.
#include <gtest/gtest.h>

#include <filesystem>

#include "harness.hpp"

namespace {

struct injected_case {
    const char *name;
    std::string command;   // the client's command: a file or a tape
    std::string call;      // the system call that fails
    std::string error;     // with this errno
    // Which of those calls: the first whose trace line starts so ({FD}
    // stands for the target's descriptor); empty for the first of all.
    std::string which;
    int status;
    std::string err;       // stderr exactly; {T} stands for the target
    bool stored;           // "written to" and the stream whole
};

// The position (from 1) among the traced calls named call of the first
// line that starts with start and ends at or after offset after; 0 when
// there is none.
int nth_call(const std::string &calls, const std::string &call,
             const std::string &start, size_t after)
{
    int n = 0;
    size_t at = 0, nl;
    while ((nl = calls.find('\n', at)) != std::string::npos) {
        std::string line = calls.substr(at, nl - at);
        at = nl + 1;
        if (line.rfind(call + "(", 0) != 0)
            continue;
        n++;
        if (at > after && line.rfind(start, 0) == 0)
            return n;
    }
    return 0;
}

class InjectedFault : public ::testing::TestWithParam<injected_case> {};

TEST_P(InjectedFault, EndsWithItsOwnMessage)
{
    NEEDS_STRACE();
    const injected_case &c = GetParam();
    bool tape = c.command == "/dev/nsa0";
    temp_dir home;
    std::string dir = home.path + "/incoming/10.0.0.5";
    make_dirs(dir, 0700);
    write_file(dir + "/db.dump", "earlier", 0400);
    std::string target = tape ? c.command : dir + "/" + c.command;

    run_spec s;
    s.args = {"-c", c.command};
    s.env = ssh_env(home.path);
    s.input = pattern(3 * 1024 + 100);
    s.private_dev = tape;
    s.tape_node = "/dev/nsa0";

    // Injection needs the call traced.  Which one to fail is counted in an undisturbed run first: the
    // loader and the sanitizers make calls of the same names.
    int when = 1;
    if (!c.which.empty()) {
        std::string calls;
        run_result dry = run_traced(s, {"-e", "trace=openat," + c.call}, &calls);
        ASSERT_EQ(dry.status, 0) << dry.err;
        size_t opened;
        std::string fd = traced_result(
            calls, "openat(AT_FDCWD, \"" + target + "\", O_WRONLY", &opened);
        ASSERT_NE(fd, "") << calls;
        when = nth_call(calls, c.call, filled(c.which, "{FD}", fd), opened);
        ASSERT_GT(when, 0) << calls;
        // Back to the state before the dry run.
        std::filesystem::remove_all(dir);
        make_dirs(dir, 0700);
        write_file(dir + "/db.dump", "earlier", 0400);
    }

    std::string calls;
    run_result r = run_traced(
        s,
        {"-e", "trace=" + c.call, "-e",
         "inject=" + c.call + ":error=" + c.error + ":when=" +
             std::to_string(when)},
        &calls);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, filled(c.err, "{T}", target));
    EXPECT_EQ(r.out, c.stored ? "written to " + target + "\n" : "");
    if (tape)
        return;
    if (c.stored) {
        EXPECT_TRUE(read_file(target) == s.input);
    }
    // Confinement fails before the rotation; later faults come after it.
    bool rotated = c.call.rfind("landlock", 0) != 0;
    EXPECT_EQ(read_file(dir + (rotated ? "/db.dump.1" : "/db.dump")),
              "earlier");
}

const std::string WRITE_FAILED = "can't write to file {T}: Input/output error";
const std::string NOT_CONFINED =
    "can't confine velk (landlock): Operation not permitted\n";

INSTANTIATE_TEST_SUITE_P(
    InjectedFaults, InjectedFault,
    ::testing::Values(
        injected_case{"fsync_fails", "db.dump", "fsync", "EIO", "", 1,
                      WRITE_FAILED, false},
        injected_case{"close_fails", "db.dump", "close", "EIO",
                      "close({FD})", 1, WRITE_FAILED, false},
        injected_case{"tape_close_fails", "/dev/nsa0", "close", "EIO",
                      "close({FD})", 1, WRITE_FAILED, false},
        injected_case{"no_landlock_ruleset", "db.dump",
                      "landlock_create_ruleset", "EPERM", "", 1, NOT_CONFINED,
                      false},
        injected_case{"tape_no_landlock_ruleset", "/dev/nsa0",
                      "landlock_create_ruleset", "EPERM", "", 1, NOT_CONFINED,
                      false},
        injected_case{"landlock_not_applied", "db.dump",
                      "landlock_restrict_self", "EPERM", "", 1, NOT_CONFINED,
                      false},
        // An interrupted read or write is made again, and nothing is
        // lost or doubled.
        injected_case{"read_interrupted", "db.dump", "read", "EINTR",
                      "read(0, ", 0, "", true},
        injected_case{"write_interrupted", "db.dump", "write", "EINTR",
                      "write({FD}, ", 0, "", true},
        injected_case{"tape_write_interrupted", "/dev/nsa0", "write",
                      "EINTR", "write({FD}, ", 0, "", true}),
    [](const ::testing::TestParamInfo<injected_case> &i) {
        return std::string(i.param.name);
    });

}  // namespace
