// Hostile or broken values at the process boundary: huge argument
// vectors, arguments and environment values far beyond any buffer, and a
// HOME that is relative or empty.  Each ends in a correct store or a
// clear message, never in a crash or a file in the wrong place.
#include <gtest/gtest.h>

#include "harness.hpp"

namespace {
const size_t HUGE_LEN = 100000;
const size_t PATH_LIMIT = 1023;   // a path buffer less its zero byte

size_t count_lines(const std::string &text, const std::string &line)
{
    size_t n = 0, at = 0;
    while ((at = text.find(line, at)) != std::string::npos) {
        n++;
        at += line.size();
    }
    return n;
}

// sshd passes one -c operand, but nothing stops a caller from passing
// thousands: the first 30 words are used and every further operand that
// holds a word is warned about once.
TEST(BadInput, ThousandsOfOperands)
{
    temp_dir home;
    run_spec s;
    s.args = {"host1.dump", "-t", "3"};
    for (int i = 4; i <= 5000; i++)
        s.args.push_back("w" + std::to_string(i));
    s.env = ssh_env(home.path);
    for (const char *input : {"one", "two", "three", "four"}) {
        s.input = input;
        run_result r = run_velk(s);
        ASSERT_EQ(r.status, 0) << r.err.substr(0, 200);
        EXPECT_EQ(count_lines(r.err, "maximum argument count (30) exceeded\n"),
                  4970u);
        EXPECT_EQ(r.out, "written to " + home.path +
                             "/incoming/10.0.0.5/host1.dump\n");
    }
    // The -t 3 among the first words still counts.
    EXPECT_EQ(list_dir(home.path + "/incoming/10.0.0.5"),
              (std::vector<std::string>{"host1.dump", "host1.dump.1",
                                        "host1.dump.2"}));
    EXPECT_EQ(read_file(home.path + "/incoming/10.0.0.5/host1.dump"), "four");
}

struct huge_word_case {
    const char *name;
    std::string command;   // the -c operand
    std::string file;      // stored under this name
    std::string warning;   // a line the run writes, exactly
    size_t times;          // how many times
};

class HugeCommand : public ::testing::TestWithParam<huge_word_case> {};

TEST_P(HugeCommand, WarnsAndStores)
{
    const huge_word_case &c = GetParam();
    temp_dir home;
    run_result r = push(home.path, {"-c", c.command}, "data");
    std::string target = home.path + "/incoming/10.0.0.5/" + c.file;
    EXPECT_EQ(r.status, 0) << r.err.substr(0, 200);
    EXPECT_EQ(r.out, "written to " + target + "\n");
    EXPECT_EQ(count_lines(r.err, c.warning), c.times);
    EXPECT_EQ(read_file(target), "data");
}

INSTANTIATE_TEST_SUITE_P(
    BadInput, HugeCommand,
    ::testing::Values(
        // Too large for any integer: the count falls back to 10.
        huge_word_case{"keep_count_digits",
                       "host1.dump -t " + std::string(HUGE_LEN, '7'),
                       "host1.dump",
                       "invalid numeric value: " + std::string(HUGE_LEN, '7') +
                           ", ignoring\n",
                       1},
        // A command string that is one long option group: a warning for
        // every letter, no operand left, the default name.
        huge_word_case{"option_group", "-" + std::string(HUGE_LEN, 'x'),
                       "backup.raw", "wrong argument: ?\n", HUGE_LEN}),
    [](const ::testing::TestParamInfo<huge_word_case> &i) {
        return std::string(i.param.name);
    });

struct oversized_case {
    const char *name;
    std::string home_tail;   // appended to the scratch home
    std::string address;     // first field of SSH_CLIENT
    std::string word;        // destination word
};

class OversizedValue : public ::testing::TestWithParam<oversized_case> {};

// A value far beyond a path buffer is cut to fit, and the cut path, with
// a component longer than any file name, is refused by the kernel at the
// open: one clear message, status 1, nothing made anywhere.
TEST_P(OversizedValue, RefusedAtTheOpen)
{
    const oversized_case &c = GetParam();
    temp_dir home;
    make_dirs(home.path + "/incoming/10.0.0.5");
    std::string home_value = home.path + c.home_tail;
    run_spec s;
    s.args = {"-c", c.word};
    s.env = ssh_env(home_value, c.address + " 51234 22");
    s.input = "data";
    run_result r = run_velk(s);

    std::string target = home_value + "/incoming/" + c.address + "/" + c.word;
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "can't open file " + target.substr(0, PATH_LIMIT) +
                         ": File name too long\n");
    EXPECT_EQ(list_dir(home.path), std::vector<std::string>{"incoming"});
    EXPECT_EQ(list_dir(home.path + "/incoming"),
              std::vector<std::string>{"10.0.0.5"});
    EXPECT_TRUE(list_dir(home.path + "/incoming/10.0.0.5").empty());
}

INSTANTIATE_TEST_SUITE_P(
    BadInput, OversizedValue,
    ::testing::Values(
        oversized_case{"home", "/" + std::string(HUGE_LEN, 'h'), "10.0.0.5",
                       "host1.dump"},
        oversized_case{"ssh_client", "", std::string(HUGE_LEN, '1'),
                       "host1.dump"},
        oversized_case{"destination_word", "", "10.0.0.5",
                       std::string(HUGE_LEN, 'w')}),
    [](const ::testing::TestParamInfo<oversized_case> &i) {
        return std::string(i.param.name);
    });

// A target path cut at the buffer's end inside the file name is still a
// valid name: the stream is stored there, and "written to" names it.
TEST(BadInput, TargetCutInsideTheFileNameIsStoredThere)
{
    temp_dir home;
    std::string deep = home.path;
    for (char c : {'d', 'e', 'f', 'g'})
        deep += "/" + std::string(200, c);
    std::string dir = deep + "/incoming/10.0.0.5";
    make_dirs(dir);
    std::string word(250, 'w');
    std::string cut = (dir + "/" + word).substr(0, PATH_LIMIT);
    ASSERT_GT(cut.size(), dir.size() + 1);

    run_spec s;
    s.args = {"-c", word};
    s.env = ssh_env(deep);
    s.input = "data";
    run_result r = run_velk(s);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "written to " + cut + "\n");
    EXPECT_EQ(read_file(cut), "data");
}

// sshd always gives an absolute HOME; a relative one is taken as it
// stands, from the working directory.
TEST(BadInput, RelativeHomeStoresBelowWorkingDirectory)
{
    temp_dir cwd;
    run_spec s;
    s.args = {"-c", "host1.dump"};
    s.env = ssh_env("backup");
    s.cwd = cwd.path;
    s.input = "data";
    run_result r = run_velk(s);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "written to backup/incoming/10.0.0.5/host1.dump\n");
    EXPECT_EQ(r.err,
              "directory backup/incoming/10.0.0.5 missing, trying to create "
              "backup/incoming\n"
              "directory backup/incoming missing, trying to create backup\n");
    EXPECT_EQ(read_file(cwd.path + "/backup/incoming/10.0.0.5/host1.dump"),
              "data");
}

// An empty HOME would make the tree /incoming.  Run as nobody, so that
// even a faulty velk could not create anything there.
TEST(BadInput, EmptyHomeIsRefused)
{
    temp_dir cwd;
    bool before = exists("/incoming");
    run_spec s;
    s.args = {"-c", "host1.dump"};
    s.env = ssh_env("");
    s.cwd = cwd.path;
    s.input = "data";
    s.as_nobody = true;
    run_result r = run_velk(s);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "HOME not set, aborting\n");
    EXPECT_EQ(exists("/incoming"), before);
    EXPECT_TRUE(list_dir(cwd.path).empty());
}

}  // namespace
