// What korvane did since it started, kept in the process: requests by type,
// service and outcome with a histogram of their reply times, and the
// counters of the cache, the database and the log. Counting is a few
// additions; the totals go out as one log record when SIGUSR1 asks
// (handled by the request loop, never in the handler) and, with a metrics
// file configured, in Prometheus's text format to PATH.tmp renamed over
// PATH, between requests and while the host is idle.
#pragma once

#include "proto/services.h"

#include <cstdint>
#include <cstdio>
#include <string>

enum stats_type { STATS_CHECK, STATS_LOOKUP, STATS_FETCH, STATS_UPDATE, STATS_TYPES };
// A reply's outcome: found (update: ok), not found, error.
enum stats_outcome { STATS_FOUND, STATS_NOT_FOUND, STATS_ERROR, STATS_OUTCOMES };
// Services by slot; STATS_NO_SERVICE for update and for services korvane
// does not serve.
inline constexpr int STATS_NO_SERVICE = SERVICE_COUNT;
inline constexpr int STATS_SERVICES = SERVICE_COUNT + 1;

// Counters of the process, each a total since start.
enum stats_counter {
    STATS_CACHE_STALE,      // answers from stale entries in an outage
    STATS_CACHE_EVICTIONS,  // entries dropped to keep cache_size
    STATS_CACHE_FLUSHES,    // flushes of a service or of everything
    STATS_NOTIFICATIONS,    // notifications applied
    STATS_STATEMENTS,       // statements run
    STATS_TIMEOUTS,         // requests that ran out of their deadline
    STATS_RECONNECTS,       // reconnects after a lost connection
    STATS_CONNECT_ATTEMPTS, // connections tried
    STATS_CONNECT_FAILURES, // of which failed
    STATS_QUIET_REFUSALS,   // attempts not made in the quiet time
    STATS_COUNTERS
};

void stats_count(stats_counter c);
// A cache hit or miss of the service in slot.
void stats_cache(int slot, bool hit);
// Entries the cache holds now.
void stats_entries(uint64_t n);
// One request answered: its reply took `us` microseconds, from reading the
// line to flushing the reply.
void stats_request(stats_type type, int service, stats_outcome outcome, int64_t us);

// Microseconds of a clock that only moves forward.
int64_t stats_now_us();

// The metrics file of a stats_file pattern for a table: "%t" stands for the
// table's name with every byte but letters, digits, ".", "_" and "-" made
// "_" (and "." or ".." or nothing prefixed with "_"), "%%" for "%", so
// that one configuration serves many tables, each with its own file.
std::string stats_file_path(const char *pattern, const char *table);
// Where and how often the metrics go: path (a stats_file pattern) null for
// no file; interval in seconds; table labels every series (the name korvane
// runs under). The file of an earlier call is removed when the path
// changes.
void stats_configure(const char *path, int32_t interval_s, const char *table);
// The signal handler of SIGUSR1: it only marks the record as asked.
void stats_signal(int);
// True when a tick has something to do: a record asked for, or a metrics
// file to keep; the engine reads the clock for the tick only then.
bool stats_wanted();
// Between requests and while idle: writes the record SIGUSR1 asked for,
// and the metrics file when it is due. `now_us` from stats_now_us.
void stats_tick(int64_t now_us);
// Milliseconds until the metrics file is next due (-1: never), for the
// idle wait.
int stats_due_ms(int64_t now_us);

// The totals as one log line's text, and every metric in Prometheus's text
// format; for the log record, the metrics file and the tests.
void stats_summary(char *buf, uint64_t size);
void stats_exposition(FILE *out);
