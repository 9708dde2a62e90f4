// The engine's cost: one million check requests through proto_run with a
// trivial handler, fed through a pipe and read back, against a plain loop
// that reads each line and writes and flushes one reply line. Both run in
// the same process run, the writer in a thread so the pipes stay full.
//
//   proto_bench [REQUESTS]
#include "bench/pipe_driver.h"
#include "proto/proto.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

int32_t found(service_kind, dict *, const char *) {
    return 1;
}

int run_engine(void *) {
    proto_set_check_handler(found);
    return proto_run();
}

// What any line-based backend must do at the least per request.
int run_plain_loop(void *) {
    char *line = nullptr;
    size_t cap = 0;
    while (getline(&line, &cap, stdin) != -1) {
        if (strncmp(line, "config|", 7) == 0) {
            if (strcmp(line, "config|ready\n") == 0) {
                fputs("register|ready\n", stdout);
                fflush(stdout);
            }
            continue;
        }
        printf("check-result|%s|found\n", "r");
        fflush(stdout);
    }
    free(line);
    return 0;
}

struct timing {
    double wall;
    double child_cpu;
};

timing measure(int (*child)(void *), long requests) {
    pipe_child c = pipe_spawn(child, nullptr, false);
    std::string batch;
    for (int i = 0; i < 1000; i++)
        batch += "table|0.1|1700000000.000000|bench|check|alias|r|user@example.org\n";

    double start = now_seconds();
    std::thread writer([&] {
        pipe_write(c, "config|protocol|0.1\nconfig|ready\n");
        for (long sent = 0; sent < requests; sent += 1000)
            pipe_write(c, batch);
        close(c.to_child);
        c.to_child = -1;
    });
    std::string line;
    long replies = 0;
    while (pipe_read_line(c, line))
        if (line.rfind("check-result|", 0) == 0)
            replies++;
    writer.join();
    double elapsed = now_seconds() - start;
    double user = 0, sys = 0;
    pipe_finish(c, &user, &sys);
    double cpu = user + sys;
    if (replies != requests) {
        fprintf(stderr, "expected %ld replies, got %ld\n", requests, replies);
        exit(1);
    }
    return {elapsed, cpu};
}

} // namespace

int main(int argc, char *argv[]) {
    long requests = argc > 1 ? strtol(argv[1], nullptr, 10) : 1000000;
    requests -= requests % 1000;
    pipe_pin_driver();
    timing engine{1e9, 1e9}, plain{1e9, 1e9};
    // Rounds alternate so that both sides see the same machine; the best
    // round of each counts, which drops the scheduling noise of two cores.
    for (int round = 0; round < 5; round++) {
        timing p = measure(run_plain_loop, requests);
        timing e = measure(run_engine, requests);
        plain = {std::min(plain.wall, p.wall), std::min(plain.child_cpu, p.child_cpu)};
        engine = {std::min(engine.wall, e.wall), std::min(engine.child_cpu, e.child_cpu)};
    }
    auto per = [&](double s) { return s * 1e6 / static_cast<double>(requests); };
    printf("requests      %ld, best of 5 rounds each\n", requests);
    printf("plain loop    %9.0f requests/s  wall %.3f us  child cpu %.3f us per request\n",
           static_cast<double>(requests) / plain.wall, per(plain.wall), per(plain.child_cpu));
    printf("engine        %9.0f requests/s  wall %.3f us  child cpu %.3f us per request\n",
           static_cast<double>(requests) / engine.wall, per(engine.wall), per(engine.child_cpu));
    printf("engine/plain  wall %.3f  child cpu %.3f\n", engine.wall / plain.wall,
           engine.child_cpu / plain.child_cpu);
    return 0;
}
