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
    std::string argv0;   // sshd starts a login shell as "-velk"
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
    std::string dir = home.path + "/incoming/10.0.0.5";
    make_dirs(dir, 0700);
    run_spec s;
    s.argv0 = c.argv0;
    s.args = c.args;
    s.env = ssh_env(home.path);
    s.input = pattern(5000);
    run_result r = run_velk(s);

    // The program name is never scanned: nothing but the options' own
    // warnings and the scanner's diagnostics reach stderr.
    EXPECT_EQ(lines_starting_with(r.err, {"wrong argument: "}), c.warnings);
    EXPECT_EQ(r.err.empty(), c.warnings.empty()) << r.err;

    if (c.version) {
        EXPECT_EQ(r.out, VERSION_REPORT);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(list_dir(dir).empty());
    } else {
        EXPECT_EQ(r.out, "written to " + dir + "/" + c.file + "\n");
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(read_file(dir + "/" + c.file) == s.input);
        EXPECT_EQ(file_mode(dir + "/" + c.file), 0400u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Invocation, OptionTable,
    ::testing::Values(
        option_case{"version", "velk", {"-V"}, true, "", ""},
        option_case{"c_then_version", "velk", {"-c", "-V"}, true, "", ""},
        option_case{"group_cV", "velk", {"-cV"}, true, "", ""},
        option_case{"warning_before_version", "velk", {"-h", "-V", "-x"}, true,
                    "wrong argument: h\n", ""},
        option_case{"h_warns", "velk", {"-h", "host1.dump"}, false,
                    "wrong argument: h\n", "host1.dump"},
        option_case{"question_mark", "velk", {"-?", "host1.dump"}, false,
                    "wrong argument: ?\n", "host1.dump"},
        option_case{"unknown_letter", "velk", {"-x", "host1.dump"}, false,
                    "wrong argument: ?\n", "host1.dump"},
        option_case{"c_with_command", "velk", {"-c", "host1.dump"}, false, "",
                    "host1.dump"},
        // Scanning stops at the first operand: -V is the client's, which
        // the scan of the command words does not know.
        option_case{"version_after_operand", "velk", {"host1.dump", "-V"}, false,
                    "wrong argument: ?\n", "host1.dump"},
        option_case{"double_dash", "velk", {"--", "-V"}, false, "", "-V"},
        option_case{"no_arguments", "velk", {}, false, "", "backup.raw"},
        option_case{"login_without_command", "-velk", {}, false, "",
                    "backup.raw"},
        option_case{"login_name_like_an_option", "-V", {}, false, "",
                    "backup.raw"}),
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

}  // namespace
