#include "support/log.h"

#include "support/compat.h"
#include "support/util.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <syslog.h>
#include <unistd.h>

namespace {
int32_t log_foreground;
int32_t log_verbosity;
char fatal_buf[1024];

// Records that found stderr full and were dropped, not yet reported.
uint64_t dropped;
uint64_t dropped_total;

// The record written last, for counting repeats instead of writing them.
struct repeat_state {
    int64_t window_ms; // 0: every record is written
    int64_t since;     // when the last record or repeat count was written
    int priority;
    uint64_t count; // repeats not yet reported
    uint64_t coalesced;
    char text[2048];
};
repeat_state last;

// A record's text is cut here, marker included: one junk line of a
// configuration file must not become a megabyte of log.
constexpr size_t RECORD_MAX = 2048;
constexpr char CUT_MARKER[] = "...[cut]";

// Formats one record into out as a single line: trailing line feeds (libpq
// ends its messages with one) are dropped, the rest escaped by escape_text,
// and an overlong record is cut with a marker. Never consumes ap.
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
    if (escape_text(raw, n, out, room + 1) < n)
        cut = true;
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
int64_t now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// True when stderr takes a record of at most PIPE_BUF bytes without
// blocking: a pipe then has a free page. A reader that went away counts as
// no room, so a log line never raises SIGPIPE. The descriptor's own flags
// stay as inherited, since the host's open file shares them.
bool stderr_has_room() {
    pollfd p{STDERR_FILENO, POLLOUT, 0};
    int n;
    do
        n = poll(&p, 1, 0);
    while (n < 0 && errno == EINTR);
    return n == 1 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0 && (p.revents & POLLOUT);
}

// Writes one whole line or nothing; false when it was dropped.
bool write_line(const char *line, size_t len) {
    if (!stderr_has_room())
        return false;
    while (len > 0) {
        ssize_t w = write(STDERR_FILENO, line, len);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        line += w;
        len -= static_cast<size_t>(w);
    }
    return true;
}

[[gnu::format(printf, 1, 2)]] bool write_record(const char *fmt, ...) {
    // At most PIPE_BUF bytes, so that a pipe takes the line whole or not at
    // all and lines of several writers never mix.
    char line[PIPE_BUF];
    int head =
        snprintf(line, sizeof line, "%s[%u]: ", getprogname(), static_cast<unsigned>(getpid()));
    if (head < 0 || static_cast<size_t>(head) >= sizeof line - 1)
        head = 0;
    va_list ap;
    va_start(ap, fmt);
    int body = vsnprintf(line + head, sizeof line - 1 - head, fmt, ap);
    va_end(ap);
    size_t len = static_cast<size_t>(head) +
                 std::min(static_cast<size_t>(body < 0 ? 0 : body), sizeof line - 2 - head);
    line[len++] = '\n';
    return write_line(line, len);
}

// One record to its destination. On stderr a record that finds no room is
// dropped and counted, and the count is said as soon as there is room again:
// a log reader that stalls must never stall the replies.
void put_record(int priority, const char *record) {
    if (log_foreground == 0) {
        syslog(priority, "%s", record);
        return;
    }
    if (dropped > 0) {
        if (!write_record("warn: %llu log records dropped: stderr was full",
                          static_cast<unsigned long long>(dropped))) {
            dropped++;
            dropped_total++;
            return;
        }
        dropped = 0;
    }
    if (!write_record("%s", record)) {
        dropped++;
        dropped_total++;
    }
}

// Says how often the last record repeated since it was last written.
void flush_repeats() {
    if (last.count == 0)
        return;
    char text[64];
    snprintf(text, sizeof text, "last message repeated %llu times",
             static_cast<unsigned long long>(last.count));
    last.count = 0;
    put_record(last.priority, text);
}

// True when record repeats the last one within the window; it is counted
// then, and the count written once the window has passed.
bool repeated(int priority, const char *record) {
    if (last.window_ms <= 0)
        return false;
    int64_t now = now_ms();
    bool same = priority == last.priority && strcmp(record, last.text) == 0;
    // A repeat within the window is counted; past it, counted repeats are
    // said and counting starts anew, while a lone repeat is written again.
    if (same && (now - last.since < last.window_ms || last.count > 0)) {
        last.count++;
        last.coalesced++;
        if (now - last.since >= last.window_ms) {
            flush_repeats();
            last.since = now;
        }
        return true;
    }
    flush_repeats();
    last.priority = priority;
    last.since = now;
    (void)strlcpy(last.text, record, sizeof last.text);
    return false;
}

} // namespace

void log_setup(int32_t foreground) {
    log_foreground = foreground;
    if (foreground == 0)
        openlog(getprogname(), LOG_PID | LOG_NDELAY, LOG_MAIL);
    tzset();
    static bool flush_at_exit = false;
    if (!flush_at_exit)
        atexit(flush_repeats);
    flush_at_exit = true;
}

void log_set_repeat_window(int32_t seconds) {
    flush_repeats();
    last.window_ms = static_cast<int64_t>(seconds) * 1000;
    last.text[0] = '\0';
}

uint64_t log_dropped() {
    return dropped_total;
}

uint64_t log_coalesced() {
    return last.coalesced;
}

void log_set_verbosity(int32_t mask) {
    log_verbosity = mask;
}

void log_emit(int priority, const char *fmt, va_list ap) {
    char record[RECORD_MAX];
    format_record(fmt, ap, record);
    if (!repeated(priority, record))
        put_record(priority, record);
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
