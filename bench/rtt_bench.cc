// What a distant database costs korvane, in time and in round trips: the
// database behind a relay that holds each chunk for ONE_WAY_US in each
// direction (default 25 ms: 50 ms of round trip), against the same relay
// without delay and against no relay (the relay's own cost). For start-up,
// update, an uncached lookup, reconnect and retry after the server ended the
// session, the first fetch, cached hot lookups and cache misses: the
// median of five runs each, and (delayed - relay 0) / round trip as round
// trips. With KORVANE_BASELINE naming another
// build's korvane, that one is measured the same way.
//
//   rtt_bench CONNINFO PORT [ONE_WAY_US]   (bench/run_rtt_bench.sh starts a server)
#include "bench/pipe_driver.h"
#include "tests/helpers/relay.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <libpq-fe.h>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string conninfo;

void sql(const std::string &text) {
    PGconn *c = PQconnectdb(conninfo.c_str());
    PQclear(PQexec(c, text.c_str()));
    PQfinish(c);
}

// What one run measures, in seconds.
enum measure_id { STARTUP, UPDATE, LOOKUP, RETRY, FETCH, HOT, MISS, MEASURES };
using times = std::array<double, MEASURES>;

std::string config_for(int port) {
    std::string c = "conninfo host=127.0.0.1 port=" + std::to_string(port) +
                    " dbname=postgres user=postgres application_name=rtt_bench gssencmode=disable\n"
                    "request_timeout_ms 5000\ncache_size 1000\ncache_listen rtt_bench\n"
                    "fetch_source SELECT v FROM rtt WHERE k < 'k2'\n";
    for (const char *svc :
         {"alias", "domain", "netaddr", "source", "mailaddr", "addrname", "mailaddrmap"})
        c += std::string("query_") + svc + " SELECT v FROM rtt WHERE k = $1\n";
    return c + "query_credentials SELECT k, v FROM rtt WHERE k = $1\n"
               "query_userinfo SELECT 1, 2, v FROM rtt WHERE k = $1\n";
}

double ask(pipe_child &k, const std::string &line) {
    std::string reply;
    double start = now_seconds();
    if (!pipe_write(k, line + "\n") || !pipe_read_line(k, reply)) {
        fprintf(stderr, "rtt_bench: no reply to %s\n", line.c_str());
        exit(1);
    }
    return now_seconds() - start;
}

times once(const char *bin, const std::string &path) {
    times t{};
    pipe_child k;
    double start = now_seconds();
    if (!pipe_start_korvane(k, bin, path)) {
        fprintf(stderr, "rtt_bench: korvane did not start\n");
        exit(1);
    }
    t[STARTUP] = now_seconds() - start;
    t[UPDATE] = ask(k, "table|0.1|1|t|update|u");
    t[LOOKUP] = ask(k, "table|0.1|1|t|lookup|domain|1|k1");
    sql("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name = "
        "'rtt_bench'");
    usleep(200 * 1000);
    t[RETRY] = ask(k, "table|0.1|1|t|lookup|domain|2|k2");
    t[FETCH] = ask(k, "table|0.1|1|t|fetch|source|3");
    // The mean of 500 cached lookups of one key, and of 500 keys that
    // each miss (none is in the table, so each asks the database).
    (void)ask(k, "table|0.1|1|t|lookup|alias|h|k5");
    for (int i = 0; i < 500; i++) {
        t[HOT] += ask(k, "table|0.1|1|t|lookup|alias|h|k5") / 500;
        t[MISS] += ask(k, "table|0.1|1|t|lookup|alias|m|x" + std::to_string(i)) / 500;
    }
    pipe_finish(k);
    return t;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

times median_of(const char *bin, const std::string &path) {
    std::vector<double> runs[MEASURES];
    for (int i = 0; i < 5; i++) {
        times t = once(bin, path);
        for (int j = 0; j < MEASURES; j++)
            runs[j].push_back(t[j]);
    }
    times out{};
    for (int j = 0; j < MEASURES; j++)
        out[j] = median(runs[j]);
    return out;
}

// The measures of korvane against the server at port, directly (relay -1)
// or through a relay that holds each chunk for relay_us.
times measure(const char *bin, int port, int relay_us) {
    std::string path = "/tmp/korvane-rtt-" + std::to_string(getpid());
    std::unique_ptr<delay_relay> relay;
    if (relay_us >= 0)
        relay = std::make_unique<delay_relay>(port, relay_us);
    FILE *f = fopen(path.c_str(), "w");
    fputs(config_for(relay ? relay->port() : port).c_str(), f);
    fclose(f);
    times t = median_of(bin, path);
    unlink(path.c_str());
    return t;
}

void report(const char *who, const char *bin, int port, int one_way_us) {
    times direct = measure(bin, port, -1), zero = measure(bin, port, 0),
          far = measure(bin, port, one_way_us);
    const char *names[MEASURES] = {"start-up",
                                   "update",
                                   "uncached lookup",
                                   "reconnect and retry",
                                   "first fetch after it",
                                   "cached hot lookup",
                                   "cache miss"};
    double rtt = 2e-6 * one_way_us;
    printf("%-9s %-21s %10s %10s %10s  %s\n", who, "", "direct", "relay 0", "delayed",
           "round trips");
    for (int i = 0; i < MEASURES; i++)
        printf("%-9s %-21s %7.3f ms %7.3f ms %7.3f ms  %4.1f\n", who, names[i], direct[i] * 1e3,
               zero[i] * 1e3, far[i] * 1e3, (far[i] - zero[i]) / rtt);
}

} // namespace

int main(int argc, char *argv[]) {
    if (argc < 3) {
        fprintf(stderr, "usage: rtt_bench CONNINFO PORT [ONE_WAY_US]\n");
        return 2;
    }
    conninfo = argv[1];
    int port = atoi(argv[2]);
    int one_way_us = argc > 3 ? atoi(argv[3]) : 25000;
    sql("DROP TABLE IF EXISTS rtt; CREATE TABLE rtt (k text PRIMARY KEY, v text);"
        "INSERT INTO rtt SELECT 'k' || i, 'v' || i FROM generate_series(0, 99) i");
    report("korvane", KORVANE_BIN, port, one_way_us);
    if (const char *base = getenv("KORVANE_BASELINE"))
        report("baseline", base, port, one_way_us);
    return 0;
}
