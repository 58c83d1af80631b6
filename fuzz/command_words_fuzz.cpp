// Fuzzes word splitting and the keep count, checked against what they
// must be, worked out here without velk's own routines.  The input is
// cut at zero bytes into operands, as argv would hand them over.  The
// words must be the maximal stretches of bytes other than the C locale's
// white space, in order, at most MAX_WORDS of them, lying in place inside
// the operands; the keep count must be what the last -t of the leading
// options (the scan stops at the first word that is not one) gives.

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "command_words.hpp"
#include "limits.hpp"

static const int MAX_OPERANDS = 64;
static const char WHITE_SPACE[] = " \t\n\v\f\r";

static void check(bool ok)
{
    if (!ok)
        abort();
}

static std::vector<std::string> expected_words(const std::string &text)
{
    std::vector<std::string> words;
    size_t start = 0;
    // The operands are separated by zero bytes, which end words too.
    std::string breaks(WHITE_SPACE, sizeof WHITE_SPACE - 1);
    breaks += '\0';
    while ((start = text.find_first_not_of(breaks, start)) !=
           std::string::npos) {
        size_t end = text.find_first_of(breaks, start);
        if (end == std::string::npos)
            end = text.size();
        words.push_back(text.substr(start, end - start));
        start = end;
    }
    if (words.size() > static_cast<size_t>(MAX_WORDS))
        words.resize(MAX_WORDS);
    return words;
}

// A whole number in C's notation (decimal, 0x hexadecimal, 0 octal, with
// an optional sign) within the range of int; false otherwise.
static bool whole_number(const std::string &text, int *value)
{
    if (text.empty())
        return false;
    char *end;
    errno = 0;
    long long v = strtoll(text.c_str(), &end, 0);
    if (*end != '\0' || errno == ERANGE || v < INT_MIN || v > INT_MAX)
        return false;
    *value = static_cast<int>(v);
    return true;
}

// The scan of the options that follow the destination word: an option
// word is "-" and at least one byte, and not "--"; in one, the first t
// takes the rest of the word as its value, or the next word; every other
// byte is an unknown option.  An invalid value gives the default again.
static int expected_keep(const std::vector<std::string> &words)
{
    int keep = KEEP_DEFAULT;
    for (size_t i = 1; i < words.size(); i++) {
        const std::string &w = words[i];
        if (w.size() < 2 || w[0] != '-' || w == "--")
            break;
        size_t t = w.find('t', 1);
        if (t == std::string::npos)
            continue;
        std::string value;
        if (t + 1 < w.size())
            value = w.substr(t + 1);
        else if (i + 1 < words.size())
            value = words[++i];
        else
            break;   // -t without a value: a warning, the count stays
        if (!whole_number(value, &keep))
            keep = KEEP_DEFAULT;
    }
    return keep;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static work_area work;

    // Exactly the input plus a terminator, so that any read past an
    // operand's end is caught.
    char *text = static_cast<char *>(malloc(size + 1));
    memcpy(text, data, size);
    text[size] = '\0';

    char *operands[MAX_OPERANDS];
    char *ends[MAX_OPERANDS];
    int n = 0;
    for (char *p = text; n < MAX_OPERANDS;) {
        operands[n] = p;
        p += strlen(p);
        ends[n++] = p;
        if (p == text + size)
            break;
        p++;
    }
    // Only the operands that fit in the list count.
    std::string given(text, static_cast<size_t>(ends[n - 1] - text));
    std::vector<std::string> expected = expected_words(given);

    int count = split_command_words(n, operands, work.words);
    check(count == static_cast<int>(expected.size()));
    check(work.words[count] == nullptr);
    for (int i = 0; i < count; i++) {
        const char *w = work.words[i];
        check(w >= text && w < text + size);
        check(expected[static_cast<size_t>(i)] == w);
        if (i > 0)
            check(w > work.words[i - 1]);
    }
    // Every operand still ends where it ended: splitting only writes
    // zero bytes inside it.
    for (int i = 0; i < n; i++)
        check(*ends[i] == '\0');

    check(read_keep_count(count, work.words) == expected_keep(expected));

    free(text);
    return 0;
}
