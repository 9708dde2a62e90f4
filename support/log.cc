#include "support/log.h"

#include "support/compat.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <syslog.h>
#include <unistd.h>

namespace {
int32_t log_foreground;
int32_t log_verbosity;
char fatal_buf[1024];

// A record's text is cut here, marker included: one junk line of a
// configuration file must not become a megabyte of log.
constexpr size_t RECORD_MAX = 2048;
constexpr char CUT_MARKER[] = "...[cut]";

// Formats one record into out as a single line: trailing line feeds (libpq
// ends its messages with one) are dropped, inner line feeds and tabs become
// \n and \t, other control bytes \xHH, and an overlong record is cut with
// a marker. Never consumes ap.
[[gnu::format(printf, 1, 0)]] void format_record(const char *fmt, va_list ap,
                                                 char (&out)[RECORD_MAX]) {
    char raw[RECORD_MAX];
    va_list copy;
    va_copy(copy, ap);
    int len = vsnprintf(raw, sizeof raw, fmt, copy);
    va_end(copy);
    if (len < 0)
        len = 0;
    bool cut = static_cast<size_t>(len) >= sizeof raw;
    size_t n = cut ? sizeof raw - 1 : static_cast<size_t>(len);
    while (!cut && n > 0 && raw[n - 1] == '\n')
        n--;

    constexpr size_t room = RECORD_MAX - sizeof CUT_MARKER;
    size_t o = 0;
    for (size_t i = 0; i < n; i++) {
        auto c = static_cast<unsigned char>(raw[i]);
        char esc[5] = {static_cast<char>(c), '\0'};
        if (c == '\n')
            memcpy(esc, "\\n", 3);
        else if (c == '\t')
            memcpy(esc, "\\t", 3);
        else if (c < 0x20 || c == 0x7f)
            snprintf(esc, sizeof esc, "\\x%02x", c);
        size_t w = strlen(esc);
        if (o + w > room) {
            cut = true;
            break;
        }
        memcpy(out + o, esc, w);
        o += w;
    }
    out[o] = '\0';
    if (cut)
        (void)strlcat(out, CUT_MARKER, RECORD_MAX);
}

// Formats into a new heap string without consuming ap; null when the memory
// cannot be had.
[[gnu::format(printf, 1, 0)]] char *format_message(const char *fmt, va_list ap) {
    char *msg = nullptr;
    va_list copy;
    va_copy(copy, ap);
    int len = vasprintf(&msg, fmt, copy);
    va_end(copy);
    return len >= 0 ? msg : nullptr;
}
} // namespace

void log_setup(int32_t foreground) {
    log_foreground = foreground;
    if (foreground == 0)
        openlog(getprogname(), LOG_PID | LOG_NDELAY, LOG_MAIL);
    tzset();
}

void log_set_verbosity(int32_t mask) {
    log_verbosity = mask;
}

void log_emit(int priority, const char *fmt, va_list ap) {
    char record[RECORD_MAX];
    format_record(fmt, ap, record);
    if (log_foreground == 0) {
        syslog(priority, "%s", record);
        return;
    }
    // One formatted write per line keeps lines from interleaving with other
    // writers of the same stream.
    fprintf(stderr, "%s[%u]: %s\n", getprogname(), static_cast<unsigned>(getpid()), record);
    fflush(stderr);
}

void log_printf(int priority, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log_emit(priority, fmt, ap);
    va_end(ap);
}

void warn_msg(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log_emit(LOG_CRIT, fmt, ap);
    va_end(ap);
}

void warn_sys(const char *fmt, ...) {
    int saved = errno;
    if (fmt == nullptr) {
        log_printf(LOG_CRIT, "%s", strerror(saved));
        return;
    }
    va_list ap;
    va_start(ap, fmt);
    char *msg = format_message(fmt, ap);
    if (msg != nullptr) {
        log_printf(LOG_CRIT, "%s: %s", msg, strerror(saved));
        free(msg);
    } else {
        log_emit(LOG_CRIT, fmt, ap);
        log_printf(LOG_CRIT, "%s", strerror(errno));
    }
    va_end(ap);
}

void info_msg(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log_emit(LOG_INFO, fmt, ap);
    va_end(ap);
}

void debug_msg(const char *fmt, ...) {
    if ((log_verbosity & 1) == 0)
        return;
    va_list ap;
    va_start(ap, fmt);
    log_emit(LOG_DEBUG, fmt, ap);
    va_end(ap);
}

void trace_msg(int32_t mask, const char *fmt, ...) {
    if ((log_verbosity & mask) == 0)
        return;
    va_list ap;
    va_start(ap, fmt);
    log_emit(LOG_DEBUG, fmt, ap);
    va_end(ap);
}

void log_fatal(const char *fmt, va_list ap) {
    int saved = errno;
    if (fmt != nullptr) {
        // A message that fills the buffer leaves no room for the error text;
        // both appends are cut rather than overrun.
        (void)vsnprintf(fatal_buf, sizeof fatal_buf, fmt, ap);
        if (saved != 0) {
            (void)strlcat(fatal_buf, ": ", sizeof fatal_buf);
            (void)strlcat(fatal_buf, strerror(saved), sizeof fatal_buf);
        }
    } else {
        (void)strlcpy(fatal_buf, strerror(saved), sizeof fatal_buf);
    }
    log_printf(LOG_CRIT, "fatal: %s", fatal_buf);
}

void die_sys(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log_fatal(fmt, ap);
    va_end(ap);
    exit(1);
}

void die_msg(const char *fmt, ...) {
    errno = 0;
    va_list ap;
    va_start(ap, fmt);
    log_fatal(fmt, ap);
    va_end(ap);
    exit(1);
}
