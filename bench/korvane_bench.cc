// korvane driven as a host drives it, one request at a time, against the two
// round trips that bound any such backend: the database round trip (the same
// prepared statement executed in a loop in one process) and the pipe round
// trip (the same driver against a child that answers every line with a fixed
// reply and a flush). Also fetches served from korvane's cache, korvane with
// and without request_timeout_ms, alternately, and the simplest relay in C
// that does korvane's job: read a line, run the prepared statement, reply.
//
//   korvane_bench CONNINFO [REQUESTS]     (bench/run_korvane_bench.sh starts a server)
//
// With KORVANE_BASELINE naming another build's korvane, that one runs with
// the deadline in the same interleaved blocks, for a before-and-after.
#include "bench/pipe_driver.h"
#include "tests/helpers/host.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <libpq-fe.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int n_aliases = 100000;
std::string conninfo;
std::string config_path; // the configuration korvane runs with next
std::string plain_path, deadline_path;

[[noreturn]] void fail(const std::string &what) {
    fprintf(stderr, "korvane_bench: %s\n", what.c_str());
    exit(1);
}

void exec_sql(PGconn *c, const char *sql) {
    PGresult *r = PQexec(c, sql);
    if (PQresultStatus(r) != PGRES_COMMAND_OK && PQresultStatus(r) != PGRES_TUPLES_OK)
        fail(std::string(sql) + ": " + PQerrorMessage(c));
    PQclear(r);
}

std::string key_of(int i) {
    return "user" + std::to_string(i) + "@example.org";
}
std::string value_of(int i) {
    return "mailbox" + std::to_string(i) + "@example.net";
}

std::vector<int> random_ids(size_t n) {
    std::mt19937 rng(4242);
    std::vector<int> ids(n);
    for (auto &id : ids)
        id = static_cast<int>(rng() % n_aliases) + 1;
    return ids;
}

// What a child that answers at once says to every line.
char fixed_reply[] = "lookup-result|1|found|mailbox1@example.net\n";

// Ping-pong: one request line out, one reply line back, n times; each
// reply must equal its expected line, when those are given.
double drive(pipe_child &c, const std::vector<std::string> &requests,
             const std::vector<std::string> *expect) {
    return pipe_interleave({&c}, requests, 1, [&](const std::string &reply, size_t i) {
        return expect == nullptr || reply == (*expect)[i];
    })[0];
}

// The reference relay: what any backend of this kind must do per lookup,
// with nothing else around it.
int relay(void *) {
    PGconn *c = PQconnectdb(conninfo.c_str());
    if (PQstatus(c) != CONNECTION_OK)
        return 1;
    PQclear(PQprepare(c, "s", "SELECT v FROM bench_alias WHERE k = $1", 1, nullptr));
    char *line = nullptr;
    size_t cap = 0;
    ssize_t n;
    while ((n = getline(&line, &cap, stdin)) > 0) {
        line[n - 1] = '\0';
        // table|0.1|TIME|NAME|lookup|alias|ID|KEY
        char *fields[8] = {};
        char *rest = line;
        for (int i = 0; i < 8 && rest != nullptr; i++)
            fields[i] = strsep(&rest, "|");
        const char *values[1] = {fields[7]};
        PGresult *r = PQexecPrepared(c, "s", 1, values, nullptr, nullptr, 0);
        if (PQntuples(r) > 0)
            printf("lookup-result|%s|found|%s\n", fields[6], PQgetvalue(r, 0, 0));
        else
            printf("lookup-result|%s|not-found\n", fields[6]);
        fflush(stdout);
        PQclear(r);
    }
    free(line);
    PQfinish(c);
    return 0;
}

pipe_child start_korvane(const char *bin = KORVANE_BIN) {
    pipe_child k;
    if (!pipe_start_korvane(k, bin, config_path))
        fail("korvane did not start");
    return k;
}

double database_round_trip(const std::vector<int> &ids) {
    PGconn *c = PQconnectdb(conninfo.c_str());
    if (PQstatus(c) != CONNECTION_OK)
        fail(PQerrorMessage(c));
    PQclear(PQprepare(c, "s", "SELECT v FROM bench_alias WHERE k = $1", 1, nullptr));
    std::vector<std::string> keys;
    for (int id : ids)
        keys.push_back(key_of(id));
    double start = now_seconds();
    for (const auto &k : keys) {
        const char *values[1] = {k.c_str()};
        PGresult *r = PQexecPrepared(c, "s", 1, values, nullptr, nullptr, 0);
        if (PQntuples(r) != 1)
            fail("database round trip: no row");
        PQclear(r);
    }
    double per = (now_seconds() - start) / static_cast<double>(keys.size());
    PQfinish(c);
    return per;
}

} // namespace

int main(int argc, char *argv[]) {
    if (argc < 2)
        fail("usage: korvane_bench CONNINFO [REQUESTS]");
    conninfo = argv[1];
    size_t n = argc > 2 ? static_cast<size_t>(strtol(argv[2], nullptr, 10)) : 100000;

    PGconn *admin = PQconnectdb(conninfo.c_str());
    if (PQstatus(admin) != CONNECTION_OK)
        fail(PQerrorMessage(admin));
    exec_sql(admin, "DROP TABLE IF EXISTS bench_alias, bench_src");
    exec_sql(admin, "CREATE TABLE bench_alias (k text PRIMARY KEY, v text NOT NULL)");
    exec_sql(admin, "INSERT INTO bench_alias SELECT 'user' || i || '@example.org', "
                    "'mailbox' || i || '@example.net' FROM generate_series(1, 100000) i");
    exec_sql(admin, "CREATE TABLE bench_src (s text)");
    exec_sql(admin, "INSERT INTO bench_src SELECT '192.0.2.' || i FROM generate_series(1, 10) i");
    exec_sql(admin, "ANALYZE bench_alias");
    PQfinish(admin);

    std::string conf = "conninfo " + conninfo + "\n" +
                       "query_alias SELECT v FROM bench_alias WHERE k = $1\n"
                       "fetch_source SELECT s FROM bench_src\n"
                       "fetch_source_refresh 2147483647\nfetch_source_expire 3600\n";
    auto write_config = [](const std::string &text) {
        char path[] = "/tmp/korvane-bench.XXXXXX";
        int fd = mkstemp(path);
        if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            fail("cannot write the configuration");
        close(fd);
        return std::string(path);
    };
    plain_path = write_config(conf);
    deadline_path = write_config(conf + "request_timeout_ms 1000\nreconnect_delay_ms 1000\n");
    config_path = plain_path;

    std::vector<int> ids = random_ids(n);
    std::vector<std::string> lookups, expect, fetches, pings;
    for (size_t i = 0; i < n; i++) {
        std::string id = std::to_string(i);
        lookups.push_back(host_request("lookup", "alias", id, key_of(ids[i]), "aliases"));
        expect.push_back("lookup-result|" + id + "|found|" + value_of(ids[i]));
        fetches.push_back(host_fetch(id, "sources"));
        pings.push_back(lookups.back());
    }

    // korvane with and without the deadline and the relay answer the same
    // lookups in interleaved blocks, after a warm-up, so that the machine's
    // drift touches all three alike; korvane's own processor time comes
    // from the run without the deadline. Then the best of three rounds of
    // the fetches and both round trips.
    double k_lookup, k_deadline, relay_rt, k_user = 0, k_sys = 0;
    {
        // The relay first: it is forked without exec, and would otherwise
        // hold the korvanes' input pipes open past their end.
        pipe_child r = pipe_spawn(relay, nullptr, true);
        config_path = plain_path;
        pipe_child plain = start_korvane();
        config_path = deadline_path;
        pipe_child deadline = start_korvane();
        const char *baseline_bin = getenv("KORVANE_BASELINE");
        pipe_child baseline;
        std::vector<pipe_child *> children{&plain, &deadline, &r};
        if (baseline_bin != nullptr) {
            baseline = start_korvane(baseline_bin);
            children.push_back(&baseline);
        }
        std::vector<std::string> warm(lookups.begin(), lookups.begin() + std::min<size_t>(n, 2000));
        pipe_interleave(children, warm, 1);
        auto times =
            pipe_interleave(children, lookups, 40,
                            [&](const std::string &reply, size_t i) { return reply == expect[i]; });
        k_lookup = times[0];
        k_deadline = times[1];
        relay_rt = times[2];
        if (baseline_bin != nullptr) {
            printf("baseline with a deadline  %8.2f us/request (this build's rate %.3f x the "
                   "baseline's)\n",
                   times[3] * 1e6, times[3] / k_deadline);
            pipe_finish(baseline);
        }
        pipe_finish(plain, &k_user, &k_sys);
        k_user /= static_cast<double>(n + warm.size());
        k_sys /= static_cast<double>(n + warm.size());
        pipe_finish(deadline);
        pipe_finish(r);
    }
    double k_fetch = 1, db = 1, pipe_rt = 1;
    for (int round = 0; round < 3; round++) {
        config_path = plain_path;
        pipe_child k = start_korvane();
        k_fetch = std::min(k_fetch, drive(k, fetches, nullptr));
        pipe_finish(k);
        db = std::min(db, database_round_trip(ids));
        pipe_child p = pipe_spawn(pipe_fixed_reply, fixed_reply, true);
        pipe_rt = std::min(pipe_rt, drive(p, pings, nullptr));
        pipe_finish(p);
    }
    unlink(plain_path.c_str());
    unlink(deadline_path.c_str());

    double overhead = k_lookup - db - pipe_rt;
    printf("requests per measurement  %zu, 100k indexed aliases; lookups interleaved in 40 "
           "blocks, the rest best of 3 rounds\n",
           n);
    printf("korvane lookup            %8.2f us/request\n", k_lookup * 1e6);
    printf("database round trip       %8.2f us/request\n", db * 1e6);
    printf("pipe round trip           %8.2f us/request\n", pipe_rt * 1e6);
    printf("lookup - both round trips %8.2f us/request (%.1f%% of a lookup)\n", overhead * 1e6,
           100 * overhead / k_lookup);
    printf("korvane cpu per lookup    %8.2f us user + %.2f us system (user %.1f%% of a lookup)\n",
           k_user * 1e6, k_sys * 1e6, 100 * k_user / k_lookup);
    printf("korvane with a deadline   %8.2f us/request (rate %.3f x without)\n", k_deadline * 1e6,
           k_lookup / k_deadline);
    printf("reference relay in C      %8.2f us/request (korvane's rate %.3f x the relay's, "
           "%.3f x with the deadline)\n",
           relay_rt * 1e6, relay_rt / k_lookup, relay_rt / k_deadline);
    printf("korvane fetch (cached)    %8.2f us/request (%.1f%% above the pipe round trip)\n",
           k_fetch * 1e6, 100 * (k_fetch - pipe_rt) / pipe_rt);
    return 0;
}
