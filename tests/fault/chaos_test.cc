// korvane under faults that come at random moments, judged against what the
// database held. Three korvanes (a cache with cache_stale 0, a cache with
// a short TTL and cache_stale 60, no cache as the control) answer lookups
// without pause while a mutator commits changes and records each key's
// versions with the times around their commits, and faults of every kind
// come in turn (the second korvane over a slow link). An answer is right when it matches a version
// current between the coherence window before its request and its reply; a stale one is excused
// only where the docs allow it: an outage within TTL plus cache_stale, a stopped listener within 2
// s, a change the triggers did not see within the TTL. Any wrong answer, exit, hang or reply past
// the deadline plus a loaded machine's margin fails the test, with the seed, the evidence and the
// faults around it.
//
// KORVANE_CHAOS_SECONDS sets how long it runs (default 60), KORVANE_CHAOS_SEED
// the seed (default from the clock; printed either way, so that a failure
// can be replayed: the faults and changes come in the same order).
#include "tests/helpers/host.h"
#include "tests/helpers/pg.h"
#include "tests/helpers/process.h"
#include "tests/helpers/relay.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

int64_t now_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

constexpr int KEYS = 2000;    // bulk changes touch them all
constexpr int HOT_KEYS = 100; // most lookups ask these, so that the cache holds them
constexpr int deadline_ms = 500;
// A reply this much past the deadline is late on a loaded machine, and a
// notified change may take this long to show.
constexpr int64_t late_us = (deadline_ms + 300) * 1000LL;
constexpr int64_t window_us = 200 * 1000;
constexpr int64_t heal_limit_us = 5 * 1000000LL;

// One committed version of a key: its value ("" absent), the times around
// its COMMIT, and whether the triggers told the cache.
struct version {
    std::string value;
    int64_t begin, end;
    bool seen;
};

struct contender {
    const char *name;
    const char *settings;
    int64_t ttl_us, stale_us; // 0 for the control
};
constexpr contender contenders[] = {
    {"chaos_fresh", "cache_size 1000\ncache_ttl 5\ncache_negative_ttl 5\ncache_listen chaos\n",
     5000000, 0},
    {"chaos_stale",
     "cache_size 1000\ncache_ttl 2\ncache_negative_ttl 2\ncache_stale 60\ncache_listen chaos\n",
     2000000, 60000000},
    {"chaos_plain", "", 0, 0},
};
constexpr int CONTENDERS = 3;

struct answer {
    int korvane, key;
    int64_t asked, answered;
    std::string reply; // the value, "<not-found>", "<error>" or "<ok>"
};

// A fault while it lasted, and what it lets korvane excuse.
struct fault_span {
    std::string kind;
    int64_t begin, end;
    bool outage;           // the database may be unable to answer
    bool listener_stopped; // a listening server process was stopped
};

struct shared_state {
    std::mutex m;
    std::vector<std::vector<version>> keys{KEYS};
    std::vector<fault_span> faults;
    std::atomic<bool> stop{false};
    std::atomic<int> updates[CONTENDERS] = {};
    std::string failure; // the first hang, exit or late reply
};

std::string key_name(int k) {
    return "user" + std::to_string(k);
}

void quiet(void *, const char *) {}

// On the mutator's connection, made anew when a fault ended it; its commits
// wait for the WAL, so that an immediate restart loses none it recorded.
PGresult *run(PGconn *&c, const std::string &sql) {
    if (c == nullptr || PQstatus(c) != CONNECTION_OK) {
        PQfinish(c);
        c = PQconnectdb(pg_conninfo().c_str());
        PQsetNoticeProcessor(c, quiet, nullptr);
        PQclear(PQexec(c, "SET synchronous_commit = on"));
    }
    return PQexec(c, sql.c_str());
}

bool ok(PGresult *r) {
    bool good = PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK;
    PQclear(r);
    return good;
}

// Commits changes without end and records every version it commits. A
// COMMIT whose outcome a fault hid is settled by reading the keys back:
// every value is unique.
void mutate(shared_state &st, uint64_t seed) {
    std::mt19937_64 rng(seed);
    PGconn *c = nullptr;
    for (uint64_t serial = 0; !st.stop; serial++) {
        std::vector<int> keys;
        int kind = static_cast<int>(rng() % 20);
        bool bypass = kind == 0, bulk = kind == 1, reload = kind == 2;
        if (bulk || reload) {
            for (int k = 0; k < KEYS; k++)
                keys.push_back(k);
        } else {
            for (int n = 1 + static_cast<int>(rng() % 20); n > 0; n--)
                keys.push_back(static_cast<int>(rng() % (rng() % 2 ? HOT_KEYS : KEYS)));
        }
        std::sort(keys.begin(), keys.end());
        keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
        // (Appended, not "s" + ...: GCC 12 warns of that falsely at -O3.)
        std::string value = std::to_string(serial).insert(0, 1, 's');
        bool remove = !bulk && !reload && rng() % 8 == 0;
        std::string in;
        for (int k : keys)
            in += (in.empty() ? "'" : ",'") + key_name(k) + "'";
        std::string sql = reload
                              ? "TRUNCATE chaos; INSERT INTO chaos SELECT 'user' || i, '" + value +
                                    "' FROM generate_series(0, " + std::to_string(KEYS - 1) + ") i"
                          : remove ? "DELETE FROM chaos WHERE k IN (" + in + ")"
                                   : "INSERT INTO chaos SELECT unnest(ARRAY[" + in + "]), '" +
                                         value + "' ON CONFLICT (k) DO UPDATE SET v = excluded.v";
        // The test clusters commit asynchronously, and a crash may then undo
        // a commit others have already read: each change here is made
        // durable before it shows, so that what is recorded is what was.
        if (!ok(run(c, std::string("BEGIN; SET LOCAL synchronous_commit = on; ") +
                           (bypass ? "SET LOCAL session_replication_role = replica; " : "") +
                           sql))) {
            PQclear(run(c, "ROLLBACK"));
            usleep(20000);
            continue;
        }
        int64_t begin = now_us();
        bool committed = ok(run(c, "COMMIT"));
        if (!committed) {
            // What a lost COMMIT did shows in its first key.
            std::string check = "SELECT count(*) FROM chaos WHERE k = '" + key_name(keys[0]) + "'" +
                                (remove ? "" : " AND v = '" + value + "'");
            PGresult *r = nullptr;
            for (; !st.stop; usleep(50000)) {
                PQclear(r);
                if (PQresultStatus(r = run(c, check)) == PGRES_TUPLES_OK)
                    break;
            }
            committed = PQresultStatus(r) == PGRES_TUPLES_OK &&
                        std::string(PQgetvalue(r, 0, 0)) == (remove ? "0" : "1");
            PQclear(r);
        }
        int64_t end = now_us();
        if (committed) {
            std::lock_guard<std::mutex> lock(st.m);
            for (int k : keys)
                st.keys[k].push_back({remove ? "" : value, begin, end, !bypass});
        }
        usleep(static_cast<useconds_t>(2000 + rng() % 20000));
    }
    PQfinish(c);
}

// One korvane asked without pause; an update when the fault thread asks.
void ask(shared_state &st, int id, child_process &k, uint64_t seed, std::vector<answer> *out) {
    std::mt19937_64 rng(seed);
    for (int serial = 0; !st.stop; serial++) {
        std::string n = std::to_string(serial);
        if (st.updates[id].exchange(0) > 0) {
            std::string reply = k.ask("table|0.1|1|t|update|" + n);
            if (reply != "update-result|" + n + "|ok" && reply != "update-result|" + n + "|error") {
                std::lock_guard<std::mutex> lock(st.m);
                st.failure +=
                    contenders[id].name + std::string(": update answered ") + reply + "\n";
                st.stop = true;
            }
            continue;
        }
        int key = static_cast<int>(rng() % (rng() % 4 != 0 ? HOT_KEYS : KEYS));
        int64_t asked = now_us();
        std::string reply = k.ask("table|0.1|1|t|lookup|alias|" + n + "|" + key_name(key));
        int64_t answered = now_us();
        std::string head = "lookup-result|" + n + "|";
        std::string value = reply == head + "not-found"            ? "<not-found>"
                            : reply == head + "error"              ? "<error>"
                            : reply.rfind(head + "found|", 0) == 0 ? reply.substr(head.size() + 6)
                                                                   : "";
        if (value.empty() || answered - asked > late_us) {
            std::lock_guard<std::mutex> lock(st.m);
            st.failure += contenders[id].name + std::string(": ") +
                          (value.empty() ? "no reply but " + reply
                                         : "a reply after " +
                                               std::to_string((answered - asked) / 1000) + " ms") +
                          " for " + key_name(key) + "\n";
            st.stop = true;
            return;
        }
        out->push_back({id, key, asked, answered, value});
        usleep(static_cast<useconds_t>(rng() % 500));
    }
}

std::string postmaster_pid() {
    std::string pid = read_file(pg_env("PGDATA_DIR") + "/postmaster.pid");
    return pid.substr(0, pid.find('\n'));
}

std::string sessions_like(const std::string &pattern) {
    return "SELECT coalesce(string_agg(pid::text, ' '), '') FROM pg_stat_activity WHERE "
           "application_name LIKE '" +
           pattern + "'";
}

// Applies one fault of a kind drawn at random, for a random while.
fault_span inject(shared_state &st, std::mt19937_64 &rng) {
    static const char *kinds[] = {"terminate statements",
                                  "terminate listeners",
                                  "terminate both",
                                  "terminate as sessions show",
                                  "restart fast",
                                  "restart immediate",
                                  "stop the postmaster",
                                  "stop a server process",
                                  "lock the table",
                                  "flood",
                                  "update"};
    std::string kind = kinds[rng() % (sizeof kinds / sizeof kinds[0])];
    int64_t hold_us = 300000 + static_cast<int64_t>(rng() % 1700000);
    fault_span f{kind, now_us(), 0, true, false};
    const char *who = rng() % 2 ? "chaos_%" : contenders[rng() % CONTENDERS].name;
    if (kind == "terminate statements" || kind == "terminate both")
        pg_value("SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity WHERE "
                 "application_name LIKE '" +
                 std::string(who) + "' AND application_name NOT LIKE '%-listen'");
    if (kind == "terminate listeners" || kind == "terminate both")
        pg_terminate(std::string(contenders[rng() % 2].name) + "-listen");
    // Without the statements' sessions touched the database stays there.
    f.outage = kind != "terminate listeners";
    if (kind == "terminate as sessions show") {
        // Whatever session shows is ended at once, mid-connect or
        // mid-LISTEN: all of them, or the listeners alone, whose
        // statements' connections then stay.
        PGconn *killer = PQconnectdb(pg_conninfo().c_str());
        f.outage = rng() % 2 == 0;
        std::string sql = "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE "
                          "application_name LIKE '" +
                          std::string(f.outage ? "chaos_%" : "chaos_%-listen") + "'";
        while (now_us() < f.begin + hold_us)
            PQclear(PQexec(killer, sql.c_str()));
        PQfinish(killer);
    }
    if (kind == "restart fast" || kind == "restart immediate")
        pg_control(kind == "restart fast" ? "restart fast" : "restart immediate");
    if (kind == "stop the postmaster" || kind == "stop a server process") {
        bool listeners = rng() % 2 == 0;
        std::string pids = kind == "stop the postmaster"
                               ? postmaster_pid()
                               : pg_value(sessions_like(listeners ? "chaos_%-listen" : who));
        std::vector<pid_t> stopped;
        for (size_t at = 0; at < pids.size();) {
            size_t space = pids.find(' ', at);
            stopped.push_back(std::atoi(pids.substr(at, space - at).c_str()));
            at = space == std::string::npos ? pids.size() : space + 1;
        }
        f.listener_stopped = kind == "stop a server process" && listeners;
        f.outage = !f.listener_stopped;
        for (pid_t p : stopped)
            kill(p, SIGSTOP);
        usleep(static_cast<useconds_t>(hold_us));
        for (pid_t p : stopped)
            kill(p, SIGCONT);
    }
    if (kind == "lock the table") {
        PGconn *locker = PQconnectdb(pg_conninfo().c_str());
        PQclear(PQexec(locker, "BEGIN; LOCK TABLE chaos IN ACCESS EXCLUSIVE MODE"));
        usleep(static_cast<useconds_t>(hold_us));
        PQclear(PQexec(locker, "ROLLBACK"));
        PQfinish(locker);
    }
    if (kind == "flood") {
        // From a role that may do nothing but connect.
        std::string conninfo = pg_conninfo();
        conninfo.replace(conninfo.find("user=postgres"), 13, "user=chaos_flood");
        PGconn *flooder = PQconnectdb(conninfo.c_str());
        PQclear(PQexec(flooder, "SELECT pg_notify('chaos', CASE WHEN i % 1000 = 0 THEN '' ELSE "
                                "'alias:flood' || i END) FROM generate_series(1, 20000) i"));
        PQfinish(flooder);
        f.outage = false;
    }
    if (kind == "update") {
        for (auto &u : st.updates)
            u = 1;
        f.outage = false;
    }
    f.end = now_us();
    return f;
}

// Whether an answer is right, or a stale one the docs excuse.
bool judge(const answer &a, const std::vector<version> &versions,
           const std::vector<fault_span> &faults) {
    if (a.reply == "<error>")
        return true;
    std::string value = a.reply == "<not-found>" ? "" : a.reply;
    const contender &c = contenders[a.korvane];
    auto near = [&](int64_t before, bool fault_span::*flag) {
        return std::any_of(faults.begin(), faults.end(), [&](const fault_span &f) {
            return f.*flag && f.begin <= a.answered && f.end + before >= a.asked;
        });
    };
    bool outage = c.ttl_us > 0 && near(1000000, &fault_span::outage);
    bool stopped = c.ttl_us > 0 && near(2500000, &fault_span::listener_stopped);
    for (size_t i = 0; i < versions.size(); i++) {
        const version &v = versions[i];
        if (v.value != value || v.begin > a.answered)
            continue;
        // Surely gone once the next version's COMMIT has returned.
        int64_t gone = i + 1 < versions.size() ? versions[i + 1].end : INT64_MAX;
        bool unseen = i + 1 < versions.size() && !versions[i + 1].seen;
        if (gone > a.asked - window_us ||
            (outage && gone > a.asked - c.ttl_us - c.stale_us - window_us) ||
            (stopped && gone > a.asked - 2000000 - window_us) ||
            (c.ttl_us > 0 && unseen && gone > a.asked - c.ttl_us - window_us))
            return true;
    }
    return false;
}

std::string evidence(const answer &a, const std::vector<version> &versions,
                     const std::vector<fault_span> &faults, int64_t t0) {
    auto ms = [&](int64_t t) { return std::to_string((t - t0) / 1000); };
    std::string e = std::string(contenders[a.korvane].name) + " asked " + key_name(a.key) + " at " +
                    ms(a.asked) + " ms, answered \"" + a.reply + "\" at " + ms(a.answered) +
                    " ms\n  versions from the one answered:";
    // The last version like the answer before it came, and what followed.
    auto from = versions.end();
    for (auto v = versions.begin(); v != versions.end() && v->begin <= a.answered; v++)
        if (v->value == (a.reply == "<not-found>" ? "" : a.reply))
            from = v;
    for (int shown = 0; from != versions.end() && shown < 8 && from->begin <= a.answered;
         from++, shown++)
        e += " [" + (from->value.empty() ? "absent" : from->value) + " " + ms(from->begin) + ".." +
             ms(from->end) + (from->seen ? "" : " unseen") + "]";
    e += "\n  faults:";
    for (const fault_span &f : faults)
        if (f.end > a.asked - 5000000 && f.begin < a.answered + 1000000)
            e += " [" + f.kind + " " + ms(f.begin) + ".." + ms(f.end) + "]";
    return e + "\n";
}

TEST(chaos, RandomFaultsNeverGiveAWrongAnswer) {
    const char *seconds_env = getenv("KORVANE_CHAOS_SECONDS");
    const char *seed_env = getenv("KORVANE_CHAOS_SEED");
    int64_t seconds = seconds_env != nullptr ? std::atoll(seconds_env) : 60;
    uint64_t seed = seed_env != nullptr ? std::strtoull(seed_env, nullptr, 10)
                                        : static_cast<uint64_t>(now_us());
    printf("chaos: seed %llu, %lld s (KORVANE_CHAOS_SEED=%llu replays it)\n",
           static_cast<unsigned long long>(seed), static_cast<long long>(seconds),
           static_cast<unsigned long long>(seed));
    pg_exec("DROP TABLE IF EXISTS chaos; CREATE TABLE chaos (k text PRIMARY KEY, v text);"
            "INSERT INTO chaos SELECT 'user' || i, 'init' FROM generate_series(0, " +
            std::to_string(KEYS - 1) +
            ") i;"
            "CREATE OR REPLACE FUNCTION chaos_notify() RETURNS trigger LANGUAGE plpgsql AS $$ "
            "BEGIN IF TG_OP <> 'INSERT' THEN PERFORM pg_notify('chaos', 'alias:' || OLD.k); END "
            "IF; IF TG_OP <> 'DELETE' THEN PERFORM pg_notify('chaos', 'alias:' || NEW.k); END IF; "
            "RETURN NULL; END $$;"
            "CREATE OR REPLACE FUNCTION chaos_flush() RETURNS trigger LANGUAGE plpgsql AS $$ "
            "BEGIN PERFORM pg_notify('chaos', 'alias'); RETURN NULL; END $$;"
            "CREATE TRIGGER chaos_rows AFTER INSERT OR UPDATE OR DELETE ON chaos FOR EACH ROW "
            "EXECUTE FUNCTION chaos_notify();"
            "CREATE TRIGGER chaos_truncate AFTER TRUNCATE ON chaos FOR EACH STATEMENT EXECUTE "
            "FUNCTION chaos_flush();"
            "DO $$ BEGIN CREATE ROLE chaos_flood LOGIN; EXCEPTION WHEN duplicate_object THEN "
            "NULL; END $$");
    shared_state st;
    for (auto &versions : st.keys)
        versions.push_back({"init", 0, 0, true});

    // The second korvane reaches the server over a slow link, where a flood
    // trickles in and its socket is often empty before the flood is through.
    delay_relay slow(std::stoi(pg_env("PGPORT_NUM")), 0, 200);
    child_process korvanes[CONTENDERS];
    for (int i = 0; i < CONTENDERS; i++) {
        std::string settings = "query_alias SELECT v FROM chaos WHERE k = $1\nrequest_timeout_ms " +
                               std::to_string(deadline_ms) + "\nreconnect_delay_ms 100\n" +
                               contenders[i].settings;
        std::string conf = pg_config_file(contenders[i].name, settings);
        if (i == 1)
            write_file(conf, "conninfo host=127.0.0.1 port=" + std::to_string(slow.port()) +
                                 " dbname=postgres user=postgres application_name=" +
                                 contenders[i].name + "\n" + settings);
        ASSERT_TRUE(korvanes[i].start({KORVANE_BIN, conf}) && host_handshake(korvanes[i]));
    }
    int64_t t0 = now_us();
    std::vector<answer> answers[CONTENDERS];
    std::thread mutator(mutate, std::ref(st), seed + 1);
    std::vector<std::thread> askers;
    for (int i = 0; i < CONTENDERS; i++)
        askers.emplace_back(ask, std::ref(st), i, std::ref(korvanes[i]), seed + 2 + i, &answers[i]);
    std::mt19937_64 rng(seed);
    while (!st.stop && now_us() < t0 + seconds * 1000000) {
        usleep(static_cast<useconds_t>(200000 + rng() % 2000000));
        fault_span f = inject(st, rng);
        std::lock_guard<std::mutex> lock(st.m);
        st.faults.push_back(f);
    }
    // Every fault healed: a quiet spell, then stop.
    usleep(static_cast<useconds_t>(heal_limit_us));
    st.stop = true;
    mutator.join();
    for (auto &t : askers)
        t.join();
    for (child_process &k : korvanes)
        EXPECT_EQ(k.finish(), 0) << k.err();
    EXPECT_EQ(st.failure, "") << "seed " << seed;

    // The verdicts, by what the database held.
    int total = 0, errors = 0, wrong = 0;
    std::map<std::string, int64_t> heal_us; // the slowest heal after each kind
    std::string shown;
    for (const auto &list : answers) {
        for (const answer &a : list) {
            total++;
            errors += a.reply == "<error>" ? 1 : 0;
            if (!judge(a, st.keys[a.key], st.faults)) {
                if (++wrong <= 10)
                    shown += evidence(a, st.keys[a.key], st.faults, t0);
            }
        }
        for (const fault_span &f : st.faults) {
            auto healed = std::find_if(list.begin(), list.end(), [&](const answer &a) {
                return a.asked >= f.end && a.reply != "<error>";
            });
            int64_t took = healed != list.end() ? healed->answered - f.end : INT64_MAX;
            heal_us[f.kind] = std::max(heal_us[f.kind], took);
        }
    }
    int64_t slowest = 0;
    for (const auto &list : answers)
        for (const answer &a : list)
            slowest = std::max(slowest, a.answered - a.asked);
    printf("chaos: %d answers, %d errors, %d wrong, %zu faults, slowest reply %.1f ms\n", total,
           errors, wrong, st.faults.size(), static_cast<double>(slowest) / 1000);
    for (const auto &[kind, us] : heal_us) {
        printf("chaos: %-28s healed within %lld ms\n", kind.c_str(),
               static_cast<long long>(us / 1000));
        EXPECT_LT(us, heal_limit_us) << kind << ", seed " << seed;
    }
    EXPECT_EQ(wrong, 0) << "seed " << seed << "\n" << shown;
}

} // namespace
