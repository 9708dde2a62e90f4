// What a distant database costs korvane, in time and in round trips: the
// database behind a relay that holds each chunk for 25 ms in each direction
// (50 ms of round trip), against the same relay without delay. For start-up,
// update, an uncached lookup, reconnect and retry after the server ended the
// session, and the first fetch: the median of five runs at each delay, and
// (t50 - t0) / 50 ms as round trips. With KORVANE_BASELINE naming another
// build's korvane, that one is measured the same way.
//
//   rtt_bench CONNINFO PORT      (bench/run_rtt_bench.sh starts a server)
#include "bench/pipe_driver.h"
#include "tests/helpers/relay.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <libpq-fe.h>
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

struct times {
    double startup, update, lookup, retry, fetch;
};

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
    t.startup = now_seconds() - start;
    t.update = ask(k, "table|0.1|1|t|update|u");
    t.lookup = ask(k, "table|0.1|1|t|lookup|domain|1|k1");
    sql("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name = "
        "'rtt_bench'");
    usleep(200 * 1000);
    t.retry = ask(k, "table|0.1|1|t|lookup|domain|2|k2");
    t.fetch = ask(k, "table|0.1|1|t|fetch|source|3");
    pipe_finish(k);
    return t;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

times median_of(const char *bin, const std::string &path) {
    std::vector<double> s, u, l, r, f;
    for (int i = 0; i < 5; i++) {
        times t = once(bin, path);
        s.push_back(t.startup);
        u.push_back(t.update);
        l.push_back(t.lookup);
        r.push_back(t.retry);
        f.push_back(t.fetch);
    }
    return {median(s), median(u), median(l), median(r), median(f)};
}

void report(const char *who, const char *bin, int port) {
    std::string path = "/tmp/korvane-rtt-" + std::to_string(getpid());
    times at[2];
    for (int d = 0; d < 2; d++) {
        delay_relay relay(port, d == 0 ? 0 : 25000);
        FILE *f = fopen(path.c_str(), "w");
        fputs(config_for(relay.port()).c_str(), f);
        fclose(f);
        at[d] = median_of(bin, path);
    }
    unlink(path.c_str());
    const char *names[] = {"start-up", "update", "uncached lookup", "reconnect and retry",
                           "first fetch after it"};
    double t0[] = {at[0].startup, at[0].update, at[0].lookup, at[0].retry, at[0].fetch};
    double t50[] = {at[1].startup, at[1].update, at[1].lookup, at[1].retry, at[1].fetch};
    for (int i = 0; i < 5; i++)
        printf("%-9s %-21s %8.1f ms at 0, %8.1f ms at 50 ms: %4.1f round trips\n", who, names[i],
               t0[i] * 1e3, t50[i] * 1e3, (t50[i] - t0[i]) / 0.050);
}

} // namespace

int main(int argc, char *argv[]) {
    if (argc < 3) {
        fprintf(stderr, "usage: rtt_bench CONNINFO PORT\n");
        return 2;
    }
    conninfo = argv[1];
    int port = atoi(argv[2]);
    sql("DROP TABLE IF EXISTS rtt; CREATE TABLE rtt (k text PRIMARY KEY, v text);"
        "INSERT INTO rtt SELECT 'k' || i, 'v' || i FROM generate_series(0, 99) i");
    report("korvane", KORVANE_BIN, port);
    if (const char *base = getenv("KORVANE_BASELINE"))
        report("baseline", base, port);
    return 0;
}
