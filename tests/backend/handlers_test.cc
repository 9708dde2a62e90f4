// The handlers without a database: a request that finds none is answered
// from a stale entry where one is kept, a service without a statement
// answers error with one warning, and an update that does not load leaves
// the configuration in service serving.
#include "backend/backend.h"
#include "backend/handlers.h"
#include "proto/proto.h"
#include "support/log.h"
#include "tests/helpers/host.h"
#include "tests/helpers/process.h"

#include <gtest/gtest.h>
#include <string>

namespace {

TEST(handlers, OutagesUnconfiguredServicesAndFailedUpdates) {
    log_setup(1);
    std::string path = temp_path("conf");
    write_file(path, "conninfo host=/nonexistent dbname=x\nquery_alias SELECT $1\n"
                     "cache_size 10\ncache_negative_ttl 0\ncache_stale 60\n");
    config_path = path.c_str();
    current_backend = backend_load(path.c_str());
    ASSERT_NE(current_backend, nullptr);
    // Past its TTL of 0: it answers only when the database cannot.
    cache_store(current_backend, SVC_ALIAS, "gone", 0, "");
    char buf[PROTO_VALUE_SIZE];
    std::string err = capture_stderr([&] {
        EXPECT_EQ(backend_lookup(SVC_ALIAS, nullptr, "gone", buf, sizeof buf), 0);
        EXPECT_EQ(backend_lookup(SVC_ALIAS, nullptr, "never", buf, sizeof buf), -1);
        EXPECT_EQ(backend_check(SVC_DOMAIN, nullptr, "x"), -1);
        EXPECT_EQ(backend_check(SVC_DOMAIN, nullptr, "y"), -1);
    });
    EXPECT_EQ(count_of(err, "warn: database unavailable; serving cached answers"), 1) << err;
    EXPECT_EQ(count_of(err, "no query_domain in the configuration"), 1) << err;
    backend *serving = current_backend;
    write_file(path, "cache_size many\n");
    err = capture_stderr([&] { EXPECT_EQ(backend_update(), -1); });
    EXPECT_EQ(current_backend, serving);
    EXPECT_NE(err.find("warn: bad value for cache_size"), std::string::npos) << err;
    backend_free(current_backend);
    current_backend = nullptr;
}

} // namespace
