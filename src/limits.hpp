// Build-time constants of velk.  The numeric ones can be set from the
// build (for example -DVELK_BLOCK_SIZE=131072); the defaults are the values
// that stored backups and tapes already written rely on.
#ifndef VELK_LIMITS_HPP
#define VELK_LIMITS_HPP

#include <climits>

#ifndef VELK_KEEP_DEFAULT
#define VELK_KEEP_DEFAULT 10
#endif
#ifndef VELK_MAX_WORDS
#define VELK_MAX_WORDS 30
#endif
#ifndef VELK_PATH_BUF
#define VELK_PATH_BUF 1024
#endif
#ifndef VELK_BLOCK_SIZE
#define VELK_BLOCK_SIZE 1024
#endif
#ifndef VELK_WRITE_BACK_WINDOW
#define VELK_WRITE_BACK_WINDOW (8 * 1024 * 1024)
#endif

constexpr int KEEP_DEFAULT = VELK_KEEP_DEFAULT;
constexpr int MAX_WORDS = VELK_MAX_WORDS;
constexpr int PATH_BUF = VELK_PATH_BUF;
constexpr int BLOCK_SIZE = VELK_BLOCK_SIZE;
// A file target's stream is handed to write-back in windows of this many
// bytes while it arrives, and each window is dropped from the page cache
// once the next one is under way, so that the final fsync has at most
// two windows left to wait for.
constexpr long WRITE_BACK_WINDOW = VELK_WRITE_BACK_WINDOW;

constexpr const char *BACKUP_DIR = "incoming";
constexpr const char *DEFAULT_FILENAME = "backup.raw";

constexpr unsigned DIR_MODE = 0700;
constexpr unsigned FILE_MODE = 0400;

static_assert(KEEP_DEFAULT >= 1, "keep count must be positive");
static_assert(MAX_WORDS >= 1, "at least one command word");
static_assert(PATH_BUF > NAME_MAX, "path buffer too small for a file name");
static_assert(BLOCK_SIZE >= 1, "copy block must hold a byte");
static_assert(WRITE_BACK_WINDOW >= BLOCK_SIZE, "write-back window below a block");

// One area serves, one use after the other, as the word list, as the
// destination name of each rename and as the copy block; the uses never
// overlap in time, and the union is as large as the largest of them.
union work_area {
    char *words[MAX_WORDS + 1];
    char name[PATH_BUF];
    char block[BLOCK_SIZE];
};

#endif
