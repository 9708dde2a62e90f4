// The built korvane serving a scripted host conversation against the real
// throwaway PostgreSQL server: stdout byte for byte, stderr lines and the
// exit status.
#include "tests/helpers/host.h"
#include "tests/helpers/pg.h"
#include "tests/helpers/process.h"
#include "tests/helpers/relay.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <pwd.h>
#include <regex>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string korvane = KORVANE_BIN;
const std::string korvane_query = KORVANE_QUERY_BIN;

// The korvane command line; under KORVANE_MEMCHECK every korvane runs in
// valgrind's memcheck, which turns any error or definite leak into exit
// status 99 and keeps its own report out of korvane's stderr.
std::vector<std::string> kv(std::vector<std::string> args) {
    std::vector<std::string> argv;
    if (getenv("KORVANE_MEMCHECK") != nullptr)
        argv = {"/usr/bin/valgrind",
                "--quiet",
                "--error-exitcode=99",
                "--leak-check=full",
                "--show-leak-kinds=definite",
                "--errors-for-leak-kinds=definite",
                "--log-file=" + std::string(getenv("KORVANE_MEMCHECK")) + "/memcheck.%p.log"};
    argv.push_back(korvane);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

std::string q(const char *svc, const char *cols) {
    return std::string("query_") + svc + " SELECT " + cols + " FROM e2e WHERE svc = '" + svc +
           "' AND k = $1 ORDER BY pos\n";
}

const std::string services = q("alias", "v") + q("domain", "v") + q("credentials", "v, v2") +
                             q("netaddr", "v") + q("userinfo", "v, v2, v3") + q("source", "v") +
                             q("mailaddr", "v") + q("addrname", "v") + q("mailaddrmap", "v") +
                             "fetch_source SELECT s FROM e2e_src\n";

// Starts korvane with the configuration and completes the handshake; false
// unless the whole register block came back.
bool start_serving(child_process &k, const std::string &conf, const child_setup *setup = nullptr) {
    if (!(setup != nullptr ? k.start({korvane, conf}, setup) : k.start(kv({conf}))))
        return false;
    return host_handshake(k);
}

// What Debian's node exporter, reading dir with its textfile collector
// only, serves on a loopback port of its own.
std::string scrape_textfiles(const std::string &dir) {
    int port = 0;
    {
        silent_endpoint probe;
        port = probe.port();
    }
    child_process exporter;
    if (!exporter.start({"/usr/bin/prometheus-node-exporter", "--collector.disable-defaults",
                         "--collector.textfile", "--collector.textfile.directory=" + dir,
                         "--web.listen-address=127.0.0.1:" + std::to_string(port)}))
        return "";
    std::string scraped;
    for (int i = 0; i < 100 && scraped.find("korvane_") == std::string::npos; i++) {
        usleep(50 * 1000);
        int fd = loopback_connect(port);
        if (fd < 0)
            continue;
        (void)!write(fd, "GET /metrics HTTP/1.0\r\n\r\n", 26);
        char buf[65536];
        for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
            scraped.append(buf, static_cast<size_t>(n));
        close(fd);
    }
    kill(exporter.pid(), SIGTERM);
    (void)exporter.finish();
    return scraped;
}

class e2e : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        pg_exec(R"sql(
DROP TABLE IF EXISTS e2e, e2e_src;
CREATE TABLE e2e (svc text, k text, v text, v2 text, v3 text, pos int);
CREATE TABLE e2e_src (s text);
INSERT INTO e2e VALUES
 ('alias', 'postmaster', 'root', NULL, NULL, 1),
 ('alias', 'postmaster', 'admin@example.org', NULL, NULL, 2),
 ('alias', 'emptyfirst', '', NULL, NULL, 1),
 ('alias', 'emptyfirst', 'x', NULL, NULL, 2),
 ('alias', 'emptymid', 'x', NULL, NULL, 1),
 ('alias', 'emptymid', '', NULL, NULL, 2),
 ('alias', 'emptymid', 'y', NULL, NULL, 3),
 ('alias', 'sepfull', repeat('a', 2046), NULL, NULL, 1),
 ('alias', 'sepfull', 'b', NULL, NULL, 2),
 ('alias', 'valfull', repeat('a', 2000), NULL, NULL, 1),
 ('alias', 'valfull', repeat('b', 46), NULL, NULL, 2),
 ('alias', 'valfits', repeat('a', 2000), NULL, NULL, 1),
 ('alias', 'valfits', repeat('b', 45), NULL, NULL, 2),
 ('alias', 'forged', E'x\nlookup-result|evil|found|attacker@evil', NULL, NULL, 1),
 ('domain', 'example.org', 'example.org', NULL, NULL, 1),
 ('domain', 'example.org', 'ignored', NULL, NULL, 2),
 ('domain', 'fits', repeat('d', 2047), NULL, NULL, 1),
 ('domain', 'toolong', repeat('d', 2048), NULL, NULL, 1),
 ('credentials', 'bob', 'bob', '{BLF-CRYPT}$2y$05$abc', NULL, 1),
 ('credentials', 'nopass', 'nopass', NULL, NULL, 1),
 ('credentials', 'fits', repeat('c', 2000), repeat('p', 46), NULL, 1),
 ('credentials', 'toolong', repeat('c', 2000), repeat('p', 47), NULL, 1),
 ('netaddr', '192.0.2.1', '192.0.2.0/24', NULL, NULL, 1),
 ('userinfo', 'bob', '1000', '1000', '/var/vmail/bob', 1),
 ('userinfo', 'fits', '1', '2', repeat('h', 2043), 1),
 ('userinfo', 'toolong', '1', '2', repeat('h', 2044), 1),
 ('source', '192.0.2.10', '192.0.2.10', NULL, NULL, 1),
 ('mailaddr', 'bob@example.org', 'bob@example.org', NULL, NULL, 1),
 ('addrname', 'bob@example.org', 'Bob Example', NULL, NULL, 1),
 ('mailaddrmap', 'bob@example.org', 'bob@example.org', NULL, NULL, 1),
 ('mailaddrmap', 'bob@example.org', 'b@example.org', NULL, NULL, 2);
INSERT INTO e2e_src VALUES ('b'), ('a'), ('c'), ('a');
)sql");
    }
    static std::string config(const std::string &extra = "", const std::string &app = "e2e") {
        return pg_config_file(app, services + extra);
    }
    static size_t count_lines(const std::string &text) {
        return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    }
    static std::string warn(const run_result &r, const std::string &text) {
        return log_line("korvane", r.pid, text);
    }
};

TEST_F(e2e, EveryServiceAnswersCheckAndLookup) {
    std::string input = hello;
    std::string expect = registers;
    struct ask {
        const char *svc, *key, *value; // null value: not found
    };
    const ask asks[] = {
        {"alias", "postmaster", "root, admin@example.org"},
        {"alias", "nobody", nullptr},
        {"domain", "example.org", "example.org"},
        {"domain", "example.com", nullptr},
        {"credentials", "bob", "bob:{BLF-CRYPT}$2y$05$abc"},
        {"credentials", "nopass", "nopass:"},
        {"netaddr", "192.0.2.1", "192.0.2.0/24"},
        {"userinfo", "bob", "1000:1000:/var/vmail/bob"},
        {"source", "192.0.2.10", "192.0.2.10"},
        {"mailaddr", "bob@example.org", "bob@example.org"},
        {"addrname", "bob@example.org", "Bob Example"},
        {"mailaddrmap", "bob@example.org", "bob@example.org, b@example.org"},
        {"mailaddrmap", "", nullptr},
    };
    int id = 0;
    for (const ask &a : asks) {
        std::string n = std::to_string(id++);
        input += host_request("check", a.svc, "c" + n, a.key) +
                 host_request("lookup", a.svc, "l" + n, a.key);
        expect += "check-result|c" + n + (a.value ? "|found\n" : "|not-found\n");
        expect += "lookup-result|l" + n +
                  (a.value ? std::string("|found|") + a.value + "\n" : "|not-found\n");
    }
    run_result r = run_program(kv({config()}), input);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, expect);
    EXPECT_EQ(r.err, warn(r, "debug: (re)connecting") + warn(r, "debug: connected"));
}

TEST_F(e2e, JoinsKeepEmptyValuesInPlace) {
    run_result r =
        run_program(kv({config()}), hello + host_request("lookup", "alias", "1", "emptyfirst") +
                                        host_request("lookup", "alias", "2", "emptymid"));
    EXPECT_EQ(r.out, registers + "lookup-result|1|found|x\nlookup-result|2|found|x, , y\n");
}

TEST_F(e2e, ValuesUpTo2047BytesFitAndLongerOnesFail) {
    std::string input = hello + host_request("lookup", "domain", "1", "fits") +
                        host_request("lookup", "domain", "2", "toolong") +
                        host_request("lookup", "credentials", "3", "fits") +
                        host_request("lookup", "credentials", "4", "toolong") +
                        host_request("lookup", "userinfo", "5", "fits") +
                        host_request("lookup", "userinfo", "6", "toolong") +
                        host_request("lookup", "alias", "7", "valfits") +
                        host_request("lookup", "alias", "8", "sepfull") +
                        host_request("lookup", "alias", "9", "valfull") +
                        host_request("lookup", "alias", "10", "postmaster");
    run_result r = run_program(kv({config()}), input);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, registers + "lookup-result|1|found|" + std::string(2047, 'd') +
                         "\nlookup-result|2|error\n"
                         "lookup-result|3|found|" +
                         std::string(2000, 'c') + ":" + std::string(46, 'p') +
                         "\nlookup-result|4|error\n"
                         "lookup-result|5|found|1:2:" +
                         std::string(2043, 'h') +
                         "\nlookup-result|6|error\n"
                         "lookup-result|7|found|" +
                         std::string(2000, 'a') + ", " + std::string(45, 'b') +
                         "\nlookup-result|8|error\nlookup-result|9|error\n"
                         "lookup-result|10|found|root, admin@example.org\n");
    const std::string large = warn(r, "warn: result too large");
    EXPECT_EQ(r.err, warn(r, "debug: (re)connecting") + warn(r, "debug: connected") + large +
                         large + large + large + warn(r, "warn: esult too large"));
}

// Regression: a value holding a line feed used to end the reply early and
// hand the host a forged reply line of its own.
TEST_F(e2e, ValueHoldingALineFeedCannotForgeAReply) {
    pg_exec("INSERT INTO e2e_src VALUES (E'z\\nfetch-result|evil|found|x')");
    std::string conf = config();
    run_result r = run_program(kv({conf}), hello + host_request("lookup", "alias", "1", "forged") +
                                               host_fetch("f1") + host_fetch("f2") +
                                               host_fetch("f3") + host_fetch("f4") +
                                               host_request("check", "alias", "2", "forged"));
    pg_exec("DELETE FROM e2e_src WHERE s LIKE 'z%'");
    EXPECT_EQ(r.out, registers + "lookup-result|1|error\nfetch-result|f1|found|a\n"
                                 "fetch-result|f2|found|b\nfetch-result|f3|found|c\n"
                                 "fetch-result|f4|error\ncheck-result|2|found\n");
    EXPECT_NE(r.err.find(warn(r, "warn: lookup alias: value holds a line feed")), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find(warn(r, "warn: fetch source: value holds a line feed")), std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("attacker"), std::string::npos);
    EXPECT_EQ(r.err.find("evil"), std::string::npos);
}

// A server notice is a log record like any other: korvane's prefix, one
// line, its control bytes escaped.
TEST_F(e2e, ServerNoticesAreLogRecords) {
    pg_exec("CREATE OR REPLACE FUNCTION e2e_notice(k text) RETURNS text LANGUAGE plpgsql AS "
            "$$ BEGIN RAISE NOTICE 'seen %', k; RETURN k; END $$");
    run_result r =
        run_program(kv({pg_config_file("e2e", "query_addrname SELECT e2e_notice($1)\n")}),
                    hello + host_request("lookup", "addrname", "1", "a\rb"));
    EXPECT_EQ(r.out, registers + "lookup-result|1|found|a\rb\n");
    EXPECT_NE(r.err.find(warn(r, "warn: NOTICE:  seen a\\x0db")), std::string::npos) << r.err;
}

// Supervisors start daemons with standard descriptors closed; the first
// socket must not become descriptor 2 and take the log into the database
// stream. A host that closes korvane's output ends it with the engine's
// own error line, not a silent signal death.
TEST_F(e2e, ClosedStandardDescriptorsAndAClosedOutput) {
    std::vector<std::string> shell = {"/bin/sh", "-c", "exec \"$@\" 2>&-", "sh"};
    std::vector<std::string> k = kv({config()});
    shell.insert(shell.end(), k.begin(), k.end());
    run_result r = run_program(shell, hello + host_request("lookup", "domain", "1", "example.org"));
    EXPECT_EQ(r.out, registers + "lookup-result|1|found|example.org\n");
    EXPECT_EQ(r.status, 0);
    shell[2] = "\"$@\" | true";
    r = run_program(shell, hello + host_request("lookup", "domain", "1", "example.org"));
    EXPECT_NE(r.err.find("fflush: Broken pipe"), std::string::npos) << r.err;
}

// Regression: a query with fewer columns than its answer needs used to hand
// a null pointer to a string routine.
TEST_F(e2e, QueryWithTooFewColumnsFails) {
    std::string conf = pg_config_file("e2e", "query_credentials SELECT v FROM e2e WHERE k = $1\n"
                                             "query_userinfo SELECT v, v2 FROM e2e WHERE k = $1\n"
                                             "query_alias SELECT FROM e2e WHERE k = $1\n"
                                             "fetch_source SELECT FROM e2e_src\n");
    run_result r = run_program(
        kv({conf}), hello + host_request("lookup", "credentials", "1", "bob") +
                        host_request("lookup", "userinfo", "2", "bob") +
                        host_request("lookup", "alias", "3", "postmaster") +
                        host_request("check", "alias", "4", "postmaster") + host_fetch("5"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, registers + "lookup-result|1|error\nlookup-result|2|error\n"
                                 "lookup-result|3|error\ncheck-result|4|found\n"
                                 "fetch-result|5|error\n");
    EXPECT_EQ(r.err,
              warn(r, "debug: (re)connecting") + warn(r, "debug: connected") +
                  warn(r, "warn: lookup credentials: query returns 1 columns, the answer needs 2") +
                  warn(r, "warn: lookup userinfo: query returns 2 columns, the answer needs 3") +
                  warn(r, "warn: lookup alias: query returns 0 columns, the answer needs 1") +
                  warn(r, "warn: fetch source: query returns 0 columns, the answer needs 1"));
}

TEST_F(e2e, FetchRotatesThroughTheSortedList) {
    std::string input = hello;
    for (int i = 0; i < 7; i++)
        input += host_fetch(std::to_string(i));
    input += "table|0.1|1|t|fetch|alias|x\n";
    run_result r = run_program(kv({config()}), input);
    EXPECT_EQ(r.out, registers + "fetch-result|0|found|a\nfetch-result|1|found|b\n"
                                 "fetch-result|2|found|c\nfetch-result|3|found|a\n"
                                 "fetch-result|4|found|b\nfetch-result|5|found|c\n"
                                 "fetch-result|6|found|a\nfetch-result|x|error\n");
}

TEST_F(e2e, FetchRefreshesByUseCount) {
    child_process k;
    ASSERT_TRUE(start_serving(k, config("fetch_source_refresh 3\n")));
    EXPECT_EQ(k.ask(host_fetch("1").substr(0, host_fetch("1").size() - 1)),
              "fetch-result|1|found|a");
    EXPECT_EQ(k.ask("table|0.1|1|t|fetch|source|2"), "fetch-result|2|found|b");
    pg_exec("INSERT INTO e2e_src VALUES ('0new')");
    EXPECT_EQ(k.ask("table|0.1|1|t|fetch|source|3"), "fetch-result|3|found|c");
    // The fourth answer reloads the list and starts again at its smallest.
    EXPECT_EQ(k.ask("table|0.1|1|t|fetch|source|4"), "fetch-result|4|found|0new");
    EXPECT_EQ(k.ask("table|0.1|1|t|fetch|source|5"), "fetch-result|5|found|a");
    pg_exec("DELETE FROM e2e_src WHERE s = '0new'");
    EXPECT_EQ(k.finish(), 0);
}

TEST_F(e2e, FetchRefreshesByAgeAndCachesAnEmptyList) {
    pg_exec("CREATE TABLE IF NOT EXISTS e2e_src2 (s text); TRUNCATE e2e_src2");
    std::string conf = pg_config_file("e2e", "fetch_source SELECT s FROM e2e_src2\n"
                                             "fetch_source_expire 1\n");
    child_process k;
    ASSERT_TRUE(start_serving(k, conf));
    // The list's age counts whole seconds of the clock: starting just after
    // a second begins keeps the next two fetches in one second, however
    // slow the machine (a sanitizer build, say).
    timeval now{};
    gettimeofday(&now, nullptr);
    usleep(static_cast<useconds_t>(1000000 - now.tv_usec + 20000));
    EXPECT_EQ(k.ask("table|0.1|1|t|fetch|source|1"), "fetch-result|1|not-found");
    pg_exec("INSERT INTO e2e_src2 VALUES ('s1')");
    // Still the cached empty list until it is a second old.
    EXPECT_EQ(k.ask("table|0.1|1|t|fetch|source|2"), "fetch-result|2|not-found");
    usleep(2100 * 1000);
    EXPECT_EQ(k.ask("table|0.1|1|t|fetch|source|3"), "fetch-result|3|found|s1");
    EXPECT_EQ(k.ask("table|0.1|1|t|fetch|source|4"), "fetch-result|4|found|s1");
    EXPECT_EQ(k.finish(), 0);
}

// The lookup cache against the database: it answers without asking, a
// committed change that notifies is seen by the next lookup, a lost
// listening connection flushes, and an outage is served from entries
// within their TTL plus cache_stale, until the database is back.
TEST_F(e2e, CacheStaysTrueThroughNotificationsReconnectsAndOutages) {
    pg_exec("DROP TABLE IF EXISTS e2e_cache; CREATE TABLE e2e_cache (k text PRIMARY KEY, v text);"
            "INSERT INTO e2e_cache VALUES ('a', '1'), ('b', 'b1')");
    std::string conf =
        pg_config_file("e2e_cache", "query_alias SELECT v FROM e2e_cache WHERE k = $1\n"
                                    "query_domain SELECT v FROM e2e_cache WHERE k = $1\n"
                                    "cache_size 100\ncache_negative_ttl 1\ncache_stale 60\n"
                                    "cache_services alias\ncache_listen korvane_e2e\n"
                                    "fetch_source SELECT s FROM e2e_src\n");
    child_process k;
    ASSERT_TRUE(start_serving(k, conf));
    int id = 0;
    auto lookup = [&](const char *svc, const char *key) {
        std::string n = std::to_string(++id);
        std::string reply = k.ask(std::string("table|0.1|1|t|lookup|") + svc + "|" + n + "|" + key);
        return reply.substr(reply.find('|', 14) + 1);
    };
    // Entries answer once the listener listens; nothing waits for it.
    ASSERT_TRUE(pg_wait_listening("e2e_cache-listen"));
    EXPECT_EQ(lookup("alias", "a"), "found|1");
    EXPECT_EQ(lookup("alias", "missing"), "not-found");
    pg_exec("UPDATE e2e_cache SET v = '2' WHERE k = 'a'; INSERT INTO e2e_cache VALUES ('missing', "
            "'m')");
    // Without a notification the entries answer; an uncached service asks.
    EXPECT_EQ(lookup("alias", "a"), "found|1");
    EXPECT_EQ(lookup("alias", "missing"), "not-found");
    EXPECT_EQ(lookup("domain", "a"), "found|2");
    // The server delivers a notification a moment after the commit; the
    // benchmark measures that window, the test steps past it.
    auto notify = [](const std::string &sql) {
        pg_exec(sql);
        usleep(50 * 1000);
    };
    notify("UPDATE e2e_cache SET v = '3' WHERE k = 'a'; NOTIFY korvane_e2e, 'alias:a'");
    EXPECT_EQ(lookup("alias", "a"), "found|3");
    // The negative TTL of a second runs out.
    usleep(1100 * 1000);
    EXPECT_EQ(lookup("alias", "missing"), "found|m");
    // A whole-service payload flushes every key of it.
    pg_exec("UPDATE e2e_cache SET v = 'b2' WHERE k = 'b'");
    EXPECT_EQ(lookup("alias", "b"), "found|b2");
    notify("UPDATE e2e_cache SET v = 'b3' WHERE k = 'b'; NOTIFY korvane_e2e, 'alias'");
    EXPECT_EQ(lookup("alias", "b"), "found|b3");
    // "source" reloads the list that fetch hands out, and the rotation goes
    // on after the source handed out last.
    EXPECT_EQ(k.ask("table|0.1|1|t|fetch|source|f1"), "fetch-result|f1|found|a");
    pg_exec("INSERT INTO e2e_src VALUES ('0new')");
    EXPECT_EQ(k.ask("table|0.1|1|t|fetch|source|f2"), "fetch-result|f2|found|b");
    notify("NOTIFY korvane_e2e, 'source'");
    EXPECT_EQ(k.ask("table|0.1|1|t|fetch|source|f3"), "fetch-result|f3|found|c");
    EXPECT_EQ(k.ask("table|0.1|1|t|fetch|source|f4"), "fetch-result|f4|found|0new");
    pg_exec("DELETE FROM e2e_src WHERE s = '0new'");

    // A change made while the connection is gone cannot be heard: the lost
    // listening connection is noticed, and the entries no longer answer.
    ASSERT_EQ(pg_terminate("e2e_cache-listen"), 1);
    pg_exec("UPDATE e2e_cache SET v = '4' WHERE k = 'a'");
    EXPECT_EQ(lookup("alias", "a"), "found|4");

    // A bulk change: the 20,001st notification of one transaction is read
    // before the next answer.
    notify("UPDATE e2e_cache SET v = '6' WHERE k = 'a'; SELECT pg_notify('korvane_e2e', "
           "'alias:bulk' || i) FROM generate_series(1, 20000) i; NOTIFY korvane_e2e, 'alias:a'");
    EXPECT_EQ(lookup("alias", "a"), "found|6");
    // Notifications for services nobody asks from the cache are read too.
    [[maybe_unused]] long rss = rss_kib(k.pid());
    notify("SELECT pg_notify('korvane_e2e', 'domain:n' || i) FROM generate_series(1, 200000) i");
    for (int i = 0; i < 20; i++)
        EXPECT_EQ(lookup("domain", "b"), "found|b3");
#if !defined(__SANITIZE_ADDRESS__)
    if (getenv("KORVANE_MEMCHECK") == nullptr) {
        EXPECT_LT(rss_kib(k.pid()), rss + 2048);
    }
#endif
    // The listening server process stops: without a sign of life for 2 s
    // the entries no longer answer as fresh, and a new connection does.
    std::string pid;
    for (int i = 0; i < 100 && pid.empty(); i++, usleep(20 * 1000))
        pid = pg_value("SELECT pid FROM pg_stat_activity WHERE application_name = "
                       "'e2e_cache-listen'");
    pid_t listener = std::stoi(pid);
    kill(listener, SIGSTOP);
    pg_exec("UPDATE e2e_cache SET v = '7' WHERE k = 'a'");
    auto stopped = std::chrono::steady_clock::now();
    while (lookup("alias", "a") != "found|7" &&
           std::chrono::steady_clock::now() - stopped < std::chrono::seconds(5))
        usleep(50 * 1000);
    double fresh_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - stopped)
            .count();
    kill(listener, SIGCONT);
    printf("stopped listener: the change answered %.0f ms after the stop\n", fresh_ms);
    EXPECT_LT(fresh_ms, 3000);
    // A new listener took over, and once it listens entries answer as
    // fresh again: a change it is not told of is not seen.
    std::string replaced;
    for (int i = 0; i < 100 && replaced != "1"; i++, usleep(20 * 1000))
        replaced = pg_value("SELECT count(*) FROM pg_stat_activity WHERE application_name = "
                            "'e2e_cache-listen' AND pid <> " +
                            pid + " AND state = 'idle' AND query LIKE 'LISTEN%'");
    EXPECT_EQ(replaced, "1");
    EXPECT_EQ(lookup("alias", "a"), "found|7");
    pg_exec("UPDATE e2e_cache SET v = '7b' WHERE k = 'a'");
    EXPECT_EQ(lookup("alias", "a"), "found|7");
    pg_exec("UPDATE e2e_cache SET v = '7' WHERE k = 'a'");

    // An outage: cached keys answer from their entries, others error.
    pg_control("down");
    EXPECT_EQ(lookup("alias", "a"), "found|7");
    EXPECT_EQ(lookup("alias", "b"), "found|b3");
    EXPECT_EQ(lookup("alias", "never"), "error");
    EXPECT_EQ(lookup("domain", "a"), "error");
    pg_control("up");
    pg_exec("UPDATE e2e_cache SET v = '5' WHERE k = 'a'");
    EXPECT_EQ(lookup("alias", "a"), "found|5");
    EXPECT_EQ(k.finish(), 0);
    std::string err = k.err();
    EXPECT_EQ(count_of(err, "warn: database unavailable; serving cached answers"), 1) << err;
}

// Regression: an expiry beyond the clock made a new backend's empty list
// look fresh, so fetch answered not-found until the use count ran out.
TEST_F(e2e, FirstFetchLoadsEvenWhenTheListNeverExpires) {
    child_process k;
    ASSERT_TRUE(start_serving(k, config("fetch_source_expire 2147483647\n")));
    EXPECT_EQ(k.ask("table|0.1|1|t|fetch|source|1"), "fetch-result|1|found|a");
    EXPECT_EQ(k.ask("table|0.1|1|t|fetch|source|2"), "fetch-result|2|found|b");
    EXPECT_EQ(k.finish(), 0);
}

TEST_F(e2e, UpdateTakesEffectOrLeavesTheOldBackendServing) {
    std::string conf = config("", "e2e_update");
    child_process k;
    ASSERT_TRUE(start_serving(k, conf));
    EXPECT_EQ(k.ask("table|0.1|1|t|lookup|domain|1|example.org"),
              "lookup-result|1|found|example.org");

    std::string old_text = read_file(conf);
    // A broken file: the old backend serves on.
    write_file(conf, old_text + "conninfo twice\n");
    EXPECT_EQ(k.ask("table|0.1|1|t|update|u1"), "update-result|u1|error");
    EXPECT_EQ(k.ask("table|0.1|1|t|lookup|domain|2|example.org"),
              "lookup-result|2|found|example.org");
    // An unreachable database: the old backend serves on.
    write_file(conf, "conninfo host=127.0.0.1 port=1 connect_timeout=5\n" + services);
    EXPECT_EQ(k.ask("table|0.1|1|t|update|u2"), "update-result|u2|error");
    EXPECT_EQ(k.ask("table|0.1|1|t|lookup|domain|3|example.org"),
              "lookup-result|3|found|example.org");
    // A query that takes no parameter: the old backend serves on.
    write_file(conf, "conninfo " + pg_conninfo() + "\nquery_addrname SELECT 'x'\n");
    EXPECT_EQ(k.ask("table|0.1|1|t|update|u2b"), "update-result|u2b|error");
    EXPECT_EQ(k.ask("table|0.1|1|t|lookup|domain|3b|example.org"),
              "lookup-result|3b|found|example.org");
    // A good file that drops the domain query and changes the alias query.
    write_file(conf, "conninfo " + pg_conninfo() +
                         " application_name=e2e_update\n"
                         "query_alias SELECT upper(v) FROM e2e WHERE svc = 'alias' AND k = $1 "
                         "ORDER BY pos\n");
    EXPECT_EQ(k.ask("table|0.1|1|t|update|u3"), "update-result|u3|ok");
    EXPECT_EQ(k.ask("table|0.1|1|t|lookup|alias|4|postmaster"),
              "lookup-result|4|found|ROOT, ADMIN@EXAMPLE.ORG");
    EXPECT_EQ(k.ask("table|0.1|1|t|lookup|domain|5|example.org"), "lookup-result|5|error");
    EXPECT_EQ(k.ask("table|0.1|1|t|fetch|source|6"), "fetch-result|6|error");
    // Only the new backend's connection is left.
    EXPECT_EQ(pg_value("SELECT count(*) FROM pg_stat_activity WHERE application_name = "
                       "'e2e_update'"),
              "1");
    EXPECT_EQ(k.finish(), 0);
    std::string err = k.err();
    EXPECT_NE(err.find("warn: duplicate key conninfo"), std::string::npos) << err;
    // The checker's words follow the loader's: the file, the line, why.
    EXPECT_NE(err.find("warn: " + conf + ":" + std::to_string(count_lines(old_text) + 1) +
                       ": conninfo: duplicate key, first on line 1"),
              std::string::npos)
        << err;
    EXPECT_EQ(count_of(err, "info: update: the configuration in " + conf + " serves now"), 1)
        << err;
    // Sandboxed, the unreachable port is refused before any attempt.
    EXPECT_NE(err.find(getenv("KORVANE_TEST_CONFIG") != nullptr
                           ? "warn: the new configuration needs TCP port 1, which the sandbox"
                           : "warn: PQconnectdb: "),
              std::string::npos)
        << err;
    // Each of the three failures says that the old configuration serves on.
    EXPECT_EQ(count_of(err, "warn: update rejected; the old configuration keeps serving"), 3)
        << err;
    EXPECT_NE(err.find("warn: query_addrname: the query takes 0 parameters, korvane passes 1"),
              std::string::npos)
        << err;
}

// Under a deadline a reconnect prepares each statement on its first use,
// the fetch statement (reloaded on every fetch there) included.
TEST_F(e2e, TerminatedConnectionIsHealedMidConversation) {
    for (const char *extra : {"", "request_timeout_ms 5000\nfetch_source_refresh 1\n"}) {
        SCOPED_TRACE(extra);
        bool reloads = *extra != '\0';
        child_process k;
        ASSERT_TRUE(start_serving(k, config(extra, "e2e_terminate")));
        for (int round = 0; round < 3; round++) {
            EXPECT_EQ(k.ask("table|0.1|1|t|check|domain|a|example.org"), "check-result|a|found");
            EXPECT_EQ(pg_terminate("e2e_terminate"), 1);
            EXPECT_EQ(k.ask("table|0.1|1|t|lookup|alias|b|postmaster"),
                      "lookup-result|b|found|root, admin@example.org");
            EXPECT_EQ(pg_terminate("e2e_terminate"), 1);
            // The cached list and its cursor survive the reconnects.
            EXPECT_EQ(k.ask("table|0.1|1|t|fetch|source|c"),
                      std::string("fetch-result|c|found|") + (reloads ? 'a' : "abc"[round]));
        }
        EXPECT_EQ(k.finish(), 0);
    }
}

TEST_F(e2e, StartupFailuresWriteNothingToStdout) {
    std::string good = config();
    std::string broken = temp_path("broken");
    write_file(broken, "conninfo\n");
    std::string unreachable = temp_path("unreachable");
    write_file(unreachable, "conninfo host=127.0.0.1 port=1 connect_timeout=5\n");
    // Statements that cannot take what korvane passes would fail every
    // request as a protocol violation; they fail the connect instead.
    std::string no_param = pg_config_file("e2e", "query_alias SELECT 'x'\n");
    std::string two_params = pg_config_file("e2e", "query_domain SELECT $1::text || $2\n");
    std::string fetch_param = pg_config_file("e2e", "fetch_source SELECT $1::text\n");
    // Only a regular file is read: a FIFO would hold start-up for a writer.
    std::string fifo = temp_path("fifo");
    unlink(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct failure {
        std::vector<std::string> args;
        const char *message;
    };
    const failure cases[] = {
        {{}, "bogus argument(s)"},
        {{good, good}, "bogus argument(s)"},
        {{good, "-x"}, "bogus argument(s)"},
        {{"-x", good}, "bad option"},
        {{"-h"}, "bad option"},
        {{"/nonexistent/korvane.conf"}, "error parsing config file"},
        {{broken}, "error parsing config file"},
        {{fifo}, "error parsing config file"},
        {{"/tmp"}, "error parsing config file"},
        {{unreachable}, "could not connect"},
        {{no_param}, "could not connect"},
        {{two_params}, "could not connect"},
        {{fetch_param}, "could not connect"},
    };
    for (const failure &f : cases) {
        run_result r = run_program(kv(f.args), hello);
        SCOPED_TRACE(f.message);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        std::string fatal = warn(r, std::string("fatal: ") + f.message);
        ASSERT_GE(r.err.size(), fatal.size());
        EXPECT_EQ(r.err.substr(r.err.size() - fatal.size()), fatal) << r.err;
    }
    run_result r = run_program(kv({"-x", good}), "");
    // The option parser names the option first, under the name it was run as.
    EXPECT_EQ(r.err, korvane + ": invalid option -- 'x'\n" + warn(r, "fatal: bad option"));
    r = run_program(kv({"/nonexistent/korvane.conf"}), "");
    EXPECT_EQ(r.err, warn(r, "warn: \"/nonexistent/korvane.conf\": No such file or directory") +
                         warn(r, "fatal: error parsing config file"));
    r = run_program(kv({two_params}), "");
    EXPECT_EQ(r.err, warn(r, "debug: (re)connecting") +
                         warn(r, "warn: query_domain: the query takes 2 parameters, korvane "
                                 "passes 1") +
                         warn(r, "fatal: could not connect"));
}

TEST_F(e2e, DoubleDashEndsOptions) {
    run_result r = run_program(kv({"--", config()}), hello);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, registers);
}

TEST_F(e2e, EndOfInputAtAnyPointExitsZero) {
    std::string conf = config();
    for (const std::string &input : {std::string(), std::string("config|x\n"), hello,
                                     hello + host_request("lookup", "alias", "1", "postmaster"),
                                     hello + "table|0.1|1|t|lookup|alias|1|postmaster"}) {
        run_result r = run_program(kv({conf}), input);
        EXPECT_EQ(r.status, 0) << input;
    }
}

TEST_F(e2e, MissingFetchStatementAndServiceQueriesGiveErrors) {
    std::string conf = pg_config_file("e2e", "query_alias SELECT v FROM e2e WHERE k = $1\n");
    run_result r = run_program(
        kv({conf}), hello + host_fetch("1") + host_request("check", "domain", "2", "example.org") +
                        host_request("lookup", "domain", "3", "example.org"));
    EXPECT_EQ(r.out, registers + "fetch-result|1|error\ncheck-result|2|error\n"
                                 "lookup-result|3|error\n");
    // Each missing statement is named once, with the key to set.
    EXPECT_EQ(r.err, warn(r, "debug: (re)connecting") + warn(r, "debug: connected") +
                         warn(r, "warn: fetch: no fetch_source in the configuration; its "
                                 "requests answer error") +
                         warn(r, "warn: domain: no query_domain in the configuration; its "
                                 "requests answer error"));
}

// korvane-query answers with the same backend code and tells found, not
// found and error apart by its exit status.
TEST_F(e2e, QueryToolAnswersOneRequest) {
    std::string conf = config();
    struct call {
        std::vector<std::string> args;
        int status;
        const char *out;
        bool prefix = false; // out is how the output begins
    };
    const call calls[] = {
        {{"lookup", "alias", "postmaster"}, 0, "root, admin@example.org\n"},
        {{"lookup", "userinfo", "bob"}, 0, "1000:1000:/var/vmail/bob\n"},
        {{"lookup", "alias", "nobody"}, 1, "not-found\n"},
        {{"check", "domain", "example.org"}, 0, "found\n"},
        {{"check", "domain", "example.com"}, 1, "not-found\n"},
        {{"lookup", "domain", "toolong"}, 2, "error\n"},
        {{"lookup", "nosuch", "x"}, 2, ""},
        {{"fetch"}, 0, "a\n"},
        {{"fetch", "4"}, 0, "a\nb\nc\na\n"},
        {{"fetch", "0"}, 2, ""},
        {{"frobnicate", "alias", "x"}, 2, ""},
        // Options anywhere before "--", help and version on stdout.
        {{"-v", "check", "domain", "example.org"}, 0, "found\n"},
        {{"--help"}, 0, "usage: korvane-query ", true},
        {{"--version"}, 0, "korvane-query 0.", true},
    };
    for (const call &c : calls) {
        std::vector<std::string> argv{korvane_query, conf};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        run_result r = run_program(argv, "");
        SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(c.prefix ? r.out.substr(0, strlen(c.out)) : r.out, c.out);
    }
    auto logged = [](const run_result &res, const std::string &text) {
        return log_line("korvane-query", res.pid, text);
    };
    run_result r = run_program({korvane_query, conf, "lookup", "domain", "toolong"}, "");
    EXPECT_EQ(r.err, logged(r, "warn: result too large"));
    r = run_program({korvane_query, "/nonexistent.conf", "check", "alias", "x"}, "");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, logged(r, "warn: \"/nonexistent.conf\": No such file or directory") +
                         logged(r, "fatal: error parsing config file"));
}

TEST_F(e2e, QueryToolCheckPassesACleanFile) {
    run_result r = run_program({korvane_query, "--check", config()}, "");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    // A warning fails only --strict, for scripts that install clean files.
    std::string typo = config("query_alais SELECT 1\n");
    EXPECT_EQ(run_program({korvane_query, "--check", typo}, "").status, 0);
    EXPECT_EQ(run_program({korvane_query, "--check", "--strict", typo}, "").status, 1);
    for (const char *ok : {": query_credentials: ok (1 parameter, 2 columns)\n",
                           ": fetch_source: ok (0 parameters, 1 column)\n", ": ok\n"})
        EXPECT_NE(r.out.find(ok), std::string::npos) << ok << r.out;
}

// Ten planted mistakes, all reported in one run with their lines; a note and
// a service without a query are no problems. Two of the mistakes are found
// twice over: a comment after a number, "=" after a number's key.
TEST_F(e2e, QueryToolCheckReportsEveryMistakeAtOnce) {
    pg_exec("DROP TABLE IF EXISTS e2e_secret; CREATE TABLE e2e_secret (k text, v text);"
            "DROP ROLE IF EXISTS korvane_ro; CREATE ROLE korvane_ro LOGIN;"
            "GRANT SELECT ON e2e TO korvane_ro");
    std::string conninfo = pg_conninfo();
    conninfo.replace(conninfo.find("user=postgres"), 13, "user=korvane_ro");
    std::string path = temp_path("lint");
    write_file(path, "conninfo " + conninfo +
                         "\n"
                         "query_alais SELECT v FROM e2e WHERE k = $1\n"                 // 2
                         "query_domain SELECT v FROM e2e WHERE k = $1\n"                // 3
                         "query_domain SELECT v FROM e2e WHERE k = $1\n"                // 4
                         "query_source\n"                                               // 5
                         "fetch_source_refresh 1000  # fetches\n"                       // 6
                         "fetch_source_expire = 60\n"                                   // 7
                         "query_netaddr SELECT v FROM nowhere WHERE k = $1\n"           // 8
                         "query_mailaddr SELECT 'x'\n"                                  // 9
                         "query_userinfo SELECT v, v2 FROM e2e WHERE k = $1\n"          // 10
                         "query_addrname SELECT v FROM e2e_secret WHERE k = $1\n"       // 11
                         "fetch_source SELECT $1::text\n"                               // 12
                         "query_credentials SELECT v, v2, v3 FROM e2e WHERE k = $1\n"); // 13
    run_result r = run_program({korvane_query, "--check", path}, "");
    printf("%s", r.out.c_str());
    EXPECT_EQ(r.status, 1);
    const char *expected[] = {
        ":2: warning: query_alais: unknown key, ignored; did you mean query_alias?",
        ":4: query_domain: duplicate key, first on line 3",
        ":5: query_source: missing value",
        ":6: warning: fetch_source_refresh: \" #\" inside the value; comments only start a line",
        ":6: fetch_source_refresh: bad value: invalid",
        ":7: warning: fetch_source_expire: the value starts with \"=\"",
        ":8: query_netaddr: rejected: ERROR:  relation \"nowhere\" does not exist",
        ":9: query_mailaddr: takes 0 parameters, korvane passes 1",
        ":10: query_userinfo: returns 2 columns, the answer needs 3",
        ":11: query_addrname: cannot run: ERROR:  permission denied for table e2e_secret",
        ":12: fetch_source: takes 1 parameters, korvane passes 0",
        ":13: query_credentials: note: returns 3 columns; only the first 2 are used",
        ": query_alias: not configured",
        ": 9 problems, 3 warnings",
    };
    for (const char *e : expected)
        EXPECT_NE(r.out.find(path + e), std::string::npos) << e;
    // Nine problems that korvane refuses, three warnings of what it accepts
    // (two lines carry one of each), a note, an ok for the one
    // good statement, three services without a query and the summary.
    EXPECT_EQ(count_lines(r.out), 19u) << r.out;
}

// A password in conninfo stays out of everything korvane writes, on every
// failure path: refused password, unreachable host, rejected query, reload.
TEST_F(e2e, PasswordNeverAppearsInOutput) {
    const std::string secret = "Tr0ub4dor-and-3-horses";
    pg_exec("DROP ROLE IF EXISTS korvane_pw; CREATE ROLE korvane_pw LOGIN PASSWORD '" + secret +
            "'; GRANT SELECT ON e2e TO korvane_pw");
    std::string base = pg_conninfo();
    base = base.substr(0, base.find(" user="));
    auto conf_with = [&](const std::string &conninfo, const std::string &queries) {
        std::string path = temp_path("secret");
        write_file(path, "conninfo " + conninfo + "\n" + queries);
        return path;
    };
    const std::string wrong =
        conf_with(base + " user=korvane_pw password=" + secret + "-wrong", services);
    const std::string unreachable = conf_with(
        "host=127.0.0.1 port=1 connect_timeout=5 user=korvane_pw password=" + secret, services);
    const std::string bad_query = conf_with(base + " user=korvane_pw password=" + secret,
                                            "query_alias SELECT no_such_column FROM e2e\n");
    const std::string good = conf_with(base + " user=korvane_pw password=" + secret, services);
    // The key glued to its value, a password with a space, a URI with a
    // bad escape: libpq's own messages would quote the password.
    auto file_with = [&](const std::string &text) {
        std::string path = temp_path("secret");
        write_file(path, text + services);
        return path;
    };
    const std::vector<std::string> mistakes = {
        wrong,
        unreachable,
        bad_query,
        file_with("conninfo=password=" + secret + " host=127.0.0.1\n"),
        file_with("conninfo=password=" + secret + "\n"),
        file_with("conninfo host=127.0.0.1 password=" + secret + " and-more\n"),
        file_with("conninfo postgresql://korvane_pw:" + secret + "%zz@127.0.0.1/postgres\n"),
        file_with("conninfo " + base +
                  " user=postgres\ncache_listen_conninfo host=127.0.0.1 "
                  "password=" +
                  secret + " and-more\n"),
    };

    std::vector<run_result> runs;
    for (const std::string &conf : mistakes)
        runs.push_back(run_program(kv({conf}), hello));
    for (const run_result &r : runs)
        EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(runs[0].err.find("password authentication failed"), std::string::npos) << runs[0].err;

    // The right password serves; a reload that fails in each way keeps it.
    child_process k;
    ASSERT_TRUE(start_serving(k, good));
    EXPECT_EQ(k.ask("table|0.1|1|t|lookup|domain|1|example.org"),
              "lookup-result|1|found|example.org");
    std::string out, errors;
    for (const std::string &conf : mistakes) {
        write_file(good, read_file(conf));
        out += k.ask("table|0.1|1|t|update|u") + "\n";
        errors += "update-result|u|error\n";
    }
    EXPECT_EQ(out, errors);
    EXPECT_EQ(k.finish(), 0);

    std::string everything = k.err();
    for (const run_result &r : runs)
        everything += r.out + r.err;
    for (const std::string &conf : mistakes) {
        run_result q = run_program({korvane_query, "--check", conf}, "");
        EXPECT_EQ(q.status, 1);
        everything += q.out + q.err;
    }
    EXPECT_EQ(everything.find(secret), std::string::npos) << everything;
    // What is wrong is still said, in korvane's words.
    EXPECT_NE(everything.find("warn: unknown key conninfo=... ignored; did you mean conninfo?"),
              std::string::npos)
        << everything;
    EXPECT_NE(everything.find("cannot be parsed: a word without \"=\""), std::string::npos)
        << everything;
    pg_exec("REVOKE ALL ON e2e FROM korvane_pw; DROP ROLE korvane_pw");
}

// What korvane counted, as an admin sees it: SIGUSR1 logs the totals while
// the host is idle, and the metrics file, read by Debian's node exporter
// from its textfile directory and scraped over HTTP, holds exactly the
// requests sent; promtool passes the file.
TEST_F(e2e, MetricsReachANodeExporterAndSignalLogsTheTotals) {
    char dir[] = "/tmp/korvane-stats.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string file = std::string(dir) + "/korvane.prom";
    child_process k;
    ASSERT_TRUE(start_serving(k, config("stats_file " + file +
                                            "\nstats_interval 1\n"
                                            "cache_size 10\ncache_services domain\n",
                                        "e2e_stats")));
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(k.ask("table|0.1|1|t|lookup|domain|d" + std::to_string(i) + "|example.org"),
                  "lookup-result|d" + std::to_string(i) + "|found|example.org");
    EXPECT_EQ(k.ask("table|0.1|1|t|check|alias|c|nobody"), "check-result|c|not-found");
    // A lost connection is counted as it is made anew.
    ASSERT_EQ(pg_terminate("e2e_stats"), 1);
    EXPECT_EQ(k.ask("table|0.1|1|t|check|alias|r|nobody"), "check-result|r|not-found");
    kill(k.pid(), SIGUSR1);
    std::string text;
    for (int i = 0;
         i < 100 &&
         text.find("type=\"lookup\",service=\"domain\",outcome=\"found\"} 3") == std::string::npos;
         i++) {
        usleep(50 * 1000);
        text = read_file(file);
    }
    EXPECT_NE(k.err().find("info: stats: 5 requests (3 found, 2 not-found, 0 error); cache hit "
                           "ratio 0.667 (2 hits, 1 misses, 0 stale); reply p50 <= "),
              std::string::npos)
        << k.err();
    EXPECT_NE(k.err().find(", 0 timeouts, 1 reconnects\n"), std::string::npos) << k.err();
    EXPECT_EQ(system(("promtool check metrics < " + file).c_str()), 0);
    std::string scraped = scrape_textfiles(dir);
    // The exporter sorts the labels; the table is the name korvane runs under.
    for (const char *line :
         {"korvane_requests_total{outcome=\"found\",service=\"domain\",table=\"korvane\","
          "type=\"lookup\"} 3",
          "korvane_cache_hits_total{service=\"domain\",table=\"korvane\"} 2",
          "korvane_reply_seconds_count{table=\"korvane\",type=\"lookup\"} 3",
          "node_textfile_scrape_error 0"})
        EXPECT_NE(scraped.find(line), std::string::npos) << line << "\n" << scraped;
    EXPECT_EQ(k.finish(), 0);
    unlink(file.c_str());
    rmdir(dir);
}

// How a mail server runs its tables: one configuration, the example's
// pointed at the test server, serves three of them, each started under its
// table's name as an unprivileged system user with only PATH in its
// environment and umask 077, the password in that user's ~/.pgpass. Each
// is asked once every two seconds, and the server restarts in the middle:
// the source rotation goes on across the quiet gaps and the reloads, every
// table heals, each writes a metrics file of its own, the sandbox confines
// them without a word, and nothing else is logged.
TEST_F(e2e, TablesServeAsAMailServerRunsThem) {
    if (getenv("KORVANE_MEMCHECK") != nullptr || getenv("KORVANE_TEST_CONFIG") != nullptr)
        GTEST_SKIP() << "sandboxed by its own configuration; valgrind does not run as its user";
    const std::string src = KORVANE_SOURCE_DIR, home = "/var/lib/korvane-e2e";
    char dir[] = "/tmp/korvane-host.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string db = pg_conninfo();
    db.replace(db.find("dbname=postgres"), 15, "dbname=korvane_host");
    pg_exec("DROP DATABASE IF EXISTS korvane_host");
    pg_exec("CREATE DATABASE korvane_host");
    // The user, its home with the password, the example schema and a role
    // with that password, and the example configuration pointed at the
    // test server and at a metrics directory the user writes.
    std::string setup_sh =
        "set -e; id korvane-e2e >/dev/null 2>&1 || useradd --system --home-dir " + home +
        " --shell /usr/sbin/nologin korvane-e2e; install -d -o korvane-e2e -m 700 " + home +
        "; echo '*:*:korvane_host:korvane_host:e2e-host-secret' >" + home +
        "/.pgpass; chown korvane-e2e " + home + "/.pgpass; chmod 600 " + home + "/.pgpass; " +
        "chmod 755 " + dir + "; install -d -g korvane-e2e -m 1775 " + dir + "/metrics; " +
        "psql -q -v ON_ERROR_STOP=1 \"" + db + "\" -f " + src + "/examples/schema.sql -f " + src +
        "/examples/data.sql >/dev/null; sed -e 's|^conninfo .*|conninfo host=" + pg_env("PGSOCK") +
        " port=" + pg_env("PGPORT_NUM") +
        " dbname=korvane_host user=korvane_host gssencmode=disable|' -e "
        "'s|^stats_file /var/lib/prometheus/node-exporter/korvane-%t|stats_file " +
        dir + "/metrics/korvane-%t|' " + src + "/examples/korvane.conf >" + dir + "/korvane.conf";
    ASSERT_EQ(system(setup_sh.c_str()), 0) << setup_sh;
    pg_exec("DO $$ BEGIN CREATE ROLE korvane_host LOGIN; EXCEPTION WHEN duplicate_object THEN "
            "NULL; END $$; ALTER ROLE korvane_host PASSWORD 'e2e-host-secret'; "
            "GRANT korvane TO korvane_host");
    const passwd *pw = getpwnam("korvane-e2e");
    ASSERT_NE(pw, nullptr);
    child_setup as_host{pw->pw_uid, pw->pw_gid, {"PATH=/usr/bin:/bin"}, 077, "", {}};
#if defined(__SANITIZE_ADDRESS__)
    // The leak checker would need ptrace, which the sandbox denies.
    as_host.env.emplace_back("ASAN_OPTIONS=detect_leaks=0");
#endif
    const char *names[] = {"aliases", "domains", "sources"};
    child_process tables[3];
    for (int t = 0; t < 3; t++) {
        as_host.argv0 = names[t];
        ASSERT_TRUE(start_serving(tables[t], std::string(dir) + "/korvane.conf", &as_host))
            << tables[t].err();
    }
    std::string fetched, rotation;
    for (int round = 0; round < 5; round++) {
        if (round == 2)
            pg_control("restart fast");
        std::string n = std::to_string(round);
        EXPECT_EQ(
            tables[0].ask("table|0.1|1|aliases|lookup|alias|" + n + "|postmaster@example.org"),
            "lookup-result|" + n + "|found|alice@example.org, bob@example.org");
        EXPECT_EQ(tables[1].ask("table|0.1|1|domains|check|domain|" + n + "|example.org"),
                  "check-result|" + n + "|found");
        fetched += tables[2].ask("table|0.1|1|sources|fetch|source|" + n) + "\n";
        rotation += "fetch-result|" + n + "|found|198.51.100.1" + std::to_string(round % 3) + "\n";
        // A mail server asks its tables as mail comes, seconds apart.
        sleep(2);
    }
    EXPECT_EQ(fetched, rotation);
    // A DBA tells the tables' sessions apart by their names.
    EXPECT_EQ(pg_value("SELECT string_agg(application_name, ' ' ORDER BY application_name) FROM "
                       "pg_stat_activity WHERE datname = 'korvane_host'"),
              "aliases aliases-listen domains domains-listen sources sources-listen");
    for (int t = 0; t < 3; t++) {
        SCOPED_TRACE(names[t]);
        std::string status = read_file("/proc/" + std::to_string(tables[t].pid()) + "/status");
        EXPECT_NE(status.find("NoNewPrivs:\t1"), std::string::npos);
        EXPECT_NE(status.find("Seccomp:\t2"), std::string::npos);
        EXPECT_EQ(tables[t].finish(), 0);
        // What a restart says, and nothing else.
        std::regex expected(
            std::string(names[t]) +
            R"(\[\d+\]: (debug: \(re\)connecting|debug: connected|warn: FATAL:  )"
            R"(terminating connection due to administrator command|warn: (korvane: )"
            R"()?trying to reconnect after error: .*|warn: LISTEN connection )"
            R"((lost|failed): .*|(last )?message repeated .*))");
        std::istringstream lines(tables[t].err());
        for (std::string text; std::getline(lines, text);)
            EXPECT_TRUE(std::regex_match(text, expected)) << text;
    }
    // The README's directory, written under umask 077, read by the node
    // exporter: every table's file, and which version it runs.
    std::string scraped = scrape_textfiles(std::string(dir) + "/metrics");
    EXPECT_NE(scraped.find("node_textfile_scrape_error 0"), std::string::npos) << scraped;
    for (const char *name : names)
        EXPECT_NE(scraped.find("korvane_build_info{table=\"" + std::string(name) +
                               "\",version=\"" KORVANE_VERSION "\"} 1"),
                  std::string::npos)
            << name;
    system(("rm -rf " + std::string(dir)).c_str());
}
} // namespace
