// Text helpers and allocation that ends the process on exhaustion; see
// util.h.
#include "support/util.h"

#include "support/compat.h"
#include "support/log.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

void *malloc_or_die(size_t size, const char *who) {
    void *p = malloc(size);
    if (p == nullptr) {
        warn_msg("%s: malloc(%zu)", who, size);
        die_msg("exiting");
    }
    return p;
}

void *calloc_or_die(size_t count, size_t size, const char *who) {
    // calloc itself rejects a count * size that overflows.
    void *p = calloc(count, size);
    if (p == nullptr) {
        warn_msg("%s: calloc(%zu, %zu)", who, count, size);
        die_msg("exiting");
    }
    return p;
}

char *strdup_or_die(const char *text, const char *who) {
    char *p = strdup(text);
    if (p == nullptr) {
        warn_msg("%s: strdup(%p)", who, static_cast<const void *>(text));
        die_msg("exiting");
    }
    return p;
}

void *memdup_or_die(const void *src, size_t size, const char *who) {
    void *p = malloc(size);
    if (p == nullptr) {
        warn_msg("%s: malloc(%zu)", who, size);
        die_msg("exiting");
    }
    memcpy(p, src, size);
    return p;
}

char *trim_spaces(char *text) {
    // isspace() takes an unsigned char value; plain char may be signed.
    while (isspace(static_cast<unsigned char>(*text)))
        text++;
    size_t len = strlen(text);
    while (len > 0 && isspace(static_cast<unsigned char>(text[len - 1])))
        text[--len] = '\0';
    return text;
}

int copy_lowercase(char *dst, const char *src, size_t size) {
    if (size == 0)
        return 0;
    if (strlcpy(dst, src, size) >= size)
        return 0;
    for (char *p = dst; *p != '\0'; p++)
        *p = static_cast<char>(tolower(static_cast<unsigned char>(*p)));
    return 1;
}

namespace {

// The length of the valid UTF-8 character at s (n bytes left), or 0 when s
// starts no valid character; C1 controls count as invalid here.
size_t utf8_length(const unsigned char *s, size_t n) {
    unsigned char c = s[0];
    auto cont = [&](size_t i, unsigned char lo, unsigned char hi) {
        return i < n && s[i] >= lo && s[i] <= hi;
    };
    if (c >= 0xc2 && c <= 0xdf)
        return cont(1, c == 0xc2 ? 0xa0 : 0x80, 0xbf) ? 2 : 0;
    if (c >= 0xe0 && c <= 0xef)
        return cont(1, c == 0xe0 ? 0xa0 : 0x80, c == 0xed ? 0x9f : 0xbf) && cont(2, 0x80, 0xbf) ? 3
                                                                                                : 0;
    if (c >= 0xf0 && c <= 0xf4)
        return cont(1, c == 0xf0 ? 0x90 : 0x80, c == 0xf4 ? 0x8f : 0xbf) && cont(2, 0x80, 0xbf) &&
                       cont(3, 0x80, 0xbf)
                   ? 4
                   : 0;
    return 0;
}

} // namespace

size_t escape_text(const char *text, size_t len, char *out, size_t cap) {
    const auto *s = reinterpret_cast<const unsigned char *>(text);
    size_t i = 0, o = 0;
    while (i < len && cap > 0) {
        unsigned char c = s[i];
        char esc[5];
        size_t in = 1, w = 1;
        if (c == '\n' || c == '\t') {
            esc[0] = '\\';
            esc[1] = c == '\n' ? 'n' : 't';
            w = 2;
        } else if (c >= 0x20 && c < 0x7f) {
            esc[0] = static_cast<char>(c);
        } else if (c >= 0x80 && (in = utf8_length(s + i, len - i)) > 0) {
            w = 0;
        } else {
            in = 1;
            snprintf(esc, sizeof esc, "\\x%02x", c);
            w = 4;
        }
        size_t need = w > 0 ? w : in;
        if (o + need + 1 > cap)
            break;
        memcpy(out + o, w > 0 ? esc : text + i, need);
        o += need;
        i += in;
    }
    if (cap > 0)
        out[o] = '\0';
    return i;
}

void sane_descriptors() {
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // open returns the lowest free descriptor, which is fd itself.
        int null = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
}
