// A fleet of N korvane processes, each driven as a host drives it (one
// request in flight per process), for N = 1, 10, 100 and 200: the aggregate
// lookups per second and the most server connections seen, directly against
// the server and through PgBouncer in transaction mode.
//
//   scale_bench SERVER_CONNINFO BOUNCER_CONNINFO [SECONDS [RESTART_COMMAND]]
//   (bench/run_scale_bench.sh starts both)
//
// Then the cached fleet: 200 korvanes through the pool with their caches,
// kept true by a listener each straight to the server, against the same
// fleet on TTLs only: lookups per second, server connections, the server's
// memory for the listeners, and the coherence window (commit to the first
// right answer on every korvane).
//
// With a restart command, then the herd: 100 korvanes, the server restarted
// under them, and the time until every one answers right again.
#include "bench/pipe_driver.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <libpq-fe.h>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

[[noreturn]] void fail(const std::string &what) {
    fprintf(stderr, "scale_bench: %s\n", what.c_str());
    exit(1);
}

// Direct fleets and pooled ones use databases of their own, so that the
// pool's idle server connections are never counted for a direct fleet.
std::string with_db(std::string conninfo, const std::string &db) {
    size_t at = conninfo.find("dbname=postgres");
    if (at != std::string::npos)
        conninfo.replace(at, 15, "dbname=" + db);
    return conninfo;
}

int server_connections(PGconn *admin, const std::string &db) {
    PGresult *r = PQexec(
        admin, ("SELECT count(*) FROM pg_stat_activity WHERE datname = '" + db + "'").c_str());
    int n = PQresultStatus(r) == PGRES_TUPLES_OK ? std::atoi(PQgetvalue(r, 0, 0)) : -1;
    PQclear(r);
    return n;
}

struct result {
    double per_second = 0;
    int connections = 0;
    int started = 0;
    long errors = 0;
};

// A fleet's configuration file, named by the application it connects as;
// the caller removes it.
std::string fleet_config(const std::string &conninfo, const std::string &db, const char *app,
                         const std::string &extra) {
    char path[] = "/tmp/korvane-scale-bench.XXXXXX";
    int fd = mkstemp(path);
    std::string conf = "conninfo " + with_db(conninfo, db) + " application_name=" + app +
                       "\nquery_alias SELECT v FROM scale_alias WHERE k = $1\n" + extra;
    if (fd < 0 || write(fd, conf.data(), conf.size()) != static_cast<ssize_t>(conf.size()))
        fail("cannot write the configuration");
    close(fd);
    return path;
}

// Asks every korvane with ask(i), then hands each answer as it comes to
// again(i, reply), which says whether to ask that one once more; tick()
// runs between waits. Ends `limit` seconds after start, or when none is
// asked any more. Returns the answers read.
template <typename Ask, typename Again, typename Tick>
long drive(std::vector<pipe_child> &fleet, double start, double limit, Ask ask, Again again,
           Tick tick) {
    std::vector<bool> asking(fleet.size(), true);
    size_t left = fleet.size();
    for (size_t i = 0; i < fleet.size(); i++)
        ask(i);
    std::vector<pollfd> fds(fleet.size());
    long answered = 0;
    std::string reply;
    while (left > 0 && now_seconds() - start < limit) {
        tick();
        for (size_t i = 0; i < fleet.size(); i++)
            fds[i] = {fleet[i].from_child, static_cast<short>(asking[i] ? POLLIN : 0), 0};
        if (poll(fds.data(), fds.size(), 100) <= 0)
            continue;
        for (size_t i = 0; i < fleet.size(); i++) {
            if ((fds[i].revents & POLLIN) == 0)
                continue;
            if (!pipe_read_line(fleet[i], reply))
                fail("a korvane went away");
            answered++;
            if (again(i, reply)) {
                ask(i);
            } else {
                asking[i] = false;
                left--;
            }
        }
    }
    return answered;
}

// Keeps every korvane busy for `seconds`, one request in flight each, as a
// host would, judging each answer; the answers per second. One request per
// korvane is left in flight.
template <typename Ask, typename Judge, typename Tick>
double keep_busy(std::vector<pipe_child> &fleet, double seconds, Ask ask, Judge judge, Tick tick) {
    double start = now_seconds();
    long answered = drive(
        fleet, start, seconds, ask,
        [&](size_t, const std::string &reply) {
            judge(reply);
            return true;
        },
        tick);
    return static_cast<double>(answered) / (now_seconds() - start);
}

// Asks every korvane until each has answered done(reply), for at most
// `limit` seconds after `start`: the seconds from start to each one's done
// answer, -1 for one that has none (it still has a request in flight).
template <typename Ask, typename Done>
std::vector<double> until_each(std::vector<pipe_child> &fleet, double start, double limit, Ask ask,
                               Done done) {
    std::vector<double> at(fleet.size(), -1);
    drive(
        fleet, start, limit, ask,
        [&](size_t i, const std::string &reply) {
            if (!done(reply))
                return true;
            at[i] = now_seconds() - start;
            return false;
        },
        [] {});
    return at;
}

result run_fleet(PGconn *admin, const std::string &conninfo, const std::string &db,
                 const std::string &extra, int n, double seconds) {
    std::string path = fleet_config(conninfo, db, "korvane_scale", extra);

    result res;
    std::vector<pipe_child> fleet;
    for (int i = 0; i < n; i++) {
        pipe_child k;
        // The fleet shares both cores, as processes of a mail server would.
        if (pipe_start_korvane(k, KORVANE_BIN, path, false))
            fleet.push_back(std::move(k));
    }
    res.started = static_cast<int>(fleet.size());

    std::vector<long> serial(fleet.size());
    auto ask = [&](size_t i) {
        std::string req = "table|0.1|1|t|lookup|alias|" + std::to_string(++serial[i]) + "|user" +
                          std::to_string((serial[i] * 31 + i) % 1000) + "\n";
        if (!pipe_write(fleet[i], req))
            fail("a korvane went away");
    };
    double next_sample = now_seconds();
    res.per_second = keep_busy(
        fleet, seconds, ask,
        [&](const std::string &reply) {
            if (reply.find("|found|target") == std::string::npos)
                res.errors++;
        },
        [&] {
            if (now_seconds() >= next_sample) {
                res.connections = std::max(res.connections, server_connections(admin, db));
                next_sample += 0.2;
            }
        });
    for (pipe_child &k : fleet) {
        std::string rest;
        pipe_read_line(k, rest); // the request still in flight
        pipe_finish(k);
    }
    unlink(path.c_str());
    // The next fleet starts when the server has let this one go, so that
    // it counts only its own connections.
    for (int i = 0; i < 100 && db != "korvane_pool" && server_connections(admin, db) > 0; i++)
        usleep(50 * 1000);
    return res;
}

// The herd: n korvanes that have answered once, the server restarted under
// them, then every one asked at once; the seconds until each has answered
// right (one that answers error is asked again), or -1 after 30 s.
double run_herd(const std::string &conninfo, const std::string &db, const std::string &extra, int n,
                const std::string &restart) {
    std::string path =
        fleet_config(conninfo, db, "korvane_herd", "request_timeout_ms 2000\n" + extra);
    std::vector<pipe_child> fleet(static_cast<size_t>(n));
    for (pipe_child &k : fleet)
        if (!pipe_start_korvane(k, KORVANE_BIN, path, false))
            fail("a korvane did not start");
    std::string reply;
    auto ask = [&](pipe_child &k) {
        if (!pipe_write(k, "table|0.1|1|t|lookup|alias|1|user1\n"))
            fail("a korvane went away");
    };
    for (pipe_child &k : fleet) {
        ask(k);
        pipe_read_line(k, reply);
    }
    if (std::system(restart.c_str()) != 0)
        fail("cannot restart the server");
    std::vector<double> at = until_each(
        fleet, now_seconds(), 30, [&](size_t i) { ask(fleet[i]); },
        [](const std::string &r) { return r == "lookup-result|1|found|target1"; });
    double elapsed = 0;
    for (size_t i = 0; i < fleet.size(); i++) {
        if (at[i] < 0)
            pipe_read_line(fleet[i], reply);
        elapsed = at[i] < 0 || elapsed < 0 ? -1 : std::max(elapsed, at[i]);
        pipe_finish(fleet[i]);
    }
    unlink(path.c_str());
    return elapsed;
}

// The proportional share of memory (PSS, KiB) of the server processes
// whose application_name matches `like`, and how many there are.
std::pair<long, int> server_memory(PGconn *admin, const std::string &like) {
    PGresult *r = PQexec(
        admin,
        ("SELECT pid FROM pg_stat_activity WHERE application_name LIKE '" + like + "'").c_str());
    long kib = 0;
    int n = PQresultStatus(r) == PGRES_TUPLES_OK ? PQntuples(r) : 0;
    for (int i = 0; i < n; i++) {
        std::ifstream rollup(std::string("/proc/") + PQgetvalue(r, i, 0) + "/smaps_rollup");
        for (std::string line; std::getline(rollup, line);)
            if (line.rfind("Pss:", 0) == 0)
                kib += std::atol(line.c_str() + 4);
    }
    PQclear(r);
    return {kib, n};
}

struct cached_result {
    double per_second = 0;
    int pool_connections = 0, listeners = 0;
    long listener_kib = 0;
    std::vector<double> window_ms; // per korvane and trial
    long wrong = 0;
};

// The cached fleet: n korvanes through the pool, each asking hot keys for
// `seconds`, then `trials` changes, each committed with its notification
// while every korvane is asked for the key until it answers the new value.
cached_result run_cached_fleet(PGconn *admin, const std::string &bouncer, const std::string &server,
                               bool listen, int n, double seconds, int trials) {
    std::string extra = "prepared_statements off\ncache_size 1000\nrequest_timeout_ms 5000\n";
    extra += listen ? "cache_ttl 300\ncache_listen fleet\ncache_listen_conninfo " +
                          with_db(server, "korvane_pool") + " application_name=fleet\n"
                    : "cache_ttl 5\n";
    std::string path = fleet_config(bouncer, "korvane_pool", "korvane_fleet", extra);
    std::vector<pipe_child> fleet(static_cast<size_t>(n));
    for (pipe_child &k : fleet)
        if (!pipe_start_korvane(k, KORVANE_BIN, path, false))
            fail("a korvane did not start");
    cached_result res;
    std::string reply;
    // Every korvane asks its next hot key as soon as it has answered.
    std::vector<long> serial(fleet.size());
    auto ask = [&](size_t i, const std::string &key) {
        std::string req =
            "table|0.1|1|t|lookup|alias|" + std::to_string(++serial[i]) + "|" + key + "\n";
        if (!pipe_write(fleet[i], req))
            fail("a korvane went away");
    };
    auto hot = [&](size_t i) { return "user" + std::to_string((serial[i] * 7 + i) % 100); };
    res.per_second = keep_busy(
        fleet, seconds, [&](size_t i) { ask(i, hot(i)); },
        [&](const std::string &r) { res.wrong += r.find("|found|target") == std::string::npos; },
        [] {});
    for (pipe_child &k : fleet)
        pipe_read_line(k, reply);
    auto [kib, listeners] = server_memory(admin, "fleet-listen");
    res.listener_kib = kib;
    res.listeners = listeners;
    res.pool_connections = server_connections(admin, "korvane_pool") - listeners;
    PGconn *db = PQconnectdb(with_db(server, "korvane_pool").c_str());
    // Each trial changes a hot key every korvane has cached, and asks all
    // of them at once, again and again, until each answers the new value.
    for (int t = 0; t < trials; t++) {
        std::string key = "user" + std::to_string(t % 100), value = "changed" + std::to_string(t);
        for (size_t i = 0; i < fleet.size(); i++) {
            ask(i, key);
            pipe_read_line(fleet[i], reply);
        }
        PQclear(PQexec(db, ("UPDATE scale_alias SET v = '" + value + "' WHERE k = '" + key +
                            "'; NOTIFY fleet, 'alias:" + key + "'")
                               .c_str()));
        double committed = now_seconds();
        // Each korvane is asked again as soon as it answers the old value;
        // its answer is timed as it arrives.
        for (double at : until_each(
                 fleet, committed, 30, [&](size_t i) { ask(i, key); },
                 [&](const std::string &r) {
                     return r.size() > value.size() &&
                            r.compare(r.size() - value.size(), value.size(), value) == 0;
                 }))
            if (at >= 0)
                res.window_ms.push_back(at * 1e3);
        PQclear(PQexec(db, ("UPDATE scale_alias SET v = 'target" + key.substr(4) + "' WHERE k = '" +
                            key + "'; NOTIFY fleet, 'alias:" + key + "'")
                               .c_str()));
    }
    PQfinish(db);
    for (pipe_child &k : fleet)
        pipe_finish(k);
    unlink(path.c_str());
    std::sort(res.window_ms.begin(), res.window_ms.end());
    return res;
}

} // namespace

int main(int argc, char *argv[]) {
    if (argc < 3)
        fail("usage: scale_bench SERVER_CONNINFO BOUNCER_CONNINFO [SECONDS [RESTART_COMMAND]]");
    std::string server = argv[1], bouncer = argv[2];
    double seconds = argc > 3 ? strtod(argv[3], nullptr) : 3;
    pipe_pin_driver();

    PGconn *admin = PQconnectdb(server.c_str());
    if (PQstatus(admin) != CONNECTION_OK)
        fail(PQerrorMessage(admin));
    for (const char *name : {"korvane_scale", "korvane_pool"}) {
        PQclear(PQexec(admin, (std::string("DROP DATABASE IF EXISTS ") + name).c_str()));
        PQclear(PQexec(admin, (std::string("CREATE DATABASE ") + name).c_str()));
        PGconn *db = PQconnectdb(with_db(server, name).c_str());
        PQclear(PQexec(db, "CREATE TABLE scale_alias (k text PRIMARY KEY, v text);"
                           "INSERT INTO scale_alias SELECT 'user' || i, 'target' || i "
                           "FROM generate_series(0, 999) i; ANALYZE scale_alias"));
        PQfinish(db);
    }

    printf("%-9s  %-36s  %12s  %11s  %s\n", "processes", "path", "lookups/s", "server conns",
           "errors");
    for (int n : {1, 10, 100, 200}) {
        struct path {
            const char *name;
            const std::string &conninfo;
            const char *db;
            const char *extra;
        };
        const path paths[] = {
            {"direct, prepared statements", server, "korvane_scale", ""},
            {"direct, prepared_statements off", server, "korvane_scale",
             "prepared_statements off\n"},
            {"PgBouncer (transaction, pool 10)", bouncer, "korvane_pool",
             "prepared_statements off\n"},
        };
        for (const path &p : paths) {
            result r = run_fleet(admin, p.conninfo, p.db, p.extra, n, seconds);
            printf("%-9d  %-36s  %12.0f  %11d  %ld%s\n", n, p.name, r.per_second, r.connections,
                   r.errors,
                   r.started < n
                       ? (" (" + std::to_string(n - r.started) + " did not start)").c_str()
                       : "");
            fflush(stdout);
        }
    }
    for (bool listen : {true, false}) {
        cached_result r =
            run_cached_fleet(admin, bouncer, server, listen, 200, seconds, listen ? 20 : 3);
        auto at = [&](double q) {
            return r.window_ms.empty()
                       ? -1.0
                       : r.window_ms[std::min(r.window_ms.size() - 1,
                                              static_cast<size_t>(q * r.window_ms.size()))];
        };
        printf("200 cached, %-24s %8.0f lookups/s, %d pool connections, %d listeners "
               "(%ld KiB of server memory, %ld each), %ld wrong during the load\n",
               listen ? "listeners direct:" : "TTL only (5 s):", r.per_second, r.pool_connections,
               r.listeners, r.listener_kib, r.listeners > 0 ? r.listener_kib / r.listeners : 0,
               r.wrong);
        printf("  coherence window over %zu answers: p50 %.1f ms, p99 %.1f ms, max %.1f ms\n",
               r.window_ms.size(), at(0.5), at(0.99),
               r.window_ms.empty() ? -1 : r.window_ms.back());
        fflush(stdout);
    }
    PQfinish(admin);
    if (argc > 4) {
        for (int i = 0; i < 2; i++) {
            double t =
                run_herd(i == 0 ? server : bouncer, i == 0 ? "korvane_scale" : "korvane_pool",
                         i == 0 ? "" : "prepared_statements off\n", 100, argv[4]);
            printf("herd of 100 after a server restart, %s: all answered right %.0f ms after the "
                   "restart\n",
                   i == 0 ? "direct" : "through PgBouncer", t * 1e3);
        }
    }
    return 0;
}
