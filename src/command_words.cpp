#include "command_words.hpp"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "limits.hpp"

// The white space of the "C" locale, whatever locale the environment
// names: bytes 0x80 to 0xFF never separate words.
static bool is_separator(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
           c == '\r';
}

int split_command_words(int count, char **operands, char **words)
{
    int n = 0;

    for (int i = 0; i < count; i++) {
        char *p = operands[i];
        for (;;) {
            while (is_separator(*p))
                p++;
            if (*p == '\0')
                break;
            if (n == MAX_WORDS) {
                fprintf(stderr, "maximum argument count (%d) exceeded\n",
                        MAX_WORDS);
                break;
            }
            words[n++] = p;
            while (*p != '\0' && !is_separator(*p))
                p++;
            if (*p == '\0')
                break;
            *p++ = '\0';
        }
    }
    words[n] = nullptr;
    return n;
}

int parse_keep_count(const char *text, int *value)
{
    char *end;

    errno = 0;
    long v = strtol(text, &end, 0);
    if (end == text || *end != '\0' || errno == ERANGE || v < INT_MIN ||
        v > INT_MAX)
        return -1;
    *value = static_cast<int>(v);
    return 0;
}

int read_keep_count(int count, char **words)
{
    int keep = KEEP_DEFAULT;
    int c;

    // optind = 0 makes glibc forget everything of the earlier pass over
    // the real argument vector; "+" keeps the scan in order and stops it
    // at the first word that is not an option.
    optind = 0;
    while ((c = getopt(count, words, "+t:")) != -1) {
        if (c == 't') {
            if (parse_keep_count(optarg, &keep) < 0) {
                fprintf(stderr, "invalid numeric value: %s, ignoring\n",
                        optarg);
                keep = KEEP_DEFAULT;
            }
        } else {
            fprintf(stderr, "wrong argument: %c\n", c);
        }
    }
    return keep;
}
