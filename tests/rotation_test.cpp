// Generations as the binary leaves them, run after run.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/syscall.h>

#include "harness.hpp"

namespace {

TEST(Generations, TwelveBackupsKeepTenNewestFirst)
{
    temp_dir home;
    for (int i = 1; i <= 12; i++)
        ASSERT_EQ(push(home.path, {}, "backup " + std::to_string(i)).status, 0);
    std::string dir = home.path + "/incoming/10.0.0.5";
    std::vector<std::string> expected = {"backup.raw"};
    for (int k = 1; k <= 9; k++)
        expected.push_back("backup.raw." + std::to_string(k));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(list_dir(dir), expected);
    EXPECT_EQ(read_file(dir + "/backup.raw"), "backup 12");
    for (int k = 1; k <= 9; k++) {
        std::string gen = dir + "/backup.raw." + std::to_string(k);
        EXPECT_EQ(read_file(gen), "backup " + std::to_string(12 - k));
        EXPECT_EQ(file_mode(gen), 0400u);
    }
}

TEST(Generations, NamesRotateIndependently)
{
    temp_dir home;
    ASSERT_EQ(push(home.path, {"-c", "a"}, "a1").status, 0);
    ASSERT_EQ(push(home.path, {"-c", "b"}, "b1").status, 0);
    ASSERT_EQ(push(home.path, {"-c", "a"}, "a2").status, 0);
    std::string dir = home.path + "/incoming/10.0.0.5/";
    EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"a", "a.1", "b"}));
    EXPECT_EQ(read_file(dir + "a.1"), "a1");
}

// Rotating a tape name would rename the device node.
TEST(Generations, TapeIsNeverRotated)
{
    for (int i = 0; i < 2; i++) {
        run_spec s;
        s.args = {"-c", "/dev/sa0 -t 2"};
        s.input = "x";
        s.private_dev = true;
        s.tape_node = "/dev/sa0";
        run_result r = run_velk(s);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.dev_entries, (std::vector<std::string>{"null", "sa0"}));
    }
}

struct held_lock_case {
    const char *name;
    int operation;   // the lock someone else holds on the client directory
};

class HeldLock : public ::testing::TestWithParam<held_lock_case> {};

// Rotation and the open of the target happen under an exclusive lock on
// the client directory.  While another holds any lock on it, shared or
// exclusive, velk waits: nothing is renamed, opened or truncated until
// the lock is let go.
TEST_P(HeldLock, NothingMovesUntilItIsReleased)
{
    temp_dir home;
    std::string dir = home.path + "/incoming/10.0.0.5";
    make_dirs(dir, 0700);
    write_file(dir + "/db.dump", "earlier", 0400);
    int lock = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(flock(lock, GetParam().operation), 0);

    run_spec s;
    s.args = {"-c", "db.dump"};
    s.env = ssh_env(home.path);
    velk_process proc = start_velk(s);
    feed(proc, "new");
    EXPECT_TRUE(wait_in_syscall(proc.pid, SYS_flock))
        << "velk did not wait for the lock";
    EXPECT_EQ(list_dir(dir), std::vector<std::string>{"db.dump"});
    EXPECT_EQ(read_file(dir + "/db.dump"), "earlier");

    ASSERT_EQ(flock(lock, LOCK_UN), 0);
    close(lock);
    run_result r = finish_velk(proc);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(list_dir(dir),
              (std::vector<std::string>{"db.dump", "db.dump.1"}));
    EXPECT_EQ(read_file(dir + "/db.dump"), "new");
    EXPECT_EQ(read_file(dir + "/db.dump.1"), "earlier");
}

INSTANTIATE_TEST_SUITE_P(
    Generations, HeldLock,
    ::testing::Values(held_lock_case{"exclusive", LOCK_EX},
                      held_lock_case{"shared", LOCK_SH}),
    [](const ::testing::TestParamInfo<held_lock_case> &i) {
        return std::string(i.param.name);
    });

}  // namespace
