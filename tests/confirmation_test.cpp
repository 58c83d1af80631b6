// "written to" is the confirmation of a backup: it names the file that
// holds the stream, and a stream whose client could not hear it is left
// as <name>.partial, never under the backup's own name.
#include <gtest/gtest.h>

#include <unistd.h>

#include "harness.hpp"

namespace {

const std::string CLIENT_DIR = "/incoming/10.0.0.5";
const std::string GONE = "can't report to the client: Broken pipe\n";

run_spec cut_push(const std::string &home, const std::string &command,
                  const std::string &input)
{
    run_spec s;
    s.args = {"-c", command};
    s.env = ssh_env(home);
    s.input = input;
    s.stdout_reader_gone = true;
    return s;
}

struct gone_case {
    const char *name;
    // Files in the client directory before the push, and after it.
    std::vector<std::pair<std::string, std::string>> before;
    std::vector<std::pair<std::string, std::string>> after;
};

class ClientGone : public ::testing::TestWithParam<gone_case> {};

// The stream "new stream" arrives whole, but the client is gone before
// it hears "written to": status 1 (not death by SIGPIPE), and the file
// is no confirmed backup.
TEST_P(ClientGone, StreamIsLeftAsPartial)
{
    const gone_case &c = GetParam();
    temp_dir home;
    std::string dir = home.path + CLIENT_DIR;
    make_dirs(dir, 0700);
    for (const auto &[name, data] : c.before)
        write_file(dir + "/" + name, data, 0400);

    run_result r = run_velk(cut_push(home.path, "db.dump -t 3", "new stream"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, GONE);
    std::vector<std::string> names;
    for (const auto &[name, data] : c.after) {
        names.push_back(name);
        EXPECT_EQ(read_file(dir + "/" + name), data) << name;
    }
    EXPECT_EQ(list_dir(dir), names);
}

INSTANTIATE_TEST_SUITE_P(
    Confirmation, ClientGone,
    ::testing::Values(
        gone_case{"first_push", {}, {{"db.dump.partial", "new stream"}}},
        gone_case{"earlier_backups_kept",
                  {{"db.dump", "one"}, {"db.dump.1", "two"}},
                  {{"db.dump.1", "one"},
                   {"db.dump.2", "two"},
                   {"db.dump.partial", "new stream"}}},
        // An older .partial is never replaced: the new stream stays where
        // it was written.
        gone_case{"partial_already_there",
                  {{"db.dump.partial", "older cut"}},
                  {{"db.dump", "new stream"},
                   {"db.dump.partial", "older cut"}}}),
    [](const ::testing::TestParamInfo<gone_case> &i) {
        return std::string(i.param.name);
    });

// A complete push, a cut one, a complete one: the cut stream never
// becomes "the newest backup", and the push after it shifts nothing, so
// the last complete backup stays generation 1 until a complete one
// replaces it.
TEST(Confirmation, PushAfterACutShiftsNothing)
{
    temp_dir home;
    std::string dir = home.path + CLIENT_DIR;
    std::string first = pattern(5000, 1), cut = pattern(3000, 2),
                third = pattern(4000, 3);
    EXPECT_EQ(push(home.path, {"-c", "db.dump"}, first).status, 0);
    EXPECT_EQ(run_velk(cut_push(home.path, "db.dump", cut)).status, 1);
    EXPECT_EQ(list_dir(dir),
              (std::vector<std::string>{"db.dump.1", "db.dump.partial"}));
    EXPECT_TRUE(read_file(dir + "/db.dump.1") == first);
    EXPECT_TRUE(read_file(dir + "/db.dump.partial") == cut);

    run_result r = push(home.path, {"-c", "db.dump"}, third);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "written to " + dir + "/db.dump\n");
    EXPECT_TRUE(read_file(dir + "/db.dump") == third);
    EXPECT_TRUE(read_file(dir + "/db.dump.1") == first);
    EXPECT_TRUE(read_file(dir + "/db.dump.partial") == cut);
}

// A read error with the client gone: the part read is left as .partial,
// and the read error is still reported.
TEST(Confirmation, ReadErrorWithClientGone)
{
    temp_dir home;
    run_spec s = cut_push(home.path, "db.dump", "");
    s.stdin_path = home.path;   // read fails with EISDIR
    run_result r = run_velk(s);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "directory " + home.path + CLIENT_DIR +
                         " missing, trying to create " + home.path +
                         "/incoming\n" + GONE +
                         "cant't read from stdin: Is a directory");
    EXPECT_EQ(list_dir(home.path + CLIENT_DIR),
              std::vector<std::string>{"db.dump.partial"});
}

// A tape cannot be renamed: it keeps what was written, and the run ends
// with status 1.
TEST(Confirmation, TapeWithClientGone)
{
    run_spec s;
    s.args = {"-c", "/dev/nsa0"};
    s.env = {"PATH=/usr/bin:/bin"};
    s.input = pattern(5000);
    s.stdout_reader_gone = true;
    s.private_dev = true;
    s.tape_node = "/dev/nsa0";
    run_result r = run_velk(s);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, GONE);
    EXPECT_EQ(r.dev_entries, (std::vector<std::string>{"nsa0", "null"}));
}

// Waits until path exists with at least size bytes.
bool appears(const std::string &path, size_t size)
{
    for (int i = 0; i < 1000; i++) {
        if (exists(path) && read_file(path).size() >= size)
            return true;
        usleep(5000);
    }
    return false;
}

// A push that starts while another of the same name is still being
// copied shifts the first one's file to .1 under it.  Each "written to"
// then names the file that holds its own stream.
TEST(Confirmation, WrittenToFollowsAShiftedFile)
{
    temp_dir home;
    std::string dir = home.path + CLIENT_DIR;
    std::string early = pattern(300000, 1), late = pattern(200000, 2);

    run_spec s;
    s.args = {"-c", "db.dump"};
    s.env = ssh_env(home.path);
    velk_process first = start_velk(s);
    feed(first, early.substr(0, 100000));
    ASSERT_TRUE(appears(dir + "/db.dump", 100000));

    run_result second = push(home.path, {"-c", "db.dump"}, late);
    feed(first, early.substr(100000));
    run_result r = finish_velk(first);

    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.out, "written to " + dir + "/db.dump\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "written to " + dir + "/db.dump.1\n");
    EXPECT_TRUE(read_file(dir + "/db.dump") == late);
    EXPECT_TRUE(read_file(dir + "/db.dump.1") == early);
}

// A later push with -t 1 removes the file of one still being copied:
// nothing holds that stream any more, and its run must not claim it.
TEST(Confirmation, StreamRemovedByALaterPushIsNotConfirmed)
{
    temp_dir home;
    std::string dir = home.path + CLIENT_DIR;
    std::string late = pattern(2000, 2);
    make_dirs(dir, 0700);

    run_spec s;
    s.args = {"-c", "db.dump"};
    s.env = ssh_env(home.path);
    velk_process first = start_velk(s);
    feed(first, pattern(100000, 1));
    ASSERT_TRUE(appears(dir + "/db.dump", 100000));

    EXPECT_EQ(push(home.path, {"-c", "db.dump -t 1"}, late).status, 0);
    run_result r = finish_velk(first);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "can't write to file " + dir +
                         "/db.dump: No such file or directory");
    EXPECT_TRUE(read_file(dir + "/db.dump") == late);
}

}  // namespace
