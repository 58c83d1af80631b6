// rotate_generations on a scratch directory, in-process.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>

#include "harness.hpp"
#include "limits.hpp"
#include "store/rotation.hpp"

namespace {

// Generation k of "B" is the file "B.k"; generation 0 is "B" itself.
std::string gen_name(int k)
{
    return k == 0 ? "B" : "B." + std::to_string(k);
}

struct rotation_case {
    const char *name;
    int keep;
    std::vector<int> before;   // each file holds its own number
    // after rotation: generation -> the number of the file now there
    std::map<int, int> after;
};

class Rotation : public ::testing::TestWithParam<rotation_case> {};

TEST_P(Rotation, WorkedExample)
{
    const rotation_case &c = GetParam();
    temp_dir dir;
    for (int k : c.before)
        write_file(dir.path + "/" + gen_name(k), std::to_string(k), 0400);

    char target[PATH_BUF];
    work_area work;
    snprintf(target, sizeof target, "%s/B", dir.path.c_str());
    rotate_generations(dir.path.c_str(), "B", c.keep, target, work.name);

    EXPECT_EQ(std::string(target), dir.path + "/B");
    std::vector<std::string> expected;
    for (const auto &[k, content] : c.after) {
        expected.push_back(gen_name(k));
        EXPECT_EQ(read_file(dir.path + "/" + gen_name(k)),
                  std::to_string(content))
            << gen_name(k);
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(list_dir(dir.path), expected);
}

std::vector<int> range(int from, int to)
{
    std::vector<int> v;
    for (int k = from; k <= to; k++)
        v.push_back(k);
    return v;
}

std::map<int, int> shifted_twelve()
{
    // B .. B.8 move up one; B.9 (the old B.8) replaces the old B.9;
    // B.10 .. B.12 are beyond the keep count and never touched.
    std::map<int, int> m;
    for (int k = 1; k <= 9; k++)
        m[k] = k - 1;
    for (int k = 10; k <= 12; k++)
        m[k] = k;
    return m;
}

INSTANTIATE_TEST_SUITE_P(
    Rotation, Rotation,
    ::testing::Values(
        rotation_case{"first_backup", 10, {}, {}},
        rotation_case{"one_previous", 10, {0}, {{1, 0}}},
        rotation_case{"three_present", 10, {0, 1, 2},
                      {{1, 0}, {2, 1}, {3, 2}}},
        rotation_case{"beyond_keep_untouched", 10, range(0, 12),
                      shifted_twelve()},
        rotation_case{"keep3_full", 3, {0, 1, 2}, {{1, 0}, {2, 1}}},
        rotation_case{"keep3_only_target", 3, {0}, {{1, 0}}},
        rotation_case{"keep2_unprobed", 2, {0, 1}, {{1, 0}}},
        rotation_case{"keep2_nothing", 2, {}, {}},
        rotation_case{"keep1_removes", 1, {0, 1}, {{1, 1}}},
        rotation_case{"keep0_removes", 0, {0, 1}, {{1, 1}}},
        rotation_case{"negative_removes", -5, {0, 1}, {{1, 1}}},
        // A gap stops the shift: generation 3 stays as it is.
        rotation_case{"gap", 10, {0, 1, 3}, {{1, 0}, {2, 1}, {3, 3}}},
        // Keep lowered to 3: generations 3 and up stay forever.
        rotation_case{"lowered_keep", 3, range(0, 9),
                      {{1, 0}, {2, 1}, {3, 3}, {4, 4}, {5, 5}, {6, 6},
                       {7, 7}, {8, 8}, {9, 9}}},
        // Plain decimal numbers: generation 10 is "B.10".
        rotation_case{"two_digit", 12, range(0, 10),
                      {{1, 0}, {2, 1}, {3, 2}, {4, 3}, {5, 4}, {6, 5},
                       {7, 6}, {8, 7}, {9, 8}, {10, 9}, {11, 10}}}),
    [](const ::testing::TestParamInfo<rotation_case> &i) {
        return std::string(i.param.name);
    });

// Names that do not fit the 1024-byte buffers are cut, never written
// beyond them; with a target of 1023 bytes every generation name is cut
// back to the target itself, so nothing moves.
TEST(Rotation, OverlongNamesStayInTheirBuffers)
{
    temp_dir dir;
    std::string sub = dir.path;
    while (sub.size() + 200 < PATH_BUF - 1) {
        sub += "/" + std::string(150, 'd');
        make_dirs(sub);
    }
    std::string file(PATH_BUF - 1 - sub.size() - 1, 'f');
    write_file(sub + "/" + file, "0");

    char target[PATH_BUF];
    work_area work;
    snprintf(target, sizeof target, "%s/%s", sub.c_str(), file.c_str());
    ASSERT_EQ(strlen(target), static_cast<size_t>(PATH_BUF - 1));
    rotate_generations(sub.c_str(), file.c_str(), 10, target, work.name);
    EXPECT_EQ(std::string(target), sub + "/" + file);
    EXPECT_EQ(list_dir(sub), std::vector<std::string>{file});
}

}  // namespace
