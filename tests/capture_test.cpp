// Copying standard input to the target, and how each failure ends.
#include <gtest/gtest.h>

#include <algorithm>

#include "harness.hpp"

namespace {

const std::string CLIENT_DIR = "/incoming/10.0.0.5";

struct stream_case {
    const char *name;
    size_t size;
};

class StreamSize : public ::testing::TestWithParam<stream_case> {};

TEST_P(StreamSize, StoredByteForByte)
{
    temp_dir home;
    run_spec s;
    s.args = {"-c", "host1.dump"};
    s.env = ssh_env(home.path);
    s.input = pattern(GetParam().size);
    run_result r = run_velk(s);
    std::string target = home.path + CLIENT_DIR + "/host1.dump";
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "written to " + target + "\n");
    EXPECT_EQ(r.err, "directory " + home.path + CLIENT_DIR +
                         " missing, trying to create " + home.path +
                         "/incoming\n");
    EXPECT_TRUE(read_file(target) == s.input);
    EXPECT_EQ(file_mode(target), 0400u);
}

INSTANTIATE_TEST_SUITE_P(
    Capture, StreamSize,
    ::testing::Values(stream_case{"empty", 0}, stream_case{"one_byte", 1},
                      stream_case{"one_block", 1024},
                      stream_case{"block_and_a_byte", 1025},
                      stream_case{"eight_mib_odd", 8 * 1024 * 1024 + 7}),
    [](const ::testing::TestParamInfo<stream_case> &i) {
        return std::string(i.param.name);
    });

TEST(Capture, EveryByteValuePassesUnchanged)
{
    temp_dir home;
    run_spec s;
    s.env = ssh_env(home.path);
    for (int round = 0; round < 8; round++)
        for (int b = 0; b < 256; b++)
            s.input += static_cast<char>(b);
    run_result r = run_velk(s);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(read_file(home.path + CLIENT_DIR + "/backup.raw") == s.input);
}

// The target is still there when it is opened: with a keep count of 2
// its rename to generation 1 is the only one, and it fails because
// generation 1 is a directory that is not empty.  Opened for writing, it
// is truncated, so that no tail of the old contents stays behind the new
// stream; an owner that is not root cannot open its read-only file, and
// the old contents stay whole.
struct unmovable_case {
    const char *name;
    bool as_owner;
    int status;
    std::string err;   // {D} stands for the client directory
    bool replaced;     // the target holds the new stream
};

class UnmovableTarget : public ::testing::TestWithParam<unmovable_case> {};

TEST_P(UnmovableTarget, TruncatedOrRefused)
{
    const unmovable_case &c = GetParam();
    temp_dir home;
    std::string dir = home.path + CLIENT_DIR;
    make_dirs(dir + "/host1.dump.1/keep");
    chmod(dir.c_str(), 0700);
    std::string old = pattern(10000, 7);
    write_file(dir + "/host1.dump", old, 0400);
    if (c.as_owner)
        for (const std::string &p :
             {home.path, home.path + "/incoming", dir, dir + "/host1.dump",
              dir + "/host1.dump.1", dir + "/host1.dump.1/keep"})
            chown_nobody(p);
    run_spec s;
    s.args = {"-c", "host1.dump -t 2"};
    s.env = ssh_env(home.path);
    s.input = "new and shorter";
    s.as_nobody = c.as_owner;
    run_result r = run_velk(s);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, filled(c.err, "{D}", dir));
    EXPECT_TRUE(read_file(dir + "/host1.dump") ==
                (c.replaced ? s.input : old));
}

INSTANTIATE_TEST_SUITE_P(
    Capture, UnmovableTarget,
    ::testing::Values(
        unmovable_case{"as_root", false, 0, "", true},
        unmovable_case{"as_owner", true, 1,
                       "can't open file {D}/host1.dump: Permission denied\n",
                       false}),
    [](const ::testing::TestParamInfo<unmovable_case> &i) {
        return std::string(i.param.name);
    });

struct closed_case {
    const char *name;
    std::vector<int> fds;
    bool tape;
    std::string stored;   // the input is "data"; what the file holds
};

class ClosedDescriptors : public ::testing::TestWithParam<closed_case> {};

// A closed 0, 1 or 2 is reopened on /dev/null before anything else, so
// that neither the client directory's lock nor the target takes a
// standard descriptor's number, where a message or a read of the input
// would reach it.  The numbers are read from the traced opens.
TEST_P(ClosedDescriptors, NeverOpenedAsStandardDescriptors)
{
    NEEDS_STRACE();
    const closed_case &c = GetParam();
    temp_dir home;
    run_spec s;
    s.args = {"-h", c.tape ? "/dev/nsa0" : "host1.dump"};   // a warning
    s.env = ssh_env(home.path);
    s.input = "data";
    s.closed_fds = c.fds;
    s.private_dev = c.tape;
    s.tape_node = "/dev/nsa0";
    std::string calls;
    run_result r = run_traced(s, {"-e", "trace=openat"}, &calls);
    EXPECT_EQ(r.status, 0);

    std::string dir = home.path + CLIENT_DIR;
    std::vector<std::string> opens = {"\"/dev/nsa0\", O_WRONLY"};
    if (!c.tape)
        opens = {"\"" + dir + "\", O_RDONLY|O_CLOEXEC|O_DIRECTORY",
                 "\"" + dir + "/host1.dump\", O_WRONLY"};
    for (const std::string &open : opens) {
        std::string fd = traced_result(calls, "openat(AT_FDCWD, " + open);
        ASSERT_NE(fd, "") << open << " not in\n" << calls;
        EXPECT_GE(std::stoi(fd), 3) << calls;
    }
    if (!c.tape) {
        EXPECT_EQ(read_file(dir + "/host1.dump"), c.stored);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Capture, ClosedDescriptors,
    ::testing::Values(closed_case{"stdin", {0}, false, ""},
                      closed_case{"stdout", {1}, false, "data"},
                      closed_case{"stderr", {2}, false, "data"},
                      closed_case{"stdout_stderr", {1, 2}, false, "data"},
                      closed_case{"all", {0, 1, 2}, false, ""},
                      closed_case{"tape_stdout", {1}, true, ""},
                      closed_case{"tape_all", {0, 1, 2}, true, ""}),
    [](const ::testing::TestParamInfo<closed_case> &i) {
        return std::string(i.param.name);
    });

struct tape_case {
    const char *name;
    std::string word;
    std::string node;   // made in the private /dev, if not empty
    int minor;          // 3 takes everything, 7 is always full
    int status;
    std::string err;
};

class Tape : public ::testing::TestWithParam<tape_case> {};

// Tape targets need neither HOME nor SSH_CLIENT, make no directory, and a
// missing node is never created.
TEST_P(Tape, WrittenStraightToTheDevice)
{
    const tape_case &c = GetParam();
    temp_dir home;
    run_spec s;
    s.args = {"-c", c.word + " -t 3"};
    s.env = {"PATH=/usr/bin:/bin"};
    s.input = pattern(300000);
    s.private_dev = true;
    s.tape_node = c.node;
    s.tape_minor = c.minor;
    run_result r = run_velk(s);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, c.status == 0 ? "written to " + c.word + "\n" : "");
    std::vector<std::string> expected_dev;
    if (!c.node.empty())
        expected_dev.push_back(c.node.substr(5));
    expected_dev.push_back("null");
    std::sort(expected_dev.begin(), expected_dev.end());
    EXPECT_EQ(r.dev_entries, expected_dev);
}

INSTANTIATE_TEST_SUITE_P(
    Capture, Tape,
    ::testing::Values(
        tape_case{"rewinding", "/dev/sa0", "/dev/sa0", 3, 0, ""},
        tape_case{"non_rewinding", "/dev/nsa0", "/dev/nsa0", 3, 0, ""},
        tape_case{"eject", "/dev/esa0", "/dev/esa0", 3, 0, ""},
        tape_case{"full", "/dev/nsa0", "/dev/nsa0", 7, 1,
                  "can't write to file /dev/nsa0: No space left on device"},
        tape_case{"no_node", "/dev/sa0", "", 3, 1,
                  "can't open file /dev/sa0: No such file or directory\n"}),
    [](const ::testing::TestParamInfo<tape_case> &i) {
        return std::string(i.param.name);
    });

TEST(Capture, TapeTargetLeavesHomeAlone)
{
    temp_dir home;
    run_spec s;
    s.args = {"/dev/nsa0"};
    s.env = ssh_env(home.path);
    s.input = "x";
    s.private_dev = true;
    s.tape_node = "/dev/nsa0";
    run_result r = run_velk(s);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(list_dir(home.path).empty());
}

}  // namespace

namespace {

// "written to" is a promise that the data is on disk: the file is synced
// and closed, both successfully, before the line goes out.  A tape gets
// no fsync.  Seen in the system calls, since a failing fsync cannot be
// provoked on an ordinary file system.
std::string traced_calls(const run_spec &s, const char *calls_traced =
                                                 "trace=openat,fsync,close,write")
{
    std::string calls;
    run_result r = run_traced(s, {"-e", calls_traced}, &calls);
    EXPECT_EQ(r.status, 0) << r.err;
    return calls;
}

TEST(Capture, SyncedAndClosedBeforeWrittenTo)
{
    NEEDS_STRACE();
    temp_dir home;
    make_dirs(home.path + CLIENT_DIR);
    run_spec s;
    s.args = {"-c", "host1.dump"};
    s.env = ssh_env(home.path);
    s.input = pattern(3000);
    std::string calls = traced_calls(s);
    size_t open_at;
    std::string fd = traced_result(
        calls, "host1.dump\", O_WRONLY|O_CREAT|O_TRUNC, 0400)", &open_at);
    ASSERT_NE(fd, "") << calls;
    size_t sync_at = calls.find("fsync(" + fd + ") = 0");
    size_t close_at = calls.find("close(" + fd + ") = 0", sync_at);
    size_t written_at = calls.find("write(1, \"written to ");
    ASSERT_NE(sync_at, std::string::npos) << calls;
    ASSERT_NE(close_at, std::string::npos) << calls;
    ASSERT_NE(written_at, std::string::npos) << calls;
    EXPECT_LT(open_at, sync_at);
    EXPECT_LT(sync_at, close_at);
    EXPECT_LT(close_at, written_at);

    s.args = {"-c", "/dev/nsa0"};
    s.private_dev = true;
    s.tape_node = "/dev/nsa0";
    calls = traced_calls(s);
    EXPECT_NE(calls.find("openat(AT_FDCWD, \"/dev/nsa0\", O_WRONLY) = "),
              std::string::npos)
        << calls;
    EXPECT_EQ(calls.find("fsync"), std::string::npos) << calls;
}

// Each write to a tape is one record.  A stream that arrives faster than
// velk copies it (here a file on standard input) reaches the drive as
// records of exactly the block size this build was made with, then one
// record with the rest.
TEST(Capture, TapeRecordsAreWholeBlocks)
{
    NEEDS_STRACE();
    const size_t rest = VELK_BLOCK_SIZE / 3 + 1;
    const size_t size = 5 * VELK_BLOCK_SIZE + rest;
    temp_dir scratch;
    std::string input = pattern(size);
    write_file(scratch.path + "/stream", input);
    run_spec s;
    s.args = {"-c", "/dev/nsa0"};
    s.stdin_path = scratch.path + "/stream";
    s.private_dev = true;
    s.tape_node = "/dev/nsa0";
    std::string calls = traced_calls(s, "trace=openat,write");

    std::string fd =
        traced_result(calls, "openat(AT_FDCWD, \"/dev/nsa0\", O_WRONLY)");
    ASSERT_NE(fd, "") << calls;
    std::string prefix = "write(" + fd + ", ";
    std::vector<size_t> records;
    size_t start = 0, nl;
    while ((nl = calls.find('\n', start)) != std::string::npos) {
        std::string line = calls.substr(start, nl - start);
        if (line.rfind(prefix, 0) == 0)
            records.push_back(std::stoul(line.substr(line.rfind(" = ") + 3)));
        start = nl + 1;
    }
    std::vector<size_t> expected(5, VELK_BLOCK_SIZE);
    expected.push_back(rest);
    EXPECT_EQ(records, expected) << calls;
}

// A file target goes to the disk while it arrives: each full window is
// handed to write-back, and once the next one is, the one before is
// waited for and dropped from the page cache.  The final fsync stays.  A
// tape gets none of this.
TEST(Capture, WrittenBackWhileTheStreamArrives)
{
    NEEDS_STRACE();
    const std::string w = std::to_string(VELK_WRITE_BACK_WINDOW);
    temp_dir home;
    make_dirs(home.path + CLIENT_DIR);
    run_spec s;
    s.args = {"-c", "host1.dump"};
    s.env = ssh_env(home.path);
    s.input = pattern(2 * VELK_WRITE_BACK_WINDOW + 1000);
    std::string calls = traced_calls(s, "trace=sync_file_range,fadvise64,fsync");
    EXPECT_EQ(calls, "sync_file_range(4, 0, " + w +
                         ", SYNC_FILE_RANGE_WRITE) = 0\n"
                         "sync_file_range(4, " + w + ", " + w +
                         ", SYNC_FILE_RANGE_WRITE) = 0\n"
                         "sync_file_range(4, 0, " + w +
                         ", SYNC_FILE_RANGE_WAIT_BEFORE|SYNC_FILE_RANGE_WRITE|"
                         "SYNC_FILE_RANGE_WAIT_AFTER) = 0\n"
                         "fadvise64(4, 0, " + w +
                         ", POSIX_FADV_DONTNEED) = 0\n"
                         "fsync(4) = 0\n");
    EXPECT_TRUE(read_file(home.path + CLIENT_DIR + "/host1.dump") == s.input);

    s.args = {"-c", "/dev/nsa0"};
    s.private_dev = true;
    s.tape_node = "/dev/nsa0";
    calls = traced_calls(s, "trace=sync_file_range,fadvise64,fsync");
    EXPECT_EQ(calls, "");
}

}  // namespace
