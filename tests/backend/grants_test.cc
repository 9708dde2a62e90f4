// What the sandbox would grant a configuration, judged without entering
// it: the ports of every host, the files libpq is named, the metrics
// file's directory, and the configuration's own directory.
#include "backend/backend.h"
#include "backend/grants.h"
#include "support/log.h"
#include "tests/helpers/process.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <string>

namespace {

TEST(grants, EachConfigurationGetsWhatItNamesAndTheSystemsFiles) {
    log_setup(1);
    unsetenv("PGPORT");
    struct row {
        const char *settings;
        std::vector<int> ports;         // beside DNS over TCP
        std::vector<std::string> reads; // among the read grants
        std::string write;              // among the write grants
    };
    const row rows[] = {
        {"conninfo host=db\n", {5432}, {"/etc/ld.so.cache"}, "/dev/null"},
        {"conninfo host=a,b port=5433,5434\n", {5433, 5434}, {}, ""},
        {"conninfo host=a,b port=6432\n", {6432}, {}, ""},
        {"conninfo host=a port=6432\ncache_listen_conninfo host=primary port=5499 "
         "sslrootcert=/opt/ca/primary.pem\n",
         {6432, 5499},
         {"/opt/ca/primary.pem"},
         ""},
        {"conninfo host=db port=5433 sslrootcert=/opt/ca/root.pem passfile=/opt/pw\n",
         {5433},
         {"/opt/ca/root.pem", "/opt/pw"},
         ""},
        {"conninfo host=db\nstats_file /tmp/korvane-metrics/%t.prom\n",
         {5432},
         {},
         "/tmp/korvane-metrics"},
    };
    for (const row &r : rows) {
        std::string path = temp_path("grants") + ".conf";
        write_file(path, r.settings);
        backend_ptr b;
        (void)capture_stderr([&] { b.reset(backend_load(path.c_str())); });
        ASSERT_TRUE(b) << r.settings;
        sandbox_grants g;
        grants_collect(b.get(), path.c_str(), &g);
        std::vector<int> ports = r.ports;
        ports.push_back(53);
        EXPECT_EQ(g.tcp_ports, ports) << r.settings;
        std::vector<std::string> reads = r.reads;
        reads.push_back(path.substr(0, path.rfind('/')));
        for (const std::string &p : reads)
            EXPECT_TRUE(sandbox_covers(g.read_paths, p)) << r.settings << p;
        if (!r.write.empty()) {
            EXPECT_NE(std::find(g.write_paths.begin(), g.write_paths.end(), r.write),
                      g.write_paths.end())
                << r.settings;
        }
        // Nothing beyond the configuration's directory and the system's
        // own is read: not the home of whoever runs it, not /.
        EXPECT_FALSE(sandbox_covers(g.read_paths, "/root/.ssh/id_rsa")) << r.settings;
        EXPECT_FALSE(sandbox_covers(g.write_paths, "/etc/passwd")) << r.settings;
    }
}

} // namespace
