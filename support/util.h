// Allocation wrappers that end the process instead of returning null, two
// in-place text routines and the one escaping rule for untrusted text.
//
// On exhaustion each wrapper logs one warning naming its caller (`who`) and
// then dies with "exiting". Blocks belong to the caller, released with free().
#pragma once

#include <cstddef>

[[nodiscard]] void *malloc_or_die(size_t size, const char *who);
[[nodiscard]] void *calloc_or_die(size_t count, size_t size, const char *who);
[[nodiscard]] char *strdup_or_die(const char *text, const char *who);
[[nodiscard]] void *memdup_or_die(const void *src, size_t size, const char *who);

// Cuts trailing white space in place and returns a pointer past the leading
// white space. White space is that of isspace() in the C locale.
char *trim_spaces(char *text);

// Copies src into dst and lowers it. Returns 1 when all of src fitted; 0 when
// size is 0 (dst untouched) or src was cut (dst holds the cut, unlowered copy).
int copy_lowercase(char *dst, const char *src, size_t size);

// Writes the len bytes of text into out (cap bytes, NUL included) as text
// that is safe on one line of a log or a terminal: valid UTF-8 passes
// unchanged, so that addresses in any script stay readable; a line feed
// and a tab become \n and \t; bytes below 0x20, 0x7f, C1 controls (raw,
// or UTF-8 encoded U+0080 to U+009F) and bytes that are not valid UTF-8
// become \xNN. An escape or a character is never split. Returns how many
// bytes of text fitted.
size_t escape_text(const char *text, size_t len, char *out, size_t cap);

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
// the first file or socket opened later cannot become one of them (a log
// record would then go into a database connection). Call first in main.
void sane_descriptors();
