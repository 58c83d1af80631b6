// Generations as the binary leaves them, run after run.
#include <gtest/gtest.h>

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

TEST(Generations, FailedCaptureLeavesShiftedGenerations)
{
    temp_dir home;
    ASSERT_EQ(push(home.path, {"-c", "host1.dump"}, "one").status, 0);
    ASSERT_EQ(push(home.path, {"-c", "host1.dump"}, "two").status, 0);

    run_spec s;
    s.args = {"-c", "host1.dump"};
    s.env = ssh_env(home.path);
    s.stdin_path = home.path;   // read fails with EISDIR
    run_result r = run_velk(s);
    EXPECT_EQ(r.status, 1);

    std::string dir = home.path + "/incoming/10.0.0.5/";
    EXPECT_EQ(list_dir(dir), (std::vector<std::string>{
                                 "host1.dump", "host1.dump.1",
                                 "host1.dump.2"}));
    EXPECT_EQ(read_file(dir + "host1.dump"), "");
    EXPECT_EQ(read_file(dir + "host1.dump.1"), "two");
    EXPECT_EQ(read_file(dir + "host1.dump.2"), "one");
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
        EXPECT_EQ(r.dev_entries, std::vector<std::string>{"sa0"});
    }
}

}  // namespace
