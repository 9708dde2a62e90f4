// The process's counters and histograms, the SIGUSR1 record and the
// metrics file; see stats.h.
#include "support/stats.h"

#include "support/log.h"
#include "support/sandbox.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Upper bounds of the reply-time buckets in microseconds: 1, 2, 5 in each
// decade from 10 us to 10 s; a last bucket takes the rest.
constexpr int64_t BOUNDS_US[] = {10,     20,      50,      100,     200,     500,    1000,
                                 2000,   5000,    10000,   20000,   50000,   100000, 200000,
                                 500000, 1000000, 2000000, 5000000, 10000000};
constexpr int BUCKETS = sizeof BOUNDS_US / sizeof BOUNDS_US[0] + 1;

struct histogram {
    uint64_t counts[BUCKETS]; // not cumulative; the exposition sums them
    uint64_t total;
    int64_t sum_us;
    int64_t max_us;
};

constexpr const char *TYPE_NAMES[STATS_TYPES] = {"check", "lookup", "fetch", "update"};
constexpr const char *OUTCOME_NAMES[STATS_OUTCOMES] = {"found", "not-found", "error"};
constexpr auto SERVICE_NAMES = [] {
    std::array<const char *, STATS_SERVICES> names{};
    for (int slot = 0; slot < SERVICE_COUNT; slot++)
        names[slot] = query_specs[slot].name.data();
    names[STATS_NO_SERVICE] = "none";
    return names;
}();

// A series of the text format: its name after "korvane_", its help.
struct series {
    const char *name;
    const char *help;
};

constexpr series COUNTERS[STATS_COUNTERS] = {
    {"cache_stale_answers_total", "Answers from stale cache entries while the database could "
                                  "not answer."},
    {"cache_evictions_total", "Cache entries dropped to stay within cache_size."},
    {"cache_flushes_total", "Flushes of a service or of the whole cache."},
    {"cache_notifications_total", "Notifications applied to the cache."},
    {"statements_total", "Statements run on the database."},
    {"timeouts_total", "Requests that ran out of request_timeout_ms."},
    {"reconnects_total", "Reconnects after a lost connection."},
    {"connect_attempts_total", "Connections tried."},
    {"connect_failures_total", "Connections tried that failed."},
    {"quiet_refusals_total", "Connections not tried in the quiet time after a failure."},
};

struct totals {
    uint64_t requests[STATS_TYPES][STATS_SERVICES][STATS_OUTCOMES];
    histogram replies[STATS_TYPES];
    uint64_t hits[STATS_SERVICES];
    uint64_t misses[STATS_SERVICES];
    uint64_t counters[STATS_COUNTERS];
    uint64_t entries;
} all;

volatile sig_atomic_t asked;
std::string file_path; // empty: no metrics file
int64_t interval_us;
int64_t next_due_us;
std::string table_label;  // escaped for a label value
std::string last_failure; // the cause warned about last; empty after a write

// The length of the valid UTF-8 character at s (up to end), or 0.
size_t utf8_length(const unsigned char *s, const unsigned char *end) {
    size_t n = *s < 0x80             ? 1
               : (*s & 0xe0) == 0xc0 ? 2
               : (*s & 0xf0) == 0xe0 ? 3
               : (*s & 0xf8) == 0xf0 ? 4
                                     : 0;
    if (n == 0 || s + n > end || (n == 2 && *s < 0xc2))
        return 0;
    for (size_t i = 1; i < n; i++)
        if ((s[i] & 0xc0) != 0x80)
            return 0;
    // Overlong forms, surrogates and what lies past U+10FFFF.
    if ((n == 3 && *s == 0xe0 && s[1] < 0xa0) || (n == 3 && *s == 0xed && s[1] > 0x9f) ||
        (n == 4 && *s == 0xf0 && s[1] < 0x90) ||
        (n == 4 && (*s > 0xf4 || (*s == 0xf4 && s[1] > 0x8f))))
        return 0;
    return n;
}

// A label value as the text format wants it: valid UTF-8 (a byte that is
// not becomes U+FFFD, so that no table name breaks the file), with
// backslash, quote and line feed escaped.
std::string label_value(const char *text) {
    std::string out;
    const auto *end = reinterpret_cast<const unsigned char *>(text) + strlen(text);
    for (const auto *c = reinterpret_cast<const unsigned char *>(text); c < end;) {
        size_t n = utf8_length(c, end);
        if (n == 0) {
            out += "\xef\xbf\xbd";
            c++;
            continue;
        }
        if (*c == '\\' || *c == '"')
            out += '\\';
        if (*c == '\n')
            out += "\\n";
        else
            out.append(reinterpret_cast<const char *>(c), n);
        c += n;
    }
    return out;
}

// The smallest bucket bound at or above the share p of all replies, in
// microseconds; 0 without replies.
int64_t percentile_us(double p) {
    uint64_t counts[BUCKETS] = {};
    uint64_t total = 0;
    for (const histogram &h : all.replies) {
        for (int i = 0; i < BUCKETS; i++)
            counts[i] += h.counts[i];
        total += h.total;
    }
    uint64_t want = static_cast<uint64_t>(p * static_cast<double>(total) + 0.999999);
    uint64_t seen = 0;
    for (int i = 0; i < BUCKETS - 1; i++) {
        seen += counts[i];
        if (total > 0 && seen >= want)
            return BOUNDS_US[i];
    }
    return total > 0 ? BOUNDS_US[BUCKETS - 2] * 10 : 0;
}

// "850 us", "3.2 ms", "1.50 s".
std::string shown_time(int64_t us) {
    char buf[32];
    if (us < 1000)
        snprintf(buf, sizeof buf, "%lld us", static_cast<long long>(us));
    else if (us < 1000000)
        snprintf(buf, sizeof buf, "%.1f ms", static_cast<double>(us) / 1e3);
    else
        snprintf(buf, sizeof buf, "%.2f s", static_cast<double>(us) / 1e6);
    return buf;
}

void help_type(FILE *out, const char *name, const char *help, const char *type) {
    fprintf(out, "# HELP korvane_%s %s\n# TYPE korvane_%s %s\n", name, help, name, type);
}

void write_requests(FILE *out, const char *table) {
    help_type(out, "requests_total", "Requests answered, by type, service and outcome.", "counter");
    for (int t = 0; t < STATS_TYPES; t++)
        for (int s = 0; s < STATS_SERVICES; s++)
            for (int o = 0; o < STATS_OUTCOMES; o++)
                if (uint64_t n = all.requests[t][s][o]; n > 0)
                    fprintf(out,
                            "korvane_requests_total{table=\"%s\",type=\"%s\",service=\"%s\","
                            "outcome=\"%s\"} %llu\n",
                            table, TYPE_NAMES[t], SERVICE_NAMES[s],
                            t == STATS_UPDATE && o == STATS_FOUND ? "ok" : OUTCOME_NAMES[o],
                            static_cast<unsigned long long>(n));
}

void write_histograms(FILE *out, const char *table) {
    help_type(out, "reply_seconds", "Time from reading a request to flushing its reply, by type.",
              "histogram");
    for (int t = 0; t < STATS_TYPES; t++) {
        const histogram &h = all.replies[t];
        if (h.total == 0)
            continue;
        uint64_t cumulative = 0;
        for (int i = 0; i < BUCKETS - 1; i++) {
            cumulative += h.counts[i];
            fprintf(out, "korvane_reply_seconds_bucket{table=\"%s\",type=\"%s\",le=\"%g\"} %llu\n",
                    table, TYPE_NAMES[t], static_cast<double>(BOUNDS_US[i]) / 1e6,
                    static_cast<unsigned long long>(cumulative));
        }
        fprintf(out,
                "korvane_reply_seconds_bucket{table=\"%s\",type=\"%s\",le=\"+Inf\"} %llu\n"
                "korvane_reply_seconds_sum{table=\"%s\",type=\"%s\"} %.6f\n"
                "korvane_reply_seconds_count{table=\"%s\",type=\"%s\"} %llu\n",
                table, TYPE_NAMES[t], static_cast<unsigned long long>(h.total), table,
                TYPE_NAMES[t], static_cast<double>(h.sum_us) / 1e6, table, TYPE_NAMES[t],
                static_cast<unsigned long long>(h.total));
    }
}

void write_cache(FILE *out, const char *table) {
    const std::pair<series, const uint64_t *> per_service[] = {
        {{"cache_hits_total", "Requests answered from the cache, by service."}, all.hits},
        {{"cache_misses_total", "Requests of cached services the cache could not answer."},
         all.misses}};
    for (const auto &[s, counts] : per_service) {
        help_type(out, s.name, s.help, "counter");
        for (int svc = 0; svc < STATS_NO_SERVICE; svc++)
            if (counts[svc] > 0)
                fprintf(out, "korvane_%s{table=\"%s\",service=\"%s\"} %llu\n", s.name, table,
                        SERVICE_NAMES[svc], static_cast<unsigned long long>(counts[svc]));
    }
    help_type(out, "cache_entries", "Entries the cache holds.", "gauge");
    fprintf(out, "korvane_cache_entries{table=\"%s\"} %llu\n", table,
            static_cast<unsigned long long>(all.entries));
}

void write_counter(FILE *out, const char *table, const series &s, uint64_t n) {
    help_type(out, s.name, s.help, "counter");
    fprintf(out, "korvane_%s{table=\"%s\"} %llu\n", s.name, table,
            static_cast<unsigned long long>(n));
}

void write_counters(FILE *out, const char *table) {
    for (int c = 0; c < STATS_COUNTERS; c++)
        write_counter(out, table, COUNTERS[c], all.counters[c]);
    write_counter(out, table,
                  {"log_records_dropped_total", "Log records dropped because nobody read stderr."},
                  log_dropped());
    write_counter(
        out, table,
        {"log_records_coalesced_total", "Log records counted as repeats instead of written."},
        log_coalesced());
}

// The directory a file is in, with symbolic links resolved where it can be.
std::string directory_of(const std::string &file) {
    std::string dir = file.substr(0, std::max<size_t>(file.rfind('/'), 1));
    char *real = realpath(dir.c_str(), nullptr);
    if (real != nullptr)
        dir = real;
    free(real);
    return dir;
}

// Warns once per cause of a failed write; korvane serves on. A directory
// the sandbox did not grant (it did not exist when korvane started) is
// said as such: only a restart grants it.
void write_failed(const char *step, const std::string &path) {
    int error = errno;
    std::string dir = directory_of(path);
    bool ungranted = (error == EACCES || error == EPERM) && !sandbox_may_write(dir);
    std::string why = ungranted ? "the sandbox did not grant writing " + dir +
                                      " (it did not exist when korvane started); restart korvane "
                                      "to write it"
                                : strerror(error);
    std::string cause = std::string(step) + ": " + why;
    if (cause != last_failure)
        warn_msg("warn: stats_file: cannot %s %s: %s; korvane serves on without it", step,
                 path.c_str(), why.c_str());
    last_failure = cause;
}

// A new file beside path to write the metrics into: a fresh, unguessable
// name, created exclusively without following a link or waiting on a FIFO,
// and checked to be a regular file of korvane's own, so that nothing a
// local user puts in a shared directory can block or redirect korvane.
// Readable by the node exporter whatever the umask. The descriptor, or -1
// with *tmp naming what was tried.
int create_beside(const std::string &path, std::string *tmp) {
    for (int attempt = 0; attempt < 8; attempt++) {
        unsigned char bytes[8] = {};
        if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes))
            return -1;
        char name[2 * sizeof bytes + 1];
        for (size_t i = 0; i < sizeof bytes; i++)
            snprintf(name + 2 * i, 3, "%02x", bytes[i]);
        *tmp = path + ".tmp." + name;
        int fd = open(tmp->c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
        if (fd < 0 && errno == EEXIST)
            continue;
        struct stat st {};
        if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
                        fchmod(fd, 0644) != 0)) {
            int error = errno != 0 ? errno : EPERM;
            close(fd);
            (void)unlink(tmp->c_str());
            errno = error;
            return -1;
        }
        return fd;
    }
    errno = EEXIST;
    return -1;
}

// Writes every metric to a new file beside PATH and renames it over PATH,
// so that a reader never sees half a file.
void write_file() {
    std::string tmp;
    int fd = create_beside(file_path, &tmp);
    if (fd < 0) {
        write_failed("create", file_path + ".tmp.*");
        return;
    }
    FILE *out = fdopen(fd, "w");
    if (out == nullptr) {
        close(fd);
        (void)unlink(tmp.c_str());
        write_failed("write", tmp);
        return;
    }
    stats_exposition(out);
    bool written = fflush(out) == 0 && ferror(out) == 0;
    if (fclose(out) != 0 || !written) {
        write_failed("write", tmp);
        (void)unlink(tmp.c_str());
        return;
    }
    if (rename(tmp.c_str(), file_path.c_str()) != 0) {
        write_failed("rename to", file_path);
        (void)unlink(tmp.c_str());
        return;
    }
    last_failure.clear();
}

} // namespace

void stats_count(stats_counter c) {
    all.counters[c]++;
}

void stats_cache(int slot, bool hit) {
    if (slot >= 0 && slot < STATS_NO_SERVICE)
        (hit ? all.hits : all.misses)[slot]++;
}

void stats_entries(uint64_t n) {
    all.entries = n;
}

void stats_request(stats_type type, int service, stats_outcome outcome, int64_t us) {
    all.requests[type][service][outcome]++;
    histogram &h = all.replies[type];
    int i = 0;
    while (i < BUCKETS - 1 && us > BOUNDS_US[i])
        i++;
    h.counts[i]++;
    h.total++;
    h.sum_us += us;
    h.max_us = std::max(h.max_us, us);
}

int64_t stats_now_us() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

std::string stats_file_path(const char *pattern, const char *table) {
    std::string name;
    for (const char *c = table; *c != '\0'; c++)
        name +=
            isalnum(static_cast<unsigned char>(*c)) != 0 || strchr("._-", *c) != nullptr ? *c : '_';
    // Never a directory of its own, never the empty name.
    if (name.empty() || name == "." || name == "..")
        name = "_" + name;
    std::string path;
    for (const char *c = pattern; *c != '\0'; c++) {
        if (c[0] == '%' && (c[1] == 't' || c[1] == '%'))
            path += *++c == 't' ? name : "%";
        else
            path += *c;
    }
    return path;
}

void stats_configure(const char *path, int32_t interval_s, const char *table) {
    // A file korvane no longer writes would serve its last numbers for
    // ever, frozen: an update that moves or drops it removes the old one.
    std::string next = path != nullptr ? stats_file_path(path, table) : "";
    if (!file_path.empty() && file_path != next)
        (void)unlink(file_path.c_str());
    file_path = next;
    interval_us = int64_t{std::max(interval_s, 1)} * 1000000;
    next_due_us = 0;
    table_label = label_value(table);
    last_failure.clear();
}

void stats_signal(int) {
    asked = 1;
}

bool stats_wanted() {
    return asked != 0 || !file_path.empty();
}

void stats_tick(int64_t now_us) {
    if (asked != 0) {
        asked = 0;
        char text[512];
        stats_summary(text, sizeof text);
        info_msg("info: stats: %s", text);
    }
    if (file_path.empty() || now_us < next_due_us)
        return;
    next_due_us = now_us + interval_us;
    write_file();
}

int stats_due_ms(int64_t now_us) {
    if (file_path.empty())
        return -1;
    return static_cast<int>(std::max<int64_t>(next_due_us - now_us, 0) / 1000 + 1);
}

void stats_summary(char *buf, uint64_t size) {
    uint64_t outcomes[STATS_OUTCOMES] = {};
    for (const auto &type : all.requests)
        for (const auto &service : type)
            for (int o = 0; o < STATS_OUTCOMES; o++)
                outcomes[o] += service[o];
    uint64_t hits = 0, misses = 0;
    int64_t max_us = 0;
    for (int s = 0; s < STATS_SERVICES; s++) {
        hits += all.hits[s];
        misses += all.misses[s];
    }
    for (const histogram &h : all.replies)
        max_us = std::max(max_us, h.max_us);
    auto u = [](uint64_t n) { return static_cast<unsigned long long>(n); };
    snprintf(buf, size,
             "%llu requests (%llu found, %llu not-found, %llu error); cache hit ratio %.3f "
             "(%llu hits, %llu misses, %llu stale); reply p50 <= %s, p99 <= %s, max %s; "
             "%llu statements, %llu timeouts, %llu reconnects",
             u(outcomes[0] + outcomes[1] + outcomes[2]), u(outcomes[0]), u(outcomes[1]),
             u(outcomes[2]), hits + misses > 0 ? static_cast<double>(hits) / (hits + misses) : 0.0,
             u(hits), u(misses), u(all.counters[STATS_CACHE_STALE]),
             shown_time(percentile_us(0.5)).c_str(), shown_time(percentile_us(0.99)).c_str(),
             shown_time(max_us).c_str(), u(all.counters[STATS_STATEMENTS]),
             u(all.counters[STATS_TIMEOUTS]), u(all.counters[STATS_RECONNECTS]));
}

void stats_exposition(FILE *out) {
    const char *table = table_label.c_str();
    // Which build each table runs, as exporters say it.
    help_type(out, "build_info", "The korvane version this table runs.", "gauge");
    fprintf(out, "korvane_build_info{table=\"%s\",version=\"%s\"} 1\n", table, KORVANE_VERSION);
    write_requests(out, table);
    write_histograms(out, table);
    write_cache(out, table);
    write_counters(out, table);
}
