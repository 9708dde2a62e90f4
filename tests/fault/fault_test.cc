// korvane keeps answering correctly while the database misbehaves: each case
// is a scripted host conversation against real PostgreSQL servers, counting
// wrong answers (never allowed), "error" replies (bounded per fault) and
// process exits (never allowed). Counts are printed for the record.
#include "tests/helpers/pg.h"
#include "tests/helpers/process.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace {

const std::string korvane = KORVANE_BIN;

struct tally {
    int right = 0;
    int errors = 0;
    int wrong = 0;
};

// A korvane serving the fault tables, spoken to one request at a time.
class host {
  public:
    explicit host(const std::string &config) {
        started_ = k_.start({korvane, config});
        k_.send("config|protocol|0.1");
        k_.send("config|ready");
        for (int i = 0; i < 10; i++)
            if (k_.read_line().rfind("register|", 0) != 0)
                started_ = false;
    }
    bool started() const { return started_; }
    pid_t pid() const { return k_.pid(); }

    // Looks up user<n>, whose alias is target<n>, and scores the reply.
    std::string lookup(int n, tally &t) {
        std::string id = std::to_string(++serial_);
        std::string reply =
            k_.ask("table|0.1|1|t|lookup|alias|" + id + "|user" + std::to_string(n));
        if (reply == "lookup-result|" + id + "|found|target" + std::to_string(n)) {
            t.right++;
        } else if (reply == "lookup-result|" + id + "|error") {
            t.errors++;
        } else {
            t.wrong++;
            ADD_FAILURE() << "wrong answer for user" << n << ": " << reply;
        }
        return reply;
    }
    std::string ask(const std::string &line) { return k_.ask(line); }
    int finish() { return k_.finish(); }
    std::string err() const { return k_.err(); }

  private:
    child_process k_;
    bool started_ = false;
    int serial_ = 0;
};

const std::string query = "query_alias SELECT v FROM fault_alias WHERE k = $1\n";

void create_tables() {
    pg_exec("DROP TABLE IF EXISTS fault_alias;"
            "CREATE TABLE fault_alias (k text PRIMARY KEY, v text);"
            "INSERT INTO fault_alias SELECT 'user' || i, 'target' || i "
            "FROM generate_series(0, 999) i");
}

class fault : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { create_tables(); }
};

TEST_F(fault, TerminatedConnectionIsAnsweredCorrectlyNextTime) {
    host h(pg_config_file("fault_term", query));
    ASSERT_TRUE(h.started());
    tally t;
    int injected = 0;
    for (int i = 0; i < 20; i++) {
        h.lookup(i, t);
        injected += pg_terminate("fault_term");
        usleep(20 * 1000);
        h.lookup(i + 100, t);
    }
    printf("termination: %d faults, %d right, %d errors, %d wrong\n", injected, t.right, t.errors,
           t.wrong);
    EXPECT_EQ(injected, 20);
    EXPECT_EQ(t.wrong, 0);
    EXPECT_EQ(t.errors, 0);
    EXPECT_EQ(h.finish(), 0);
}

TEST_F(fault, RestartCostsAtMostOneErrorEach) {
    host h(pg_config_file("fault_restart", query));
    ASSERT_TRUE(h.started());
    tally t;
    int restarts = 0;
    for (const char *mode : {"fast", "immediate", "fast", "immediate"}) {
        h.lookup(1, t);
        pg_control(std::string("restart ") + mode);
        restarts++;
        int before = t.errors;
        h.lookup(2, t);
        h.lookup(3, t);
        EXPECT_LE(t.errors - before, 1) << mode;
    }
    printf("restart: %d restarts, %d right, %d errors, %d wrong\n", restarts, t.right, t.errors,
           t.wrong);
    EXPECT_EQ(t.wrong, 0);
    EXPECT_LE(t.errors, restarts);
    EXPECT_EQ(h.finish(), 0);
}

TEST_F(fault, ServerDownForSecondsGivesErrorsWithoutBusyLooping) {
    host h(pg_config_file("fault_down", query));
    ASSERT_TRUE(h.started());
    tally up_before, down, up_after;
    h.lookup(5, up_before);
    pg_control("down");
    double cpu_start = cpu_seconds(h.pid());
    // Three seconds down: a request every 100 ms, then two quiet seconds.
    for (int i = 0; i < 30; i++) {
        h.lookup(i, down);
        usleep(100 * 1000);
    }
    double cpu_busy = cpu_seconds(h.pid());
    sleep(2);
    double cpu_idle = cpu_seconds(h.pid());
    pg_control("up");
    for (int i = 0; i < 10; i++)
        h.lookup(i, up_after);
    printf("down: %d requests while down gave %d errors, %d wrong; korvane used %.2f s cpu "
           "over 3 s of requests and %.2f s over 2 quiet seconds; after: %d right, %d errors\n",
           down.right + down.errors + down.wrong, down.errors, down.wrong, cpu_busy - cpu_start,
           cpu_idle - cpu_busy, up_after.right, up_after.errors);
    EXPECT_EQ(down.errors, 30);
    EXPECT_EQ(down.wrong, 0);
    EXPECT_LT(cpu_busy - cpu_start, 0.5);
    EXPECT_LT(cpu_idle - cpu_busy, 0.05);
    EXPECT_EQ(up_after.right, 10);
    EXPECT_EQ(h.finish(), 0);
}

TEST_F(fault, StatementTimeoutFailsOneRequestAndKeepsTheConnection) {
    std::string slow = "query_alias SELECT CASE WHEN $1 = 'slow' THEN (SELECT 'x' FROM "
                       "pg_sleep(2)) ELSE (SELECT v FROM fault_alias WHERE k = $1) END\n";
    std::string path = temp_path("conf");
    write_file(path, "conninfo " + pg_conninfo() +
                         " application_name=fault_slow options='-c statement_timeout=200'\n" +
                         slow);
    host h(path);
    ASSERT_TRUE(h.started());
    tally t;
    h.lookup(7, t);
    std::string pid_before = pg_value("SELECT pid FROM pg_stat_activity WHERE application_name "
                                      "= 'fault_slow'");
    EXPECT_EQ(h.ask("table|0.1|1|t|lookup|alias|s|slow"), "lookup-result|s|error");
    h.lookup(8, t);
    EXPECT_EQ(pg_value("SELECT pid FROM pg_stat_activity WHERE application_name = 'fault_slow'"),
              pid_before);
    EXPECT_EQ(t.right, 2);
    EXPECT_EQ(h.finish(), 0);
    std::string err = h.err();
    EXPECT_NE(err.find("warn: PQexecPrepared: ERROR:  canceling statement due to statement "
                       "timeout"),
              std::string::npos)
        << err;
    EXPECT_EQ(err.find("reconnect"), std::string::npos) << err;
}

TEST_F(fault, UpdateWhileDownKeepsTheOldBackend) {
    std::string path = pg_config_file("fault_update", query);
    host h(path);
    ASSERT_TRUE(h.started());
    tally t;
    h.lookup(9, t);
    // The file now asks for other answers; they must not be served.
    write_file(path, "conninfo " + pg_conninfo() +
                         " application_name=fault_update\n"
                         "query_alias SELECT upper(v) FROM fault_alias WHERE k = $1\n");
    pg_control("down");
    EXPECT_EQ(h.ask("table|0.1|1|t|update|u"), "update-result|u|error");
    pg_control("up");
    for (int i = 0; i < 5; i++)
        h.lookup(i, t);
    EXPECT_EQ(t.right, 6);
    EXPECT_EQ(t.wrong, 0);
    EXPECT_EQ(h.finish(), 0);
}

// Failover: korvane names a primary and its streaming standby and wants the
// writable one; the primary stops and the standby is promoted.
TEST(fault_failover, PromotedStandbyTakesOverWithoutRestart) {
    std::string primary = temp_path("primary-state");
    std::string standby = temp_path("standby-state");
    unlink(primary.c_str());
    unlink(standby.c_str());
    const std::string script = PGTEST_SCRIPT;
    ASSERT_EQ(system((script + " start " + primary + " >/dev/null").c_str()), 0);
    std::string p_conn = read_file(primary + "/conninfo");
    std::string setup = "psql -q \"" + p_conn.substr(0, p_conn.size() - 1) +
                        "\" -c \"CREATE TABLE fault_alias (k text PRIMARY KEY, v text); "
                        "INSERT INTO fault_alias SELECT 'user' || i, 'target' || i FROM "
                        "generate_series(0, 999) i\" >/dev/null";
    ASSERT_EQ(system(setup.c_str()), 0);
    ASSERT_EQ(system((script + " standby " + standby + " " + primary + " >/dev/null").c_str()), 0);

    auto field = [](const std::string &state, const char *name) {
        std::string env = read_file(state + "/env");
        size_t at = env.find(std::string(name) + "=");
        size_t end = env.find('\n', at);
        return env.substr(at + strlen(name) + 1, end - at - strlen(name) - 1);
    };
    std::string conf = temp_path("conf");
    write_file(conf, "conninfo host=" + field(primary, "PGSOCK") + "," + field(standby, "PGSOCK") +
                         " port=" + field(primary, "PGPORT_NUM") + "," +
                         field(standby, "PGPORT_NUM") +
                         " dbname=postgres user=postgres target_session_attrs=read-write "
                         "connect_timeout=5 application_name=fault_failover\n" +
                         query);
    tally before, gap, after;
    {
        host h(conf);
        ASSERT_TRUE(h.started());
        for (int i = 0; i < 5; i++)
            h.lookup(i, before);
        ASSERT_EQ(system((script + " down " + primary + " immediate").c_str()), 0);
        // The gap: the primary is gone and the standby is not yet promoted.
        for (int i = 0; i < 3; i++)
            h.lookup(i, gap);
        ASSERT_EQ(system((script + " promote " + standby).c_str()), 0);
        for (int i = 0; i < 20; i++)
            h.lookup(i, after);
        EXPECT_EQ(h.finish(), 0);
    }
    printf("failover: %d errors in the gap (of %d requests), then %d right, %d errors, "
           "%d wrong\n",
           gap.errors, gap.right + gap.errors + gap.wrong, after.right, after.errors, after.wrong);
    EXPECT_EQ(before.right, 5);
    EXPECT_EQ(gap.wrong + after.wrong, 0);
    EXPECT_EQ(after.right, 20);
    for (const std::string &state : {standby, primary}) {
        EXPECT_EQ(system((script + " stop " + state).c_str()), 0);
        rmdir(state.c_str());
    }
}

// A long conversation with a connection termination every thousand requests
// leaves korvane's memory and descriptors flat.
TEST_F(fault, SoakWithTerminationsStaysFlat) {
    host h(pg_config_file("fault_soak", query));
    ASSERT_TRUE(h.started());
    tally t;
    const int requests = 100000;
    long rss_start = 0;
    int fds_start = 0;
    long rss_max = 0;
    int terminations = 0;
    for (int i = 0; i < requests; i++) {
        if (i > 0 && i % 1000 == 0) {
            terminations += pg_terminate("fault_soak");
            long rss = rss_kib(h.pid());
            rss_max = std::max(rss_max, rss);
            if (i == 10000) {
                rss_start = rss;
                fds_start = count_open_fds(h.pid());
            }
        }
        h.lookup(i % 1000, t);
        if (t.wrong > 0)
            break;
    }
    long rss_end = rss_kib(h.pid());
    int fds_end = count_open_fds(h.pid());
    printf("soak: %d requests, %d terminations, %d right, %d errors, %d wrong; rss %ld KiB at "
           "10k requests, %ld KiB at the end (max %ld), fds %d -> %d\n",
           requests, terminations, t.right, t.errors, t.wrong, rss_start, rss_end, rss_max,
           fds_start, fds_end);
    EXPECT_EQ(t.wrong, 0);
    EXPECT_EQ(t.errors, 0);
    EXPECT_EQ(fds_end, fds_start);
#if !defined(__SANITIZE_ADDRESS__)
    // The sanitizer's quarantine keeps freed memory resident on purpose; its
    // leak checker, which fails korvane's exit, covers that build instead.
    EXPECT_LT(rss_end - rss_start, 256);
#endif
    EXPECT_EQ(h.finish(), 0);
}

} // namespace
