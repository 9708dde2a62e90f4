// The lookup cache measured as a host sees it, one request at a time:
//   - hot keys answered from the cache, without a listener and with one
//     and a metrics file (and KORVANE_BASELINE's build with each), against
//     the pipe round trip of a child that answers every line with a fixed
//     reply, in 600 alternating blocks;
//   - the miss path: every key distinct, cache on against cache off,
//     alternately;
//   - the coherence window: a writer commits an UPDATE that notifies, and a
//     reader loops lookups of that key until it shows the new value;
//   - memory: korvane's RSS per entry with ENTRIES (default 100k) entries
//     of 40-byte keys and values;
//   - with those entries held, a miss right after 1,000 flushes of a
//     service against a miss without, and the time from the server ending
//     the listening session to the first answer that is no longer cached.
//
// With KORVANE_VS set to configuration lines ("sandbox on"), hot keys and
// misses are also measured with those lines against without, alternating
// in one run; with KORVANE_BASELINE naming another build's korvane, that
// one answers without the lines.
//
//   cache_bench CONNINFO [REQUESTS [ENTRIES]]   (bench/run_korvane_bench.sh starts a server)
#include "bench/pipe_driver.h"
#include "tests/helpers/host.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <libpq-fe.h>
#include <numeric>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string conninfo;
int n_rows = 100000;

[[noreturn]] void fail(const std::string &what) {
    fprintf(stderr, "cache_bench: %s\n", what.c_str());
    exit(1);
}

void exec_sql(PGconn *c, const std::string &sql) {
    PGresult *r = PQexec(c, sql.c_str());
    if (PQresultStatus(r) != PGRES_COMMAND_OK && PQresultStatus(r) != PGRES_TUPLES_OK)
        fail(sql + ": " + PQerrorMessage(c));
    PQclear(r);
}

// 40-byte keys and values.
std::string key_of(int i) {
    char b[64];
    snprintf(b, sizeof b, "user%024d@example.org", i);
    return b;
}
std::string value_of(int i) {
    char b[64];
    snprintf(b, sizeof b, "mailbox%021d@example.net", i);
    return b;
}

char fixed_reply[] = "lookup-result|1|found|mailbox000000000000000000001@example.net\n";

std::string write_config(const std::string &text) {
    char path[] = "/tmp/korvane-cache-bench.XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        fail("cannot write the configuration");
    close(fd);
    return path;
}

pipe_child start_korvane(const std::string &path, const char *bin = KORVANE_BIN) {
    pipe_child k;
    if (!pipe_start_korvane(k, bin, path))
        fail("korvane did not start");
    return k;
}

std::string request(size_t id, const std::string &key) {
    return host_request("lookup", "alias", std::to_string(id), key, "aliases");
}

bool ends_with(const std::string &reply, const std::string &end) {
    return reply.size() >= end.size() &&
           reply.compare(reply.size() - end.size(), end.size(), end) == 0;
}

// Seconds per request over the list; each reply must end as `ends` says,
// when it is given.
double drive(pipe_child &c, const std::vector<std::string> &requests,
             const std::vector<std::string> &ends) {
    return pipe_interleave({&c}, requests, 1, [&](const std::string &reply, size_t i) {
        return ends.empty() || ends_with(reply, ends[i]);
    })[0];
}

long rss_kib(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return 0;
}

} // namespace

int main(int argc, char *argv[]) {
    if (argc < 2)
        fail("usage: cache_bench CONNINFO [REQUESTS]");
    conninfo = argv[1];
    size_t n = argc > 2 ? static_cast<size_t>(strtol(argv[2], nullptr, 10)) : 50000;
    n_rows = argc > 3 ? static_cast<int>(strtol(argv[3], nullptr, 10)) : n_rows;
    n = std::min(n, static_cast<size_t>(n_rows));
    pipe_pin_driver();

    PGconn *admin = PQconnectdb(conninfo.c_str());
    if (PQstatus(admin) != CONNECTION_OK)
        fail(PQerrorMessage(admin));
    exec_sql(admin, "DROP TABLE IF EXISTS bench_cache");
    exec_sql(admin, "CREATE TABLE bench_cache (k text PRIMARY KEY, v text NOT NULL)");
    exec_sql(admin, "INSERT INTO bench_cache SELECT 'user' || lpad(i::text, 24, '0') || "
                    "'@example.org', 'mailbox' || lpad(i::text, 21, '0') || '@example.net' "
                    "FROM generate_series(1, " +
                        std::to_string(n_rows) + ") i");
    exec_sql(admin, "ANALYZE bench_cache");

    std::string base =
        "conninfo " + conninfo + "\n" + "query_alias SELECT v FROM bench_cache WHERE k = $1\n";
    std::string off = write_config(base);
    std::string on_text = "conninfo " + conninfo + " application_name=cache_bench_on\n" +
                          base.substr(base.find('\n') + 1) + "cache_size " +
                          std::to_string(2 * n_rows) +
                          "\ncache_ttl 3600\ncache_listen bench_cache\n"
                          "query_domain SELECT v FROM bench_cache WHERE k = $1\n";
    std::string on = write_config(on_text);

    // Every key once, in random order, so that each lookup misses.
    std::vector<int> ids(n);
    std::iota(ids.begin(), ids.end(), 1);
    std::shuffle(ids.begin(), ids.end(), std::mt19937(11));
    std::vector<std::string> distinct, distinct_ends, hot, hot_ends, pings;
    for (size_t i = 0; i < n; i++) {
        distinct.push_back(request(i, key_of(ids[i])));
        distinct_ends.push_back("|found|" + value_of(ids[i]));
        int h = static_cast<int>(i % 16) + 1;
        hot.push_back(request(i, key_of(h)));
        hot_ends.push_back("|found|" + value_of(h));
    }

    // The hot path and the miss path in one alternating run, so that the
    // machine's drift touches every contender alike: hot keys from a
    // cache without a listener, and from one with a listener and a
    // metrics file, against the fixed-reply child's bare pipe round trip
    // (and KORVANE_BASELINE's build with each configuration); every key a
    // miss with the cache and without it. korvane's own processor time
    // shows what the cache adds to a miss without the round trips' noise.
    std::string stats_path = "/tmp/korvane-cache-bench-" + std::to_string(getpid()) + ".prom";
    std::string plain_text =
        base + "cache_size " + std::to_string(2 * n_rows) + "\ncache_ttl 3600\n";
    std::string plain = write_config(plain_text);
    std::string full =
        write_config(plain_text + "cache_listen bench_cache\nstats_file " + stats_path + "\n");
    const char *baseline = getenv("KORVANE_BASELINE");
    double miss_on, miss_off, cpu_on = 0, cpu_off = 0, sys = 0;
    std::vector<double> hot_times;
    {
        // The misses' pair answers nothing else, so that its processor
        // time is the misses' own.
        pipe_child k_off = start_korvane(off), k_on = start_korvane(plain);
        pipe_child k_hot = start_korvane(plain), k_full = start_korvane(full);
        pipe_child p = pipe_spawn(pipe_fixed_reply, fixed_reply, true);
        pipe_child b_plain, b_full;
        std::vector<pipe_child *> contenders{&p, &k_hot, &k_full};
        if (baseline != nullptr) {
            b_plain = start_korvane(plain, baseline);
            b_full = start_korvane(full, baseline);
            contenders.push_back(&b_plain);
            contenders.push_back(&b_full);
        }
        for (pipe_child *c : contenders)
            if (c != &p)
                drive(*c, std::vector<std::string>(hot.begin(), hot.begin() + 16), {});
        hot_times =
            pipe_interleave(contenders, hot, 15 * 40, [&](const std::string &reply, size_t i) {
                return reply + "\n" == fixed_reply || ends_with(reply, hot_ends[i]);
            });
        std::vector<pipe_child *> missing{&k_off, &k_on};
        auto times =
            pipe_interleave(missing, distinct, 40, [&](const std::string &reply, size_t i) {
                return ends_with(reply, distinct_ends[i]);
            });
        miss_off = times[0];
        miss_on = times[1];
        // The fixed-reply child is a fork without an exec, holding every
        // pipe of the others: it goes first.
        for (pipe_child *c : contenders)
            pipe_finish(*c);
        pipe_finish(k_off, &cpu_off, &sys);
        cpu_off = (cpu_off + sys) / static_cast<double>(n);
        pipe_finish(k_on, &cpu_on, &sys);
        cpu_on = (cpu_on + sys) / static_cast<double>(n);
    }
    double pipe_rt = hot_times[0], hot_rt = hot_times[1], hot_full = hot_times[2];
    unlink(stats_path.c_str());
    unlink(plain.c_str());
    unlink(full.c_str());

    // The same cache with KORVANE_VS's lines against without: misses on
    // the distinct keys, then hot keys, each in alternating blocks.
    double vs_miss = 0, vs_hot = 0;
    const char *vs_lines = getenv("KORVANE_VS");
    if (vs_lines != nullptr) {
        std::string vs = write_config(on_text + vs_lines + "\n");
        pipe_child k_on = start_korvane(on, baseline != nullptr ? baseline : KORVANE_BIN),
                   k_vs = start_korvane(vs);
        auto check = [&](const std::string &reply, size_t i) {
            return ends_with(reply, distinct_ends[i]);
        };
        auto misses = pipe_interleave({&k_on, &k_vs}, distinct, 40, check);
        auto hots = pipe_interleave({&k_on, &k_vs}, hot, 40);
        vs_miss = misses[0] / misses[1];
        vs_hot = hots[0] / hots[1];
        pipe_finish(k_on);
        pipe_finish(k_vs);
        unlink(vs.c_str());
    }

    // Memory: RSS after 100k distinct entries against RSS after start.
    std::vector<std::string> all;
    for (int i = 1; i <= n_rows; i++)
        all.push_back(request(static_cast<size_t>(i), key_of(i)));
    pipe_child k = start_korvane(on);
    long rss_before = rss_kib(k.pid);
    drive(k, all, {});
    long rss_after = rss_kib(k.pid);

    // Coherence: commit a change that notifies; loop lookups until seen.
    std::vector<double> window_us;
    int stale_trials = 0;
    std::string probe = key_of(7);
    std::vector<std::string> one = {request(0, probe)};
    std::string reply;
    for (int trial = 0; trial < 1000; trial++) {
        std::string v = "changed" + std::to_string(trial);
        exec_sql(admin, "BEGIN");
        exec_sql(admin, "UPDATE bench_cache SET v = '" + v + "' WHERE k = '" + probe + "'");
        exec_sql(admin, "NOTIFY bench_cache, 'alias:" + probe + "'");
        exec_sql(admin, "COMMIT");
        double committed = now_seconds();
        for (int tries = 0;; tries++) {
            if (!pipe_write(k, one[0]) || !pipe_read_line(k, reply))
                fail("korvane went away");
            if (tries == 0 && reply.find(v) == std::string::npos)
                stale_trials++;
            if (reply.size() >= v.size() &&
                reply.compare(reply.size() - v.size(), v.size(), v) == 0)
                break;
            if (tries > 100000)
                fail("the change was never seen");
        }

        window_us.push_back((now_seconds() - committed) * 1e6);
    }
    // Flushes: a miss (a key not in the table) after 1,000 flushes of the
    // domain service, each its own transaction, against one without.
    auto miss = [&](int i) {
        double start = now_seconds();
        if (!pipe_write(k, request(0, "nokey" + std::to_string(i))) || !pipe_read_line(k, reply))
            fail("korvane went away");
        return now_seconds() - start;
    };
    double plain_miss = 1, flushed_miss = 0;
    for (int i = 0; i < 5; i++)
        plain_miss = std::min(plain_miss, miss(i));
    for (int i = 0; i < 1000; i++)
        exec_sql(admin, "NOTIFY bench_cache, 'domain'");
    flushed_miss = miss(99);
    // The listening session ends: how long until the cache stops answering
    // (a change made without a notification then shows).
    exec_sql(admin, "UPDATE bench_cache SET v = 'gone' WHERE k = '" + key_of(3) + "'");
    std::string hot3 = request(0, key_of(3));
    exec_sql(admin, "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE "
                    "application_name = 'cache_bench_on-listen'");
    double ended = now_seconds();
    do {
        if (!pipe_write(k, hot3) || !pipe_read_line(k, reply))
            fail("korvane went away");
    } while (reply.find("gone") == std::string::npos && now_seconds() - ended < 10);
    double refused_ms = (now_seconds() - ended) * 1e3;
    pipe_finish(k);
    PQfinish(admin);
    unlink(off.c_str());
    unlink(on.c_str());
    std::sort(window_us.begin(), window_us.end());

    printf("requests per measurement  %zu (misses interleaved in 40 blocks, hot keys in 600), "
           "40-byte keys and values\n",
           n);
    printf("hot keys from the cache   %8.2f us/request (%.3f x the pipe round trip)\n",
           hot_rt * 1e6, hot_rt / pipe_rt);
    printf("  with listener and stats %8.2f us/request (%.3f x the pipe round trip)\n",
           hot_full * 1e6, hot_full / pipe_rt);
    if (baseline != nullptr)
        printf("  KORVANE_BASELINE        %8.2f us/request plain, %.2f with listener and stats "
               "(this build %.3f x and %.3f x its time)\n",
               hot_times[3] * 1e6, hot_times[4] * 1e6, hot_rt / hot_times[3],
               hot_full / hot_times[4]);
    printf("pipe round trip           %8.2f us/request\n", pipe_rt * 1e6);
    printf("miss path, cache on       %8.2f us/request\n", miss_on * 1e6);
    printf("miss path, cache off      %8.2f us/request (rate with the cache %.3f x without)\n",
           miss_off * 1e6, miss_off / miss_on);
    printf("korvane cpu on a miss     %8.2f us with the cache, %.2f us without\n", cpu_on * 1e6,
           cpu_off * 1e6);
    printf("database lookup / cached  %8.1f x\n", miss_off / hot_rt);
    printf("coherence window          p50 %.0f us, p99 %.0f us, max %.0f us (1000 trials)\n",
           window_us[500], window_us[989], window_us.back());
    printf("stale first lookups       %d of 1000 trials\n", stale_trials);
    printf("miss after 1000 flushes   %8.2f us (a miss without: %.2f us), %d entries held\n",
           flushed_miss * 1e6, plain_miss * 1e6, n_rows);
    printf("listener ended            the cache stopped answering %.2f ms later\n", refused_ms);
    if (vs_lines != nullptr)
        printf("with \"%s\"  rate %.3f x without on misses, %.3f x on hot keys\n", vs_lines,
               vs_miss, vs_hot);
    printf("memory                    %ld KiB for %d entries: %.0f bytes each\n",
           rss_after - rss_before, n_rows,
           1024.0 * static_cast<double>(rss_after - rss_before) / n_rows);
    return 0;
}
