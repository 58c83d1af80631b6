// Word splitting and the keep count, in-process.
#include <gtest/gtest.h>

#include <unistd.h>

#include "command_words.hpp"
#include "harness.hpp"
#include "limits.hpp"

namespace {

struct split_case {
    const char *name;
    std::vector<std::string> operands;
    std::vector<std::string> words;
    std::string warnings;
};

class Split : public ::testing::TestWithParam<split_case> {};

TEST_P(Split, Words)
{
    const split_case &c = GetParam();
    std::vector<std::string> storage = c.operands;
    std::vector<char *> operands;
    for (std::string &s : storage)
        operands.push_back(s.data());
    work_area work;

    ::testing::internal::CaptureStderr();
    int n = split_command_words(static_cast<int>(operands.size()),
                                operands.data(), work.words);
    std::string err = ::testing::internal::GetCapturedStderr();

    std::vector<std::string> words(work.words, work.words + n);
    EXPECT_EQ(words, c.words);
    EXPECT_EQ(work.words[n], nullptr);
    EXPECT_EQ(err, c.warnings);
}

std::string many_words(int n)
{
    std::string s;
    for (int i = 0; i < n; i++)
        s += "w" + std::to_string(i) + " ";
    return s;
}

std::vector<std::string> word_list(int n)
{
    std::vector<std::string> v;
    for (int i = 0; i < n; i++)
        v.push_back("w" + std::to_string(i));
    return v;
}

const std::string LIMIT = "maximum argument count (30) exceeded\n";

INSTANTIATE_TEST_SUITE_P(
    CommandWords, Split,
    ::testing::Values(
        split_case{"typical", {"host1.dump -t 5"}, {"host1.dump", "-t", "5"}, ""},
        split_case{"all_six_separators", {" \ta\nb\vc\fd\re "},
                   {"a", "b", "c", "d", "e"}, ""},
        split_case{"runs_of_blanks", {"  a   b  "}, {"a", "b"}, ""},
        split_case{"high_bytes_are_not_blanks", {"a\xa0" "b\x85" "c \xff"},
                   {"a\xa0" "b\x85" "c", "\xff"}, ""},
        split_case{"no_quoting", {"'a b' \"c\\ d\""},
                   {"'a", "b'", "\"c\\", "d\""}, ""},
        split_case{"shell_syntax_is_text", {"a;touch X $(id) `id` |"},
                   {"a;touch", "X", "$(id)", "`id`", "|"}, ""},
        split_case{"empty", {""}, {}, ""},
        split_case{"blanks_only", {" \t\n "}, {}, ""},
        split_case{"two_operands", {"host1.dump", "-t 3"},
                   {"host1.dump", "-t", "3"}, ""},
        split_case{"empty_operand_between", {"a", "", "b"}, {"a", "b"}, ""},
        split_case{"exactly_thirty", {many_words(30)}, word_list(30), ""},
        split_case{"thirty_one", {many_words(31)}, word_list(30), LIMIT},
        split_case{"far_too_many", {many_words(100)}, word_list(30), LIMIT},
        // Once the list is full, every operand that still holds a word
        // warns once; blank operands do not.
        split_case{"full_then_operands", {many_words(30), "x y", " ", "z"},
                   word_list(30), LIMIT + LIMIT}),
    [](const ::testing::TestParamInfo<split_case> &i) {
        return std::string(i.param.name);
    });

TEST(CommandWords, SplittingEndsWordsInPlace)
{
    char op[] = "  host1.dump -t 3";
    char *operands[] = {op};
    work_area work;
    int n = split_command_words(1, operands, work.words);
    ASSERT_EQ(n, 3);
    EXPECT_EQ(work.words[0], op + 2);
    EXPECT_STREQ(op, "  host1.dump");   // what the driver then reads
}

struct keep_case {
    const char *name;
    std::vector<std::string> words;   // word 0 is the destination word
    int keep;
    std::string warnings;   // the driver's lines; the scanner adds its own
};

class KeepCount : public ::testing::TestWithParam<keep_case> {};

TEST_P(KeepCount, FromWords)
{
    const keep_case &c = GetParam();
    std::vector<std::string> storage = c.words;
    work_area work;
    for (size_t i = 0; i < storage.size(); i++)
        work.words[i] = storage[i].data();
    work.words[storage.size()] = nullptr;

    ::testing::internal::CaptureStderr();
    int keep = read_keep_count(static_cast<int>(storage.size()), work.words);
    std::string err = ::testing::internal::GetCapturedStderr();

    EXPECT_EQ(keep, c.keep);
    EXPECT_EQ(lines_starting_with(
                  err, {"wrong argument: ", "invalid numeric value: "}),
              c.warnings);
    // The vector is never reordered.
    for (size_t i = 0; i < storage.size(); i++)
        EXPECT_EQ(work.words[i], storage[i].data());
}

const std::string BAD = "wrong argument: ?\n";

INSTANTIATE_TEST_SUITE_P(
    CommandWords, KeepCount,
    ::testing::Values(
        keep_case{"none", {"host1.dump"}, 10, ""},
        keep_case{"no_words", {}, 10, ""},
        keep_case{"separate", {"h", "-t", "5"}, 5, ""},
        keep_case{"attached", {"h", "-t5"}, 5, ""},
        keep_case{"hex", {"h", "-t", "0x0A"}, 10, ""},
        keep_case{"hex_upper", {"h", "-t", "0XF"}, 15, ""},
        keep_case{"octal", {"h", "-t", "010"}, 8, ""},
        keep_case{"bad_octal", {"h", "-t", "08"}, 10,
                  "invalid numeric value: 08, ignoring\n"},
        keep_case{"plus", {"h", "-t", "+4"}, 4, ""},
        keep_case{"negative", {"h", "-t", "-1"}, -1, ""},
        keep_case{"zero", {"h", "-t", "0"}, 0, ""},
        keep_case{"trailing_junk", {"h", "-t", "5x"}, 10,
                  "invalid numeric value: 5x, ignoring\n"},
        keep_case{"bad_resets_to_default", {"h", "-t", "3", "-t", "x"}, 10,
                  "invalid numeric value: x, ignoring\n"},
        keep_case{"later_wins", {"h", "-t", "x", "-t", "3"}, 3,
                  "invalid numeric value: x, ignoring\n"},
        keep_case{"stops_at_operand", {"h", "extra", "-t", "5"}, 10, ""},
        keep_case{"stops_after_dashes", {"h", "--", "-t", "5"}, 10, ""},
        keep_case{"missing_argument", {"h", "-t"}, 10, BAD},
        keep_case{"unknown_letter", {"h", "-x", "-t", "4"}, 4, BAD},
        keep_case{"word0_not_scanned", {"-t", "7"}, 10, ""},
        keep_case{"int_max", {"h", "-t", "2147483647"}, 2147483647, ""},
        keep_case{"int_min", {"h", "-t", "-2147483648"}, -2147483647 - 1, ""},
        // Out of range for 32 bits: 4294967298 must not become 2.
        keep_case{"wraps_to_two", {"h", "-t", "4294967298"}, 10,
                  "invalid numeric value: 4294967298, ignoring\n"},
        keep_case{"above_int_max", {"h", "-t", "2147483648"}, 10,
                  "invalid numeric value: 2147483648, ignoring\n"},
        keep_case{"below_int_min", {"h", "-t", "-2147483649"}, 10,
                  "invalid numeric value: -2147483649, ignoring\n"},
        keep_case{"beyond_long", {"h", "-t", "99999999999999999999999"}, 10,
                  "invalid numeric value: 99999999999999999999999, ignoring\n"}),
    [](const ::testing::TestParamInfo<keep_case> &i) {
        return std::string(i.param.name);
    });

// The outer pass leaves the scanner in the middle of an option group of
// another vector; the inner pass must not carry any of that over.
TEST(CommandWords, InnerPassStartsFromFreshScanner)
{
    std::string o0 = "velk", o1 = "-ch", o2 = "x";
    char *outer[] = {o0.data(), o1.data(), o2.data(), nullptr};
    optind = 0;
    ASSERT_EQ(getopt(3, outer, "+chV?"), 'c');

    std::string w0 = "h", w1 = "-t", w2 = "4";
    char *words[] = {w0.data(), w1.data(), w2.data(), nullptr};
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(read_keep_count(3, words), 4);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

}  // namespace
