// The BSD calls glibc lacks, with their contracts; see compat.h.
#include "support/compat.h"

#include <cerrno>
#include <climits>

#ifndef HAVE_STRLCPY
size_t strlcpy(char *dst, const char *src, size_t size) {
    size_t len = strlen(src);
    if (size > 0) {
        size_t n = len < size - 1 ? len : size - 1;
        memcpy(dst, src, n);
        dst[n] = '\0';
    }
    return len;
}
#endif

#ifndef HAVE_STRLCAT
size_t strlcat(char *dst, const char *src, size_t size) {
    // Never read past size bytes of dst: an unterminated dst counts as full.
    size_t used = strnlen(dst, size);
    if (used == size)
        return size + strlen(src);
    return used + strlcpy(dst + used, src, size - used);
}
#endif

#ifndef HAVE_STRTONUM
long long strtonum(const char *nptr, long long minval, long long maxval, const char **errstr) {
    const char *error = nullptr;
    long long value = 0;
    int saved = errno;

    errno = 0;
    if (minval > maxval) {
        error = "invalid";
        errno = EINVAL;
    } else {
        char *end = nullptr;
        value = strtoll(nptr, &end, 10);
        if (end == nptr || *end != '\0') {
            error = "invalid";
            errno = EINVAL;
        } else if ((value == LLONG_MIN && errno == ERANGE) || value < minval) {
            error = "too small";
            errno = ERANGE;
        } else if ((value == LLONG_MAX && errno == ERANGE) || value > maxval) {
            error = "too large";
            errno = ERANGE;
        }
    }
    if (errstr != nullptr)
        *errstr = error;
    if (error != nullptr)
        return 0;
    errno = saved;
    return value;
}
#endif

#ifndef HAVE_GETPROGNAME
const char *getprogname(void) {
    return program_invocation_short_name;
}
#endif
