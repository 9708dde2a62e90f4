// The execution layer without a database: under a deadline a host that
// never answers costs its share, the next host is still tried, and the
// error names each.
#include "backend/exec.h"
#include "support/log.h"
#include "tests/helpers/process.h"
#include "tests/helpers/relay.h"

#include <chrono>
#include <gtest/gtest.h>
#include <string>

namespace {

TEST(exec, ConnectsHostByHostWithinTheDeadline) {
    log_setup(1);
    silent_endpoint silent;
    int closed = 0;
    {
        silent_endpoint gone;
        closed = gone.port();
    }
    std::string s = std::to_string(silent.port()), c = std::to_string(closed);
    exec_request r = exec_begin(600);
    pg_conn_ptr conn;
    auto start = std::chrono::steady_clock::now();
    std::string said = capture_stderr([&] {
        conn.reset(exec_connect(("host=127.0.0.1,127.0.0.1 port=" + s + "," + c).c_str(), r));
    });
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1600));
    EXPECT_NE(PQstatus(conn.get()), CONNECTION_OK);
    EXPECT_FALSE(r.expired);
    said += exec_connect_error(conn.get());
    for (const std::string &part :
         {"port " + s + ": no answer within ", std::string("ms; trying the next host"),
          "port " + s + " failed: no answer within ", "port " + c + " failed: Connection refused"})
        EXPECT_NE(said.find(part), std::string::npos) << part << "\n" << said;
}

} // namespace
