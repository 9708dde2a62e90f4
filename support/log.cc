// The log: one bounded, escaped record per line to stderr or syslog,
// repeats counted, a full stderr never holding a reply; see log.h.
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

// A record's text is cut here, marker included: one junk line of a
// configuration file must not become a megabyte of log.
constexpr size_t RECORD_MAX = 2048;
constexpr char CUT_MARKER[] = "...[cut]";

// The records written lately, for counting repeats instead of writing them:
// an outage alternates a few records, each of which repeats.
constexpr int REPEAT_KEPT = 16;
struct repeat_entry {
    int priority;
    int64_t since;  // when it, or its count, was last written
    uint64_t count; // repeats not yet said
    char text[RECORD_MAX];
};
struct repeat_state {
    int64_t window_ms; // 0: every record is written
    uint64_t coalesced;
    uint64_t pending; // entries with a count not yet said
    int used;
    int last_line; // the entry whose record or count was written last; -1: none
    repeat_entry entries[REPEAT_KEPT];
};
repeat_state last{0, 0, 0, 0, -1, {}};

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
    // The host sets argv[0] to the table's name, which must neither end a
    // line nor drive a terminal.
    char name[256];
    (void)escape_text(getprogname(), strlen(getprogname()), name, sizeof name);
    // At most PIPE_BUF bytes, so that a pipe takes the line whole or not at
    // all and lines of several writers never mix.
    char line[PIPE_BUF];
    int head = snprintf(line, sizeof line, "%s[%u]: ", name, static_cast<unsigned>(getpid()));
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

// Says how often entry i repeated since it, or its count, was written: as
// "last message" right after it, else naming it.
void say_repeats(int i) {
    repeat_entry &e = last.entries[i];
    char text[RECORD_MAX + 64];
    if (last.last_line == i)
        snprintf(text, sizeof text, "last message repeated %llu times",
                 static_cast<unsigned long long>(e.count));
    else
        snprintf(text, sizeof text, "message repeated %llu times: [%s]",
                 static_cast<unsigned long long>(e.count), e.text);
    e.count = 0;
    last.pending--;
    last.last_line = i;
    put_record(e.priority, text);
}

// Says every count whose window has passed (all of them with `all`); the
// record's window starts anew.
void say_due(int64_t now, bool all) {
    for (int i = 0; i < last.used && last.pending > 0; i++) {
        repeat_entry &e = last.entries[i];
        if (e.count > 0 && (all || now - e.since >= last.window_ms)) {
            say_repeats(i);
            e.since = now;
        }
    }
}

void flush_repeats() {
    say_due(now_ms(), true);
}

// The entry for a record about to be written: its own, or a new one in
// place of the one written longest ago (whose count is said first).
int entry_for(int found) {
    if (found >= 0)
        return found;
    if (last.used < REPEAT_KEPT)
        return last.used++;
    int oldest = 0;
    for (int i = 1; i < last.used; i++)
        if (last.entries[i].since < last.entries[oldest].since)
            oldest = i;
    if (last.entries[oldest].count > 0)
        say_repeats(oldest);
    if (last.last_line == oldest)
        last.last_line = -1;
    return oldest;
}

// True when record repeats one written within the window, even with others
// written between; it is counted then, and the count said once its window
// has passed.
bool repeated(int priority, const char *record) {
    if (last.window_ms <= 0)
        return false;
    int64_t now = now_ms();
    int found = -1;
    for (int i = 0; i < last.used && found < 0; i++)
        if (last.entries[i].priority == priority && strcmp(last.entries[i].text, record) == 0)
            found = i;
    // A repeat within the window is counted; past it, counted repeats are
    // said and counting starts anew, while a lone repeat is written again.
    if (found >= 0) {
        repeat_entry &e = last.entries[found];
        if (now - e.since < last.window_ms || e.count > 0) {
            if (e.count++ == 0)
                last.pending++;
            last.coalesced++;
            if (now - e.since >= last.window_ms) {
                say_repeats(found);
                e.since = now;
            }
            return true;
        }
    }
    // The last line's count is said before any other record.
    if (last.last_line >= 0 && last.last_line != found && last.entries[last.last_line].count > 0)
        say_repeats(last.last_line);
    int i = entry_for(found);
    repeat_entry &e = last.entries[i];
    e.priority = priority;
    e.since = now;
    e.count = 0;
    (void)strlcpy(e.text, record, sizeof e.text);
    last.last_line = i;
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
    last.used = 0;
    last.last_line = -1;
}

void log_flush_due() {
    if (last.pending > 0)
        say_due(now_ms(), false);
}

int log_due_ms() {
    if (last.pending == 0)
        return -1;
    int64_t now = now_ms();
    int64_t due = INT32_MAX;
    for (int i = 0; i < last.used; i++)
        if (last.entries[i].count > 0)
            due = std::min(due, last.entries[i].since + last.window_ms - now);
    return static_cast<int>(std::max<int64_t>(due, 0));
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
