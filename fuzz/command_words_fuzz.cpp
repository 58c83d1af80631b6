// Fuzzes word splitting and the keep count.  The input is cut at zero
// bytes into operands, as argv would hand them over; the words must then
// be at most MAX_WORDS non-empty stretches free of separators, lying in
// order inside the operands, and the keep count must be the default or
// the value of a -t word.

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "command_words.hpp"
#include "limits.hpp"

static const int MAX_OPERANDS = 64;

static bool is_separator(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
           c == '\r';
}

static void check(bool ok)
{
    if (!ok)
        abort();
}

// The keep count must come from some -t: the first t of an option group
// takes the rest of its word as the argument, or the next word.
static bool keep_explained(int keep, int count, char **words)
{
    if (keep == KEEP_DEFAULT)
        return true;
    for (int i = 1; i < count; i++) {
        const char *t = words[i][0] == '-' ? strchr(words[i] + 1, 't')
                                           : nullptr;
        if (t == nullptr)
            continue;
        const char *arg = t[1] != '\0'       ? t + 1
                          : i + 1 < count ? words[i + 1]
                                          : nullptr;
        int value;
        if (arg != nullptr && parse_keep_count(arg, &value) == 0 &&
            value == keep)
            return true;
    }
    return false;
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

    int count = split_command_words(n, operands, work.words);
    check(count >= 0 && count <= MAX_WORDS);
    check(work.words[count] == nullptr);
    for (int i = 0; i < count; i++) {
        const char *w = work.words[i];
        check(w >= text && w < text + size && *w != '\0');
        for (const char *p = w; *p != '\0'; p++)
            check(!is_separator(*p));
        if (i > 0)
            check(w > work.words[i - 1]);
    }
    // Every operand still ends where it ended: splitting only writes
    // zero bytes inside it.
    for (int i = 0; i < n; i++)
        check(*ends[i] == '\0');

    int keep = read_keep_count(count, work.words);
    check(keep_explained(keep, count, work.words));

    int value;
    if (parse_keep_count(text, &value) == 0) {
        char *end;
        long long reference = strtoll(text, &end, 0);
        check(*end == '\0' && reference == value);
    }

    free(text);
    return 0;
}
