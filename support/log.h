// Diagnostics and fatal exits.
//
// Lines go either to stderr as "prog[pid]: message\n", flushed one by one, or
// to syslog under the mail facility. The level shows only in the text: callers
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
