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
    if (log_foreground == 0) {
        vsyslog(priority, fmt, ap);
        return;
    }
    const char *prog = getprogname();
    auto pid = static_cast<unsigned>(getpid());
    char *msg = format_message(fmt, ap);
    if (msg != nullptr) {
        // One formatted write per line keeps lines from interleaving with
        // other writers of the same stream.
        fprintf(stderr, "%s[%u]: %s\n", prog, pid, msg);
        free(msg);
    } else {
        fprintf(stderr, "%s[%u]: ", prog, pid);
        vfprintf(stderr, fmt, ap);
        fputc('\n', stderr);
    }
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
