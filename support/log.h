// Diagnostics and fatal exits.
//
// Lines go either to stderr as "prog[pid]: message\n", one write() each, or
// to syslog under the mail facility. Writing to stderr never blocks: a line
// that finds no room (a pipe nobody reads) is dropped and counted, and the
// first line that fits again says how many were dropped. The level shows only in the text: callers
// start their messages with "warn: " or "debug: "; fatal lines get "fatal: ".
// Priorities: warnings and fatal lines LOG_CRIT, info LOG_INFO, debug and
// trace LOG_DEBUG. Logging never fails towards its callers.
#pragma once

#include <cstdarg>
#include <cstdint>

// Chooses the destination: non-zero for stderr, zero for syslog (opened at
// once, with the pid in each entry). Call once, before any message.
void log_setup(int32_t foreground);
// Debug lines need bit 1 of the mask; trace lines any bit of their own mask.
void log_set_verbosity(int32_t mask);
// A record that repeats one written within this many seconds is counted,
// not written, even with other records between (an outage alternates a
// few); once its window has passed, "last message repeated N times" (right
// after it) or "message repeated N times: [RECORD]" says how often, and
// its window starts anew. The last line's count is also said before the
// next other record, and every count at exit. 0 (the default) writes every
// record.
void log_set_repeat_window(int32_t seconds);
// Says the counts whose window has passed; for the engine's wait.
void log_flush_due();
// Milliseconds until a count is due (-1: none), for the engine's wait.
int log_due_ms();
// Records dropped so far because stderr had no room, and records counted as
// repeats instead of being written.
uint64_t log_dropped();
uint64_t log_coalesced();

[[gnu::format(printf, 2, 3)]] void log_printf(int priority, const char *fmt, ...);
[[gnu::format(printf, 2, 0)]] void log_emit(int priority, const char *fmt, va_list ap);

[[gnu::format(printf, 1, 2)]] void warn_msg(const char *fmt, ...);
// Appends ": " and the text of errno; a null format logs that text alone.
[[gnu::format(printf, 1, 2)]] void warn_sys(const char *fmt, ...);
[[gnu::format(printf, 1, 2)]] void info_msg(const char *fmt, ...);
[[gnu::format(printf, 1, 2)]] void debug_msg(const char *fmt, ...);
[[gnu::format(printf, 2, 3)]] void trace_msg(int32_t mask, const char *fmt, ...);

// Log "fatal: <message>[: <errno text>]" and exit with status 1. die_msg never
// carries an errno text; a null format logs only the errno text.
[[noreturn, gnu::format(printf, 1, 2)]] void die_sys(const char *fmt, ...);
[[noreturn, gnu::format(printf, 1, 2)]] void die_msg(const char *fmt, ...);
// Composes and writes the fatal line; for die_sys and die_msg only.
[[gnu::format(printf, 1, 0)]] void log_fatal(const char *fmt, va_list ap);
