// The execution layer without a database: connecting under the deadline,
// host by host, to endpoints that never answer and ports that refuse.
#include "backend/exec.h"
#include "support/log.h"
#include "tests/helpers/process.h"
#include "tests/helpers/relay.h"

#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

TEST(exec, ConnectsHostByHostWithinTheDeadline) {
    log_setup(1);
    silent_endpoint silent;
    int closed = 0;
    {
        silent_endpoint gone;
        closed = gone.port();
    }
    std::string ports = std::to_string(silent.port()) + "," + std::to_string(closed);
    struct row {
        std::string conninfo;
        int32_t deadline_ms;
        bool expires;
        std::vector<std::string> said; // in the log or the connect error
    };
    const row rows[] = {
        // One host that never answers costs the deadline, once.
        {silent.conninfo(),
         300,
         true,
         {"warn: request timed out after 300 ms: connecting to the database"}},
        // The silent host gets its share; the next one is still tried, and
        // the error names both.
        {"host=127.0.0.1,127.0.0.1 port=" + ports + " dbname=postgres",
         600,
         false,
         {"port " + std::to_string(silent.port()) + ": no answer within ",
          "ms; trying the next host",
          "port " + std::to_string(silent.port()) + " failed: no answer within ",
          "port " + std::to_string(closed) + " failed: Connection refused"}},
    };
    for (const row &r : rows) {
        exec_begin(r.deadline_ms);
        pg_conn_ptr conn;
        auto start = std::chrono::steady_clock::now();
        std::string err = capture_stderr([&] { conn.reset(exec_connect(r.conninfo.c_str())); });
        double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        EXPECT_LT(ms, r.deadline_ms + 1000) << r.conninfo;
        EXPECT_NE(PQstatus(conn.get()), CONNECTION_OK);
        EXPECT_EQ(exec_expired(), r.expires) << r.conninfo << err;
        std::string said = err + exec_connect_error(conn.get());
        for (const std::string &s : r.said)
            EXPECT_NE(said.find(s), std::string::npos) << s << "\n" << said;
    }
}

} // namespace
