// The client's command as the binary reads it.
#include <gtest/gtest.h>

#include "harness.hpp"

namespace {

const std::string CLIENT_DIR = "/incoming/10.0.0.5/";

struct keep_case {
    const char *name;
    std::vector<std::string> args;
    size_t generations;   // files of the name after five pushes
    std::string err;      // stderr of each push after the first
};

class KeepCountSeen : public ::testing::TestWithParam<keep_case> {};

TEST_P(KeepCountSeen, InTheGenerations)
{
    const keep_case &c = GetParam();
    temp_dir home;
    make_dirs(home.path + CLIENT_DIR);
    for (int i = 1; i <= 5; i++) {
        run_result r = push(home.path, c.args, "v" + std::to_string(i));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "written to " + home.path + CLIENT_DIR + "h\n");
    }
    std::vector<std::string> names = list_dir(home.path + CLIENT_DIR);
    EXPECT_EQ(names.size(), c.generations);
    EXPECT_EQ(read_file(home.path + CLIENT_DIR + "h"), "v5");
    for (size_t k = 1; k < c.generations; k++)
        EXPECT_EQ(read_file(home.path + CLIENT_DIR + "h." + std::to_string(k)),
                  "v" + std::to_string(5 - k));
}

INSTANTIATE_TEST_SUITE_P(
    CommandWords, KeepCountSeen,
    ::testing::Values(
        keep_case{"default", {"-c", "h"}, 5, ""},
        keep_case{"three", {"-c", "h -t 3"}, 3, ""},
        keep_case{"attached", {"-c", "h -t2"}, 2, ""},
        keep_case{"one", {"-c", "h -t 1"}, 1, ""},
        keep_case{"negative", {"-c", "h -t -1"}, 1, ""},
        keep_case{"hex", {"-c", "h -t 0x3"}, 3, ""},
        // Two operands without -c are split the same way.
        keep_case{"two_operands", {"h", "-t 3"}, 3, ""},
        keep_case{"tabs_and_newlines", {"-c", "h\t-t\n3\r"}, 3, ""},
        keep_case{"bad_value", {"-c", "h -t 3 -t x"}, 5,
                  "invalid numeric value: x, ignoring\n"},
        keep_case{"wraps_to_two", {"-c", "h -t 4294967298"}, 5,
                  "invalid numeric value: 4294967298, ignoring\n"},
        keep_case{"stops_at_operand", {"-c", "h extra -t 2"}, 5, ""}),
    [](const ::testing::TestParamInfo<keep_case> &i) {
        return std::string(i.param.name);
    });

TEST(CommandWords, UnknownOptionWarningsExactly)
{
    temp_dir home;
    make_dirs(home.path + CLIENT_DIR);
    run_result r = push(home.path, {"-c", "h -t"}, "x");
    EXPECT_EQ(r.err, "h: option requires an argument -- 't'\n"
                     "wrong argument: ?\n");
    EXPECT_EQ(r.status, 0);
    r = push(home.path, {"-c", "h -x -t 2"}, "x");
    EXPECT_EQ(r.err, "h: invalid option -- 'x'\nwrong argument: ?\n");
}

TEST(CommandWords, ThirtyOneWordsWarnOnce)
{
    temp_dir home;
    make_dirs(home.path + CLIENT_DIR);
    std::string command = "h";
    for (int i = 1; i <= 30; i++)
        command += " w";
    command += " -t 2";   // beyond the limit and beyond the first operand
    std::vector<std::string> args = {"-c", command};
    run_result r;
    for (int i = 0; i < 3; i++)
        r = push(home.path, args, "x");
    EXPECT_EQ(r.err, "maximum argument count (30) exceeded\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(list_dir(home.path + CLIENT_DIR),
              (std::vector<std::string>{"h", "h.1", "h.2"}));
}

TEST(CommandWords, DestinationWordAsSplittingLeftIt)
{
    temp_dir home;
    make_dirs(home.path + CLIENT_DIR);
    run_result r = push(home.path, {"-c", "  host1.dump -t 3"}, "x");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "written to " + home.path + CLIENT_DIR + "  host1.dump\n");
    EXPECT_EQ(read_file(home.path + CLIENT_DIR + "  host1.dump"), "x");
}

// 0xA0 is a no-break space in Latin-1, but never a separator, whatever
// locale the environment names.
TEST(CommandWords, HighBytesNeverSeparateInAnyLocale)
{
    for (const char *locale : {"C", "C.UTF-8", "en_US.ISO-8859-1"}) {
        temp_dir home;
        make_dirs(home.path + CLIENT_DIR);
        std::string lang = std::string("LANG=") + locale;
        std::string all = std::string("LC_ALL=") + locale;
        run_result r =
            push(home.path, {"-c", "a\xa0" "b -t 2"}, "x", {lang, all});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out,
                  "written to " + home.path + CLIENT_DIR + "a\xa0" "b\n");
    }
}

struct blank_case {
    const char *name;
    std::string command;
};

class BlankCommand : public ::testing::TestWithParam<blank_case> {};

// A blank command has no words: the destination word is the operand as
// it stands, whose last component is the command itself.
TEST_P(BlankCommand, KeepsTheOperandUnchanged)
{
    temp_dir home;
    make_dirs(home.path + CLIENT_DIR);
    run_result r = push(home.path, {"-c", GetParam().command}, "x");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "written to " + home.path + CLIENT_DIR +
                         GetParam().command + "\n");
}

INSTANTIATE_TEST_SUITE_P(CommandWords, BlankCommand,
                         ::testing::Values(blank_case{"space", " "},
                                           blank_case{"blanks", "   "},
                                           blank_case{"tab", "\t"}),
                         [](const ::testing::TestParamInfo<blank_case> &i) {
                             return std::string(i.param.name);
                         });

// Shell syntax in the command is only text: nothing runs.
TEST(CommandWords, ShellSyntaxRunsNothing)
{
    temp_dir home;
    make_dirs(home.path + CLIENT_DIR);
    std::string marker = home.path + "/ran";
    for (const std::string &cmd :
         {"a;touch " + marker, "$(touch " + marker + ")",
          "`touch " + marker + "`", "a|touch " + marker}) {
        run_result r = push(home.path, {"-c", cmd}, "x");
        EXPECT_EQ(r.status, 0) << cmd;
        EXPECT_FALSE(exists(marker)) << cmd;
    }
}

}  // namespace
