// Where the stream goes: the client directory and the target name.
#include <gtest/gtest.h>

#include "harness.hpp"

namespace {

struct env_case {
    const char *name;
    bool home, client;
    std::string err;
};

class MissingEnvironment : public ::testing::TestWithParam<env_case> {};

TEST_P(MissingEnvironment, AbortsBeforeCreatingAnything)
{
    const env_case &c = GetParam();
    temp_dir home;
    run_spec s;
    s.args = {"-c", "host1.dump"};
    if (c.home)
        s.env.push_back("HOME=" + home.path);
    if (c.client)
        s.env.push_back("SSH_CLIENT=10.0.0.5 51234 22");
    s.input = "data";
    run_result r = run_velk(s);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
    EXPECT_TRUE(list_dir(home.path).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Target, MissingEnvironment,
    ::testing::Values(env_case{"no_home", false, true, "HOME not set, aborting\n"},
                      env_case{"no_ssh_client", true, false,
                               "SSH_CLIENT not set, aborting\n"},
                      env_case{"neither", false, false,
                               "HOME not set, aborting\n"}),
    [](const ::testing::TestParamInfo<env_case> &i) {
        return std::string(i.param.name);
    });

struct name_case {
    const char *name;
    std::string word;   // the client's command
    std::string file;   // the file stored in the client directory
};

class TargetName : public ::testing::TestWithParam<name_case> {};

TEST_P(TargetName, LastPathComponentInClientDirectory)
{
    const name_case &c = GetParam();
    temp_dir home;
    run_spec s;
    s.args = {"-c", c.word};
    s.env = ssh_env(home.path);
    s.input = "payload";
    run_result r = run_velk(s);
    std::string dir = home.path + "/incoming/10.0.0.5";
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "written to " + dir + "/" + c.file + "\n");
    EXPECT_EQ(list_dir(dir), std::vector<std::string>{c.file});
    EXPECT_EQ(read_file(dir + "/" + c.file), "payload");
    EXPECT_EQ(list_dir(home.path), std::vector<std::string>{"incoming"});
}

INSTANTIATE_TEST_SUITE_P(
    Target, TargetName,
    ::testing::Values(name_case{"plain", "host1.dump", "host1.dump"},
                      name_case{"traversal", "../../etc/passwd", "passwd"},
                      name_case{"absolute", "/root/.ssh/authorized_keys",
                                "authorized_keys"},
                      name_case{"trailing_slash", "a/b/", "b"},
                      name_case{"trailing_slashes", "a/b///", "b"},
                      name_case{"not_a_tape", "/dev/sa0x", "sa0x"},
                      name_case{"other_drive", "/dev/sa1", "sa1"}),
    [](const ::testing::TestParamInfo<name_case> &i) {
        return std::string(i.param.name);
    });

struct failing_name_case {
    const char *name;
    std::string word;
    std::string target;   // after the client directory
};

class UnusableName : public ::testing::TestWithParam<failing_name_case> {};

// An empty word names "." and a word of slashes names "/": the target is
// the client directory itself, which cannot be opened for writing.
TEST_P(UnusableName, OpenFails)
{
    const failing_name_case &c = GetParam();
    temp_dir home;
    run_spec s;
    s.args = {"-c", c.word};
    s.env = ssh_env(home.path);
    run_result r = run_velk(s);
    std::string dir = home.path + "/incoming/10.0.0.5";
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "directory " + dir + " missing, trying to create " +
                         home.path + "/incoming\n"
                         "can't open file " + dir + "/" + c.target +
                         ": Is a directory\n");
    EXPECT_TRUE(list_dir(home.path + "/incoming/10.0.0.5").empty());
}

INSTANTIATE_TEST_SUITE_P(
    Target, UnusableName,
    ::testing::Values(failing_name_case{"empty", "", "."},
                      failing_name_case{"slashes", "///", "/"}),
    [](const ::testing::TestParamInfo<failing_name_case> &i) {
        return std::string(i.param.name);
    });

TEST(ClientDirectory, MissingParentsCreatedDeepestMessageFirst)
{
    temp_dir root;
    std::string home = root.path + "/home/bk";
    run_spec s;
    s.args = {"-c", "host1.dump"};
    s.env = ssh_env(home);
    s.input = "x";
    run_result r = run_velk(s);
    std::string dir = home + "/incoming/10.0.0.5";
    EXPECT_EQ(r.err,
              "directory " + dir + " missing, trying to create " + home +
                  "/incoming\n"
                  "directory " + home + "/incoming missing, trying to create " +
                  home + "\n"
                  "directory " + home + " missing, trying to create " +
                  root.path + "/home\n");
    EXPECT_EQ(r.status, 0);
    for (const std::string &d :
         {root.path + "/home", home, home + "/incoming", dir})
        EXPECT_EQ(file_mode(d), 0700u) << d;
    EXPECT_EQ(read_file(dir + "/host1.dump"), "x");
}

TEST(ClientDirectory, OneMissingParent)
{
    temp_dir home;
    run_spec s;
    s.env = ssh_env(home.path);
    run_result r = run_velk(s);
    std::string dir = home.path + "/incoming/10.0.0.5";
    EXPECT_EQ(r.err, "directory " + dir + " missing, trying to create " +
                         home.path + "/incoming\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(file_mode(home.path + "/incoming"), 0700u);
    EXPECT_EQ(file_mode(dir), 0700u);
}

TEST(ClientDirectory, ExistingDirectoryIsUsedSilently)
{
    temp_dir home;
    make_dirs(home.path + "/incoming/10.0.0.5", 0750);
    run_spec s;
    s.env = ssh_env(home.path);
    s.input = "x";
    run_result r = run_velk(s);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(file_mode(home.path + "/incoming/10.0.0.5"), 0750u);
}

struct address_case {
    const char *name;
    std::string ssh_client;
    std::string dir;   // client directory below incoming, with its slash
};

class ClientAddress : public ::testing::TestWithParam<address_case> {};

TEST_P(ClientAddress, NamesTheDirectory)
{
    const address_case &c = GetParam();
    temp_dir home;
    make_dirs(home.path + "/incoming");
    run_spec s;
    s.env = ssh_env(home.path, c.ssh_client);
    s.input = "x";
    run_result r = run_velk(s);
    std::string target = home.path + "/incoming/" + c.dir + "backup.raw";
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "written to " + target + "\n");
    EXPECT_EQ(read_file(target), "x");
}

INSTANTIATE_TEST_SUITE_P(
    Target, ClientAddress,
    ::testing::Values(address_case{"ipv4", "10.0.0.5 51234 22", "10.0.0.5/"},
                      address_case{"ipv6", "fe80::1 51234 22", "fe80::1/"},
                      address_case{"no_ports", "10.0.0.7", "10.0.0.7/"},
                      // Only a space ends the address.
                      address_case{"tab", "10.0.0.5\t1 22", "10.0.0.5\t1/"},
                      // Empty: the file lands in incoming/ itself.
                      address_case{"empty", "", "/"}),
    [](const ::testing::TestParamInfo<address_case> &i) {
        return std::string(i.param.name);
    });

struct bad_address_case {
    const char *name;
    std::string ssh_client;
    std::string shown;
};

class BadClientAddress : public ::testing::TestWithParam<bad_address_case> {};

// An address that would place the backup outside incoming/, such as
// "../.ssh" with the command authorized_keys, is refused before anything
// is created.
TEST_P(BadClientAddress, AbortsBeforeCreatingAnything)
{
    const bad_address_case &c = GetParam();
    temp_dir home;
    make_dirs(home.path + "/.ssh", 0700);
    write_file(home.path + "/.ssh/authorized_keys", "keys\n");
    run_spec s;
    s.args = {"-c", "authorized_keys"};
    s.env = ssh_env(home.path, c.ssh_client);
    s.input = "attacker key\n";
    run_result r = run_velk(s);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "bad client address " + c.shown + ", aborting\n");
    EXPECT_EQ(list_dir(home.path), std::vector<std::string>{".ssh"});
    EXPECT_EQ(read_file(home.path + "/.ssh/authorized_keys"), "keys\n");
}

INSTANTIATE_TEST_SUITE_P(
    Target, BadClientAddress,
    ::testing::Values(bad_address_case{"dotdot_ssh", "../.ssh 1 2", "../.ssh"},
                      bad_address_case{"dotdot", ".. 1 2", ".."},
                      bad_address_case{"dot", ". 1 2", "."},
                      bad_address_case{"slash", "a/b 1 2", "a/b"},
                      bad_address_case{"absolute", "/tmp 1 2", "/tmp"}),
    [](const ::testing::TestParamInfo<bad_address_case> &i) {
        return std::string(i.param.name);
    });

TEST(ClientDirectory, UncreatableDirectoryFailsAtOpen)
{
    temp_dir home;
    write_file(home.path + "/incoming", "a file where the directory goes");
    run_spec s;
    s.args = {"-c", "host1.dump"};
    s.env = ssh_env(home.path);
    run_result r = run_velk(s);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "can't open file " + home.path +
                         "/incoming/10.0.0.5/host1.dump: Not a directory\n");
}

}  // namespace
