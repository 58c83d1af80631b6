// The outer option pass, the version report and the run as a whole.
#include <gtest/gtest.h>

#include "harness.hpp"

namespace {

const char VERSION_REPORT[] =
    "velk $Name: VELK_REL_1_7 $\n"
    "Compiled with:\n"
    "Static 10 backups maximum\n"
    "Regular to-file backups\n"
    "Default backup dir: incoming, default filename: backup.raw\n"
    "Written by the velk developers.\n";

struct option_case {
    const char *name;
    std::vector<std::string> args;
    bool version;           // the report is printed, status 1
    std::string warnings;   // "wrong argument" lines, in order
    std::string file;       // otherwise: the file stored
};

class OptionTable : public ::testing::TestWithParam<option_case> {};

TEST_P(OptionTable, OuterPass)
{
    const option_case &c = GetParam();
    temp_dir home;
    run_spec s;
    s.args = c.args;
    s.env = ssh_env(home.path);
    s.input = "data";
    run_result r = run_velk(s);

    EXPECT_EQ(lines_starting_with(r.err, {"wrong argument: "}), c.warnings);

    std::string dir = home.path + "/incoming/10.0.0.5";
    if (c.version) {
        EXPECT_EQ(r.out, VERSION_REPORT);
        EXPECT_EQ(r.status, 1);
        EXPECT_FALSE(exists(home.path + "/incoming"));
    } else {
        EXPECT_EQ(r.out, "written to " + dir + "/" + c.file + "\n");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(read_file(dir + "/" + c.file), "data");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Invocation, OptionTable,
    ::testing::Values(
        option_case{"version", {"-V"}, true, "", ""},
        option_case{"c_then_version", {"-c", "-V"}, true, "", ""},
        option_case{"group_cV", {"-cV"}, true, "", ""},
        option_case{"warning_before_version", {"-h", "-V", "-x"}, true,
                    "wrong argument: h\n", ""},
        option_case{"h_warns", {"-h", "host1.dump"}, false,
                    "wrong argument: h\n", "host1.dump"},
        option_case{"question_mark", {"-?", "host1.dump"}, false,
                    "wrong argument: ?\n", "host1.dump"},
        option_case{"unknown_letter", {"-x", "host1.dump"}, false,
                    "wrong argument: ?\n", "host1.dump"},
        option_case{"c_with_command", {"-c", "host1.dump"}, false, "",
                    "host1.dump"},
        // Scanning stops at the first operand: -V is the client's, which
        // the scan of the command words does not know.
        option_case{"version_after_operand", {"host1.dump", "-V"}, false,
                    "wrong argument: ?\n", "host1.dump"},
        option_case{"double_dash", {"--", "-V"}, false, "", "-V"},
        option_case{"no_arguments", {}, false, "", "backup.raw"}),
    [](const ::testing::TestParamInfo<option_case> &i) {
        return std::string(i.param.name);
    });

// A command string that begins with "-" follows -c as an argument of its
// own and is scanned as an option group: one warning per byte after the
// dash, and no operand is left.
TEST(Invocation, CommandStringScannedAsOptionGroup)
{
    temp_dir home;
    run_spec s;
    s.args = {"-c", "-t 5 x"};
    s.env = ssh_env(home.path);
    run_result r = run_velk(s);
    std::string expected;
    for (int i = 0; i < 5; i++)
        expected += "wrong argument: ?\n";
    EXPECT_EQ(lines_starting_with(r.err, {"wrong argument: "}), expected);
    // Each warning follows the scanner's own diagnostic for its byte.
    EXPECT_EQ(lines_starting_with(r.err, {"velk: "}),
              "velk: invalid option -- 't'\n"
              "velk: invalid option -- ' '\n"
              "velk: invalid option -- '5'\n"
              "velk: invalid option -- ' '\n"
              "velk: invalid option -- 'x'\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(exists(home.path + "/incoming/10.0.0.5/backup.raw"));
}

TEST(Invocation, LoginShellNameIsNeverScanned)
{
    temp_dir home;
    run_spec s;
    s.argv0 = "-V";
    s.env = ssh_env(home.path);
    make_dirs(home.path + "/incoming/10.0.0.5");
    s.input = "x";
    run_result r = run_velk(s);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "written to " + home.path + "/incoming/10.0.0.5/backup.raw\n");
}

TEST(Invocation, LoginWithoutCommandStoresDefaultName)
{
    temp_dir home;
    run_spec s;
    s.argv0 = "-velk";
    s.env = ssh_env(home.path);
    s.input = pattern(5000);
    run_result r = run_velk(s);
    std::string target = home.path + "/incoming/10.0.0.5/backup.raw";
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "written to " + target + "\n");
    EXPECT_EQ(read_file(target), s.input);
    EXPECT_EQ(file_mode(target), 0400u);
    EXPECT_EQ(file_mode(home.path + "/incoming/10.0.0.5"), 0700u);
    EXPECT_EQ(file_mode(home.path + "/incoming"), 0700u);
}

}  // namespace
