// Allocation wrappers that end the process instead of returning null, and two
// in-place text routines.
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
