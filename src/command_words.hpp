#ifndef VELK_COMMAND_WORDS_HPP
#define VELK_COMMAND_WORDS_HPP

// Splits the operands into at most MAX_WORDS words, in place: the
// separator after each word is overwritten with a zero byte.  words must
// have room for MAX_WORDS + 1 pointers; the list is ended by a null
// pointer.  Returns the word count.
int split_command_words(int count, char **operands, char **words);

// Reads the keep count from -t in the word list.  Word 0 is the
// destination word and is never scanned.
int read_keep_count(int count, char **words);

// The conversion that read_keep_count applies to the argument of -t:
// 0 and *value set when text is a whole number (decimal, 0x hexadecimal
// or 0 octal) within the range of int, -1 otherwise.
int parse_keep_count(const char *text, int *value);

#endif
