// The test run's PostgreSQL server, reached through scripts/pgtest's env
// file; see pg.h.
#include "tests/helpers/pg.h"

#include "tests/helpers/process.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <memory>
#include <unistd.h>

namespace {

struct conn_closer {
    void operator()(PGconn *c) const noexcept { PQfinish(c); }
};
struct result_clearer {
    void operator()(PGresult *r) const noexcept { PQclear(r); }
};

std::unique_ptr<PGresult, result_clearer> admin_exec(const std::string &sql) {
    std::unique_ptr<PGconn, conn_closer> c{PQconnectdb(pg_conninfo().c_str())};
    if (PQstatus(c.get()) != CONNECTION_OK) {
        ADD_FAILURE() << "admin connection: " << PQerrorMessage(c.get());
        return nullptr;
    }
    std::unique_ptr<PGresult, result_clearer> r{PQexec(c.get(), sql.c_str())};
    auto st = PQresultStatus(r.get());
    if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) {
        ADD_FAILURE() << sql << ": " << PQerrorMessage(c.get());
        return nullptr;
    }
    return r;
}

} // namespace

std::string pg_conninfo() {
    std::string text = read_file(std::string(PG_STATE_DIR) + "/conninfo");
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    if (text.empty())
        ADD_FAILURE() << "no test PostgreSQL server: " << PG_STATE_DIR
                      << "/conninfo is missing (run the tests through ctest)";
    return text;
}

std::string pg_env(const char *name) {
    std::string env = read_file(std::string(PG_STATE_DIR) + "/env");
    size_t at = env.find(std::string(name) + "=") + strlen(name) + 1;
    return env.substr(at, env.find('\n', at) - at);
}

void pg_exec(const std::string &sql) {
    (void)admin_exec(sql);
}

std::string pg_value(const std::string &sql) {
    auto r = admin_exec(sql);
    if (!r || PQntuples(r.get()) < 1)
        return "<none>";
    return PQgetvalue(r.get(), 0, 0);
}

int pg_terminate(const std::string &app) {
    // Waiting for each to exit: by then its FATAL is on the wire to the
    // client, so the test's next step meets a connection that is ending.
    return std::atoi(pg_value("SELECT count(pg_terminate_backend(pid, 5000)) FROM "
                              "pg_stat_activity WHERE application_name = '" +
                              app + "'")
                         .c_str());
}

bool pg_wait_listening(const std::string &app) {
    const std::string listened =
        "SELECT count(*) FROM pg_stat_activity WHERE application_name = '" + app +
        "' AND state = 'idle' AND query LIKE 'LISTEN%'";
    bool seen = false;
    // The answer is on its way as the server turns idle: a moment more.
    for (int i = 0; i < 250 && !seen; i++, usleep(20 * 1000))
        seen = pg_value(listened) == "1";
    return seen;
}

void pg_control(const std::string &command) {
    // "restart fast" runs as "pgtest restart STATE_DIR fast".
    size_t space = command.find(' ');
    std::string cmd = std::string(PGTEST_SCRIPT) + " " + command.substr(0, space) + " " +
                      PG_STATE_DIR + (space == std::string::npos ? "" : command.substr(space));
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
}

std::string pg_config_file(const std::string &app, const std::string &settings) {
    std::string path = temp_path("conf");
    // KORVANE_TEST_CONFIG adds settings to every configuration: the suites
    // run once more with "sandbox on" that way.
    const char *extra = getenv("KORVANE_TEST_CONFIG");
    write_file(path, "conninfo " + pg_conninfo() + " application_name=" + app + "\n" + settings +
                         (extra != nullptr ? std::string(extra) + "\n" : ""));
    return path;
}
