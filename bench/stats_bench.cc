// What the statistics cost where they are written: the metrics file and
// the SIGUSR1 record with 1M cache entries held and every service and
// request type counted, each the mean of 200 runs. No database: the
// entries are stored as the database's answers would be.
//
//   stats_bench [ENTRIES]
#include "backend/backend.h"
#include "support/log.h"
#include "support/stats.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

double seconds_of(void (*fn)(), int runs) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < runs; i++)
        fn();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / runs;
}

int64_t tick_at;

} // namespace

int main(int argc, char *argv[]) {
    int entries = argc > 1 ? atoi(argv[1]) : 1000000;
    log_setup(1);
    std::string conf = "/tmp/korvane-stats-bench-" + std::to_string(getpid()) + ".conf";
    std::string prom = "/tmp/korvane-stats-bench-" + std::to_string(getpid()) + ".prom";
    FILE *f = fopen(conf.c_str(), "w");
    fprintf(f, "conninfo host=/nonexistent\ncache_size %d\n", entries);
    fclose(f);
    backend *b = backend_load(conf.c_str());
    if (b == nullptr)
        return 1;
    for (int i = 0; i < entries; i++) {
        std::string key = "user" + std::to_string(i) + "@example.org";
        cache_store(b, 1u << (i % 9), key.c_str(), 1, "mailbox@example.net");
    }
    for (int t = 0; t < STATS_TYPES; t++)
        for (int s = 0; s < STATS_SERVICES; s++)
            for (int o = 0; o < STATS_OUTCOMES; o++)
                stats_request(static_cast<stats_type>(t), s, static_cast<stats_outcome>(o),
                              (t + 1) * (s + 1) * (o + 1) * 37);
    stats_configure(prom.c_str(), 1, "aliases");
    double file_s = seconds_of(
        [] {
            tick_at += 2000000; // past the interval: every tick writes
            stats_tick(tick_at);
        },
        200);
    double record_s = seconds_of(
        [] {
            char text[512];
            stats_summary(text, sizeof text);
        },
        200);
    printf("with %d cache entries and every type and service counted:\n", entries);
    printf("metrics file written      %8.1f us\n", file_s * 1e6);
    printf("SIGUSR1 record composed   %8.1f us\n", record_s * 1e6);
    FILE *p = fopen(prom.c_str(), "r");
    fseek(p, 0, SEEK_END);
    printf("metrics file size         %8ld bytes\n", ftell(p));
    fclose(p);
    backend_free(b);
    unlink(conf.c_str());
    unlink(prom.c_str());
    return 0;
}
