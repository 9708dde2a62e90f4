// Platform layer: the FreeBSD libc routines that glibc lacks, with FreeBSD's
// contracts. Each one is compiled only where the C library does not have it,
// so on FreeBSD (and on glibc 2.38 and later for strlcpy/strlcat) this header
// declares nothing of its own.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>

#ifndef HAVE_STRLCPY
// Copies at most size - 1 bytes and always NUL-terminates when size > 0.
// Returns strlen(src); a result >= size means the copy was cut.
size_t strlcpy(char *dst, const char *src, size_t size);
#endif

#ifndef HAVE_STRLCAT
// Appends src to the NUL-terminated dst within size bytes in all. Returns the
// length the whole text would have; a result >= size means it was cut.
size_t strlcat(char *dst, const char *src, size_t size);
#endif

#ifndef HAVE_STRTONUM
// Parses a base-10 integer within [minval, maxval]. On failure returns 0,
// sets errno and points *errstr at "invalid", "too small" or "too large";
// on success *errstr is null.
long long strtonum(const char *nptr, long long minval, long long maxval, const char **errstr);
#endif

#ifndef HAVE_GETPROGNAME
// The name the running program was started under, without its directory.
const char *getprogname(void);
#endif
