// A fleet behind PgBouncer in transaction mode: 200 korvane processes, each
// spoken to as a host would, share a pool of 10 server connections. Every
// answer must be right, the pool must never be exceeded, and every korvane
// must heal by itself when PgBouncer restarts. The same fleet with prepared
// statements on breaks, as the documentation explains.
#include "tests/helpers/host.h"
#include "tests/helpers/pg.h"
#include "tests/helpers/process.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const std::string korvane = KORVANE_BIN;
const std::string state = std::string(PG_STATE_DIR) + "-bouncer";
constexpr int pool = 10;

void pgtest(const std::string &args) {
    std::string cmd = std::string(PGTEST_SCRIPT) + " " + args + " >/dev/null";
    ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
}

// Server connections PgBouncer holds to the fleet's database; the fleet's
// listeners, which go to the server directly, apart.
int server_connections() {
    return std::atoi(pg_value("SELECT count(*) FROM pg_stat_activity WHERE datname = "
                              "'korvane_scale' AND application_name NOT LIKE '%-listen'")
                         .c_str());
}

// The fleet's database, reached directly.
std::string scale_db() {
    std::string db = pg_conninfo();
    db.replace(db.find("dbname=postgres"), 15, "dbname=korvane_scale");
    return db;
}

// Runs SQL in the fleet's database, where its notifications are heard.
void scale_exec(const std::string &sql) {
    PGconn *c = PQconnectdb(scale_db().c_str());
    PGresult *r = PQexec(c, sql.c_str());
    EXPECT_EQ(PQresultStatus(r), PGRES_COMMAND_OK) << PQerrorMessage(c);
    PQclear(r);
    PQfinish(c);
}

class scale : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        pg_exec("DROP DATABASE IF EXISTS korvane_scale");
        pg_exec("CREATE DATABASE korvane_scale");
        scale_exec("CREATE TABLE scale_alias (k text PRIMARY KEY, v text);"
                   "INSERT INTO scale_alias SELECT 'user' || i, 'target' || i "
                   "FROM generate_series(0, 999) i");
        pgtest("bouncer " + state + " " + PG_STATE_DIR + " " + std::to_string(pool));
    }
    static void TearDownTestSuite() { pgtest("bouncer-stop " + state); }

    static std::string config(const std::string &extra) {
        std::string conninfo = read_file(state + "/conninfo");
        conninfo.pop_back();
        conninfo.replace(conninfo.find("dbname=postgres"), 15, "dbname=korvane_scale");
        std::string path = temp_path("scale");
        write_file(path, "conninfo " + conninfo +
                             " application_name=korvane_scale\n"
                             "query_alias SELECT v FROM scale_alias WHERE k = $1\n"
                             "request_timeout_ms 5000\n" +
                             extra);
        return path;
    }
};

struct fleet_member {
    std::unique_ptr<child_process> k = std::make_unique<child_process>();
    bool serving = false;
    int serial = 0;
};

// Starts a korvane and completes the handshake; false if it did not serve.
bool start(fleet_member &m, const std::string &conf) {
    if (!m.k->start({korvane, conf}) || !host_handshake(*m.k))
        return false;
    return m.serving = true;
}

// The server connection under the pooler dies mid-statement: PgBouncer
// says so with its own 08P01 ("server conn crashed?"), which korvane takes
// for a lost connection: it reconnects through the pooler and retries.
TEST_F(scale, APoolersOwnConnectionErrorIsRetried) {
    fleet_member m;
    ASSERT_TRUE(start(m, config("prepared_statements off\nquery_domain SELECT k FROM "
                                "scale_alias, pg_sleep(CASE WHEN $1 = 'slow' THEN 1 ELSE 0 END) "
                                "WHERE k = 'user1'\n")));
    m.k->send("table|0.1|1|t|lookup|domain|1|slow");
    // Ended once it runs on the server.
    std::string ended = "0";
    for (int i = 0; i < 250 && ended == "0"; i++, usleep(10 * 1000))
        ended = pg_value("SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity WHERE "
                         "datname = 'korvane_scale' AND state = 'active' AND query LIKE "
                         "'%pg_sleep%'");
    ASSERT_NE(ended, "0");
    EXPECT_EQ(m.k->read_line(), "lookup-result|1|found|user1");
    EXPECT_EQ(m.k->finish(), 0);
    std::string err = m.k->err();
    EXPECT_NE(err.find("warn: korvane: trying to reconnect after error: "), std::string::npos)
        << err;
    EXPECT_NE(err.find("server conn crashed?"), std::string::npos) << err;
}

// Each with its cache kept true by a listener of its own straight to the
// server, beside the pool: a change and its notification reach every one.
TEST_F(scale, TwoHundredProcessesShareTheirPoolAndHealAfterARestart) {
    std::string conf = config("prepared_statements off\ncache_size 100\ncache_listen scale\n"
                              "cache_listen_conninfo " +
                              scale_db() + "\n");
    std::vector<fleet_member> fleet(200);
    int started = 0;
    for (fleet_member &m : fleet)
        started += start(m, conf) ? 1 : 0;
    ASSERT_EQ(started, 200);

    // Every member asks at once, then every reply is read: the pool is
    // shared by 200 conversations in flight.
    int right = 0, errors = 0, wrong = 0, most = 0;
    auto round = [&](int r) {
        for (size_t i = 0; i < fleet.size(); i++)
            fleet[i].k->send("table|0.1|1|t|lookup|alias|" + std::to_string(++fleet[i].serial) +
                             "|user" + std::to_string((i * 7 + r) % 1000));
        most = std::max(most, server_connections());
        for (size_t i = 0; i < fleet.size(); i++) {
            std::string reply = fleet[i].k->read_line();
            std::string head = "lookup-result|" + std::to_string(fleet[i].serial) + "|";
            if (reply == head + "found|target" + std::to_string((i * 7 + r) % 1000))
                right++;
            else if (reply == head + "error")
                errors++;
            else
                wrong++, ADD_FAILURE() << "member " << i << ": " << reply;
        }
    };
    for (int r = 0; r < 10; r++)
        round(r);
    EXPECT_EQ(right, 2000);
    EXPECT_EQ(errors, 0);

    pgtest("bouncer-restart " + state);
    // Each member notices the lost connection on its next statement and
    // reconnects; the retry answers, or at worst the request after it.
    int healed_errors = errors;
    for (int r = 10; r < 13; r++)
        round(r);
    healed_errors = errors - healed_errors;
    int right_after = right;
    round(13);
    right_after = right - right_after;
    // Every member has user1 cached, as its database held it; the change
    // is answered by all of them within the coherence window.
    auto everyone = [&](const std::string &value) {
        int saw = 0;
        for (fleet_member &m : fleet) {
            std::string id = std::to_string(++m.serial);
            saw += m.k->ask("table|0.1|1|t|lookup|alias|" + id + "|user1") ==
                           "lookup-result|" + id + "|found|" + value
                       ? 1
                       : 0;
        }
        return saw;
    };
    EXPECT_EQ(everyone("target1"), 200);
    EXPECT_EQ(everyone("target1"), 200);
    scale_exec("UPDATE scale_alias SET v = 'moved' WHERE k = 'user1'; NOTIFY scale, 'alias:user1'");
    usleep(200 * 1000);
    int moved = everyone("moved");
    scale_exec("UPDATE scale_alias SET v = 'target1' WHERE k = 'user1'; NOTIFY scale");
    printf("scale: the change answered by %d of 200 processes after 200 ms\n", moved);
    EXPECT_EQ(moved, 200);
    printf("scale: 200 processes, %d right, %d errors (%d in the three rounds after the "
           "restart), %d wrong; at most %d server connections of a pool of %d\n",
           right, errors, healed_errors, wrong, most, pool);
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(right_after, 200);
    EXPECT_LE(most, pool);
    EXPECT_LE(healed_errors, 200);
    for (fleet_member &m : fleet)
        EXPECT_EQ(m.k->finish(), 0);
}

// With prepared statements on, every korvane names its first statement
// stmt0, and the pooler hands a server connection on which another client
// prepared it: start-up fails, as an admin sees it.
TEST_F(scale, PreparedStatementsBreakBehindTransactionPooling) {
    std::string conf = config("");
    std::vector<fleet_member> fleet(20);
    int failed = 0;
    std::string shown;
    for (fleet_member &m : fleet) {
        if (!start(m, conf)) {
            failed++;
            if (shown.empty())
                shown = m.k->err();
        }
    }
    printf("prepared statements on: %d of 20 did not start; the first said:\n%s", failed,
           shown.c_str());
    EXPECT_GT(failed, 0);
    EXPECT_NE(shown.find("warn: PQprepare: ERROR:  prepared statement \"stmt0\" already exists"),
              std::string::npos)
        << shown;
    EXPECT_NE(shown.find("fatal: could not connect"), std::string::npos) << shown;
    for (fleet_member &m : fleet)
        if (m.serving)
            m.k->finish();
}

} // namespace
