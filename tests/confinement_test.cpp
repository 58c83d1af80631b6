// A real run is confined while it waits for its input.
#include <gtest/gtest.h>

#include <unistd.h>

#include "harness.hpp"

namespace {

TEST(Confinement, ActiveWhileReadingStdin)
{
    temp_dir home;
    run_spec s;
    s.args = {"x"};
    s.env = ssh_env(home.path);
    velk_process proc = start_velk(s);

    // velk blocks in read once it is confined; until then the status
    // still shows the parent's settings.
    std::string status;
    std::string path = "/proc/" + std::to_string(proc.pid) + "/status";
    for (int i = 0; i < 500; i++) {
        status = read_file(path);
        if (status.find("Seccomp:\t2") != std::string::npos)
            break;
        usleep(10000);
    }
    EXPECT_NE(status.find("NoNewPrivs:\t1"), std::string::npos) << status;
    EXPECT_NE(status.find("Seccomp:\t2"), std::string::npos) << status;

    feed(proc, "data");
    run_result r = finish_velk(proc);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(home.path + "/incoming/10.0.0.5/x"), "data");
}

// What a velk subverted by its input could try once it is confined, as
// root and as an unprivileged account that owns every backup, storing to
// a file and to a tape: only its standard input and its own client
// directory or device are within reach, and the run still stores its
// stream.
struct probe_case {
    const char *name;
    bool as_nobody;
    bool tape;
};

class Probe : public ::testing::TestWithParam<probe_case> {};

TEST_P(Probe, ConfinedRunReachesNothingElse)
{
    const probe_case &c = GetParam();
    temp_dir home;
    std::string dir = home.path + "/incoming/10.0.0.5";
    std::string keys = home.path + "/.ssh/authorized_keys";
    make_dirs(dir, 0700);
    make_dirs(home.path + "/incoming/10.0.0.9", 0700);
    make_dirs(home.path + "/.ssh", 0700);
    write_file(home.path + "/incoming/10.0.0.9/other.dump", "secret", 0400);
    write_file(dir + "/db.dump", "earlier", 0400);
    write_file(dir + "/db.dump.1", "older", 0400);
    write_file(keys, "restrict ssh-ed25519 AAAA\n", 0600);
    if (c.as_nobody)
        for (const std::string &p :
             {home.path, home.path + "/incoming", dir,
              home.path + "/incoming/10.0.0.9",
              home.path + "/incoming/10.0.0.9/other.dump",
              dir + "/db.dump", dir + "/db.dump.1", home.path + "/.ssh",
              keys})
            chown_nobody(p);

    run_spec s;
    s.args = {"-c", c.tape ? "/dev/nsa0" : "db.dump"};
    s.env = ssh_env(home.path);
    // The probe comes first in the preload list, ahead of the sanitizers.
    s.env.push_back("ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1");
    s.preload = VELK_PROBE;
    s.as_nobody = c.as_nobody;
    s.input = pattern(5000);
    s.private_dev = c.tape;
    s.tape_node = "/dev/nsa0";
    run_result r = run_velk(s);

    EXPECT_EQ(r.err, "probe: read_other_client EACCES\n"
                     "probe: read_own_earlier EACCES\n"
                     "probe: read_etc EACCES\n"
                     "probe: list_home EACCES\n"
                     "probe: list_client_dir EACCES\n"
                     "probe: list_root EACCES\n"
                     "probe: create_outside EACCES\n"
                     "probe: write_ssh_keys EACCES\n"
                     "probe: create_beside_client_dir EACCES\n"
                     "probe: unix_socket EPERM\n"
                     "probe: exec EPERM\n"
                     "probe: fork EPERM\n"
                     "probe: off_the_list EPERM\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(keys), "restrict ssh-ed25519 AAAA\n");
    EXPECT_FALSE(exists(home.path + "/outside"));
    EXPECT_FALSE(exists(home.path + "/incoming/10.0.0.6"));
    if (c.tape) {
        EXPECT_EQ(r.out, "written to /dev/nsa0\n");
        EXPECT_EQ(list_dir(dir),
                  (std::vector<std::string>{"db.dump", "db.dump.1"}));
        EXPECT_EQ(read_file(dir + "/db.dump"), "earlier");
    } else {
        EXPECT_EQ(r.out, "written to " + dir + "/db.dump\n");
        EXPECT_TRUE(read_file(dir + "/db.dump") == s.input);
        EXPECT_EQ(read_file(dir + "/db.dump.1"), "earlier");
        EXPECT_EQ(read_file(dir + "/db.dump.2"), "older");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Confinement, Probe,
    ::testing::Values(probe_case{"file_as_root", false, false},
                      probe_case{"file_as_nobody", true, false},
                      probe_case{"tape_as_root", false, true},
                      probe_case{"tape_as_nobody", true, true}),
    [](const ::testing::TestParamInfo<probe_case> &i) {
        return std::string(i.param.name);
    });

struct order_case {
    const char *name;
    std::string command;
    std::string first_change;   // the first call that changes the store
};

class ConfinedFirst : public ::testing::TestWithParam<order_case> {};

// In the order of its system calls, velk sets no_new_privs, restricts
// the file system and installs its filter before it renames, removes or
// opens anything it writes to: a fault in the rotation or the open runs
// already confined.
TEST_P(ConfinedFirst, BeforeTheFirstChange)
{
    NEEDS_STRACE();
    const order_case &c = GetParam();
    temp_dir home;
    std::string dir = home.path + "/incoming/10.0.0.5";
    make_dirs(dir, 0700);
    write_file(dir + "/db.dump", "earlier", 0400);
    run_spec s;
    s.args = {"-c", c.command};
    s.env = ssh_env(home.path);
    s.input = "data";
    s.private_dev = true;
    s.tape_node = "/dev/nsa0";
    std::string calls;
    run_result r = run_traced(
        s,
        {"-e", "trace=prctl,landlock_restrict_self,openat,rename,renameat,"
               "renameat2,unlink,unlinkat"},
        &calls);
    EXPECT_EQ(r.status, 0) << r.err;

    std::string first = filled(c.first_change, "{D}", dir);
    size_t no_new_privs = calls.find("prctl(PR_SET_NO_NEW_PRIVS, 1");
    size_t landlock = calls.find("landlock_restrict_self(");
    size_t seccomp = calls.find("prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER");
    size_t change = calls.find(first);
    ASSERT_NE(change, std::string::npos) << first << " not in\n" << calls;
    EXPECT_LT(no_new_privs, landlock) << calls;
    EXPECT_LT(landlock, seccomp) << calls;
    EXPECT_LT(seccomp, change) << calls;
}

INSTANTIATE_TEST_SUITE_P(
    Confinement, ConfinedFirst,
    ::testing::Values(
        order_case{"rotation", "db.dump", "rename(\"{D}/db.dump\""},
        order_case{"removal", "db.dump -t 1", "unlink(\"{D}/db.dump\")"},
        order_case{"new_file", "fresh.dump",
                   "openat(AT_FDCWD, \"{D}/fresh.dump\", O_WRONLY"},
        order_case{"tape", "/dev/nsa0", "openat(AT_FDCWD, \"/dev/nsa0\", O_WRONLY"}),
    [](const ::testing::TestParamInfo<order_case> &i) {
        return std::string(i.param.name);
    });

}  // namespace
