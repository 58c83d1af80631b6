// Storage that fails under a push: what is left on disk afterwards.  The
// earlier generations must survive every fault, changed at most by the
// shift that rotation made before the target was opened, and a partial
// new file must hold exactly the start of the stream.
#include <gtest/gtest.h>

#include <sys/mount.h>

#include "harness.hpp"

namespace {

const std::string CLIENT = "10.0.0.5";
const std::string OTHER = "10.0.0.9";
const std::string NEW_CLIENT = "10.0.0.7";

// Two generations of host1.dump from CLIENT and one backup of another
// client, pushed as root before the fault.
void push_earlier_backups(const std::string &home)
{
    ASSERT_EQ(push(home, {"-c", "host1.dump"}, "one").status, 0);
    ASSERT_EQ(push(home, {"-c", "host1.dump"}, "two").status, 0);
    run_spec s;
    s.args = {"-c", "host1.dump"};
    s.env = ssh_env(home, OTHER + " 40000 22");
    s.input = "other";
    ASSERT_EQ(run_velk(s).status, 0);
}

struct fault_case {
    const char *name;
    const std::string *client;   // the faulty push comes from here
    void (*inject)(const std::string &home, run_spec &s);
    std::string err;             // stderr exactly, {T} for the target
    bool reported;               // "written to" was printed
    // The faulty push shifted CLIENT's generations and left this many
    // bytes of its stream in the target; -1 when nothing was moved.
    long stored;
};

// A write beyond the limit fails with EFBIG.  A limit inside a block
// first yields a short write: it must be finished, and so the failure
// seen, rather than the shortened stream reported as written; in the last
// block no later write would see it.
void size_limit_at_a_block_boundary(const std::string &, run_spec &s)
{
    s.fsize_limit = 2048;
    s.input = pattern(4096);
}

void size_limit_in_the_last_block(const std::string &, run_spec &s)
{
    s.fsize_limit = 1500;
    s.input = pattern(2048);
}

void size_limit_mid_stream(const std::string &, run_spec &s)
{
    s.fsize_limit = 5000;
}

void stdin_is_a_directory(const std::string &home, run_spec &s)
{
    s.stdin_path = home;
}

// The client directory was made by root's pushes, mode 0700.
void as_nobody(const std::string &, run_spec &s)
{
    s.as_nobody = true;
}

// The directory can be searched but not written.
void client_dir_not_writable(const std::string &home, run_spec &s)
{
    chmod((home + "/incoming/" + CLIENT).c_str(), 0755);
    s.as_nobody = true;
}

void client_dir_is_a_file(const std::string &home, run_spec &)
{
    write_file(home + "/incoming/" + NEW_CLIENT, "in the way", 0400);
}

class StorageFault : public ::testing::TestWithParam<fault_case> {};

TEST_P(StorageFault, EarlierBackupsSurvive)
{
    const fault_case &c = GetParam();
    temp_dir home;
    push_earlier_backups(home.path);
    std::string incoming = home.path + "/incoming/";
    std::string dir = incoming + CLIENT + "/";

    run_spec s;
    s.args = {"-c", "host1.dump"};
    s.env = ssh_env(home.path, *c.client + " 40000 22");
    s.input = pattern(100000);
    c.inject(home.path, s);
    run_result r = run_velk(s);

    std::string target = incoming + *c.client + "/host1.dump";
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, c.reported ? "written to " + target + "\n" : "");
    EXPECT_EQ(r.err, filled(c.err, "{T}", target));

    if (c.stored >= 0) {
        EXPECT_EQ(list_dir(dir), (std::vector<std::string>{
                                     "host1.dump", "host1.dump.1",
                                     "host1.dump.2"}));
        EXPECT_TRUE(read_file(dir + "host1.dump") ==
                    s.input.substr(0, static_cast<size_t>(c.stored)));
        EXPECT_EQ(read_file(dir + "host1.dump.1"), "two");
        EXPECT_EQ(read_file(dir + "host1.dump.2"), "one");
    } else {
        EXPECT_EQ(list_dir(dir), (std::vector<std::string>{
                                     "host1.dump", "host1.dump.1"}));
        EXPECT_EQ(read_file(dir + "host1.dump"), "two");
        EXPECT_EQ(read_file(dir + "host1.dump.1"), "one");
    }
    EXPECT_EQ(file_mode(dir + "host1.dump.1"), 0400u);
    EXPECT_EQ(list_dir(incoming + OTHER),
              std::vector<std::string>{"host1.dump"});
    EXPECT_EQ(read_file(incoming + OTHER + "/host1.dump"), "other");
}

INSTANTIATE_TEST_SUITE_P(
    StorageFaults, StorageFault,
    ::testing::Values(
        fault_case{"size_limit_at_a_block_boundary", &CLIENT,
                   size_limit_at_a_block_boundary,
                   "can't write to file {T}: File too large", false, 2048},
        fault_case{"size_limit_in_the_last_block", &CLIENT,
                   size_limit_in_the_last_block,
                   "can't write to file {T}: File too large", false, 1500},
        fault_case{"size_limit_mid_stream", &CLIENT, size_limit_mid_stream,
                   "can't write to file {T}: File too large", false, 5000},
        fault_case{"unreadable_stdin", &CLIENT, stdin_is_a_directory,
                   "cant't read from stdin: Is a directory", true, 0},
        fault_case{"permission_denied", &CLIENT, as_nobody,
                   "can't open file {T}: Permission denied\n", false, -1},
        fault_case{"client_dir_not_writable", &CLIENT,
                   client_dir_not_writable,
                   "can't open file {T}: Permission denied\n", false, -1},
        // incoming/ belongs to root, mode 0700: the new client's
        // directory cannot be made.
        fault_case{"client_dir_not_permitted", &NEW_CLIENT, as_nobody,
                   "can't open file {T}: Permission denied\n", false, -1},
        fault_case{"client_dir_is_a_file", &NEW_CLIENT, client_dir_is_a_file,
                   "can't open file {T}: Not a directory\n", false, -1}),
    [](const ::testing::TestParamInfo<fault_case> &i) {
        return std::string(i.param.name);
    });

// A tmpfs of a fixed size mounted on path in a mount namespace of this
// test process's own, so that the children that run velk share it and
// the machine's mounts are never touched.  Unmounted again at the end.
struct tiny_fs {
    tiny_fs(const std::string &path, const char *size);
    ~tiny_fs();
    tiny_fs(const tiny_fs &) = delete;
    tiny_fs &operator=(const tiny_fs &) = delete;
    std::string path;
    bool mounted = false;
};

tiny_fs::tiny_fs(const std::string &p, const char *size) : path(p)
{
    std::string options = std::string("mode=0755,size=") + size;
    mounted = unshare(CLONE_NEWNS) == 0 &&
              mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
              mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

tiny_fs::~tiny_fs()
{
    if (mounted)
        umount2(path.c_str(), MNT_DETACH);
}

TEST(StorageFaults, FileSystemFillsUpDuringCapture)
{
    temp_dir home;
    tiny_fs fs(home.path, "256k");
    ASSERT_TRUE(fs.mounted) << "a private tmpfs needs root";
    push_earlier_backups(home.path);
    std::string dir = home.path + "/incoming/" + CLIENT + "/";

    std::string input = pattern(1 << 20);
    run_result r = push(home.path, {"-c", "host1.dump"}, input);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "can't write to file " + dir +
                         "host1.dump: No space left on device");

    // The partial file is the start of the stream, as far as it fitted.
    std::string stored = read_file(dir + "host1.dump");
    EXPECT_GT(stored.size(), 100000u);
    EXPECT_LT(stored.size(), input.size());
    EXPECT_TRUE(stored == input.substr(0, stored.size()));
    EXPECT_EQ(read_file(dir + "host1.dump.1"), "two");
    EXPECT_EQ(read_file(dir + "host1.dump.2"), "one");
    EXPECT_EQ(read_file(home.path + "/incoming/" + OTHER + "/host1.dump"),
              "other");

    // Once there is room again, the next push is whole, and the partial
    // one is kept as a generation like any other.
    ASSERT_EQ(mount(nullptr, home.path.c_str(), nullptr, MS_REMOUNT,
                    "size=4m"),
              0);
    r = push(home.path, {"-c", "host1.dump"}, "three");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir + "host1.dump"), "three");
    EXPECT_TRUE(read_file(dir + "host1.dump.1") == stored);
    EXPECT_EQ(read_file(dir + "host1.dump.2"), "two");
    EXPECT_EQ(read_file(dir + "host1.dump.3"), "one");
}

}  // namespace
