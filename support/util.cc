#include "support/util.h"

#include "support/compat.h"
#include "support/log.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

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
