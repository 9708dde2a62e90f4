// korvane-query: answers one request with the backend code that serves the
// host, for mail admins checking a configuration or a table by hand.
//
//   korvane-query [-v] CONFIG check SERVICE KEY
//   korvane-query [-v] CONFIG lookup SERVICE KEY
//   korvane-query [-v] CONFIG fetch [COUNT]
//   korvane-query [-v] --check CONFIG
//
// Exit status: 0 found (or --check clean), 1 not found (or --check found a
// problem), 2 error. Diagnostics go to stderr as korvane writes them; the
// findings of --check go to stdout, one per line.
#include "backend/backend.h"
#include "proto/proto.h"
#include "proto/query_check.h"
#include "support/compat.h"
#include "support/log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

constexpr int EXIT_FOUND = 0;
constexpr int EXIT_NOT_FOUND = 1;
constexpr int EXIT_ERROR = 2;

[[noreturn]] void usage() {
    fprintf(stderr,
            "usage: %s [-v] CONFIG check|lookup SERVICE KEY\n"
            "       %s [-v] CONFIG fetch [COUNT]\n"
            "       %s [-v] --check CONFIG\n",
            getprogname(), getprogname(), getprogname());
    exit(EXIT_ERROR);
}

// Unlike the engine's mapping, an unknown name is a usage error here.
service_kind service_named(const char *name) {
    if (service_kind svc = service_from_name(name); svc != 0)
        return svc;
    fprintf(stderr, "%s: unknown service %s\n", getprogname(), name);
    exit(EXIT_ERROR);
}

int exit_for(int32_t r) {
    return r == 1 ? EXIT_FOUND : r == 0 ? EXIT_NOT_FOUND : EXIT_ERROR;
}

// Loads and connects the configuration, as start-up does.
void open_backend(const char *path) {
    config_path = path;
    current_backend = backend_load(path);
    if (current_backend == nullptr) {
        warn_msg("fatal: error parsing config file");
        exit(EXIT_ERROR);
    }
    exec_begin(current_backend->request_timeout_ms);
    if (backend_connect(current_backend) == 0) {
        warn_msg("fatal: could not connect");
        exit(EXIT_ERROR);
    }
}

} // namespace

int main(int argc, char *argv[]) {
    log_setup(1);
    int arg = 1;
    if (arg < argc && strcmp(argv[arg], "-v") == 0) {
        log_set_verbosity(-1);
        arg++;
    }
    if (argc - arg == 2 && strcmp(argv[arg], "--check") == 0)
        return query_check_config(argv[arg + 1]);
    if (argc - arg < 2)
        usage();

    const char *path = argv[arg];
    std::string_view action = argv[arg + 1];
    static char value[PROTO_VALUE_SIZE];

    if (action == "fetch") {
        if (argc - arg > 3)
            usage();
        long count = 1;
        if (argc - arg == 3) {
            const char *error = nullptr;
            count = strtonum(argv[arg + 2], 1, 1000000, &error);
            if (error != nullptr) {
                fprintf(stderr, "%s: COUNT is %s\n", getprogname(), error);
                return EXIT_ERROR;
            }
        }
        open_backend(path);
        for (long i = 0; i < count; i++) {
            int32_t r = backend_fetch(SVC_SOURCE, nullptr, value, sizeof value);
            if (r != 1)
                return exit_for(r);
            puts(value);
        }
        return EXIT_FOUND;
    }

    if (argc - arg != 4 || (action != "check" && action != "lookup"))
        usage();
    service_kind svc = service_named(argv[arg + 2]);
    const char *key = argv[arg + 3];
    open_backend(path);
    dict params{};
    if (action == "check") {
        int32_t r = backend_check(svc, &params, key);
        puts(r == 1 ? "found" : r == 0 ? "not-found" : "error");
        return exit_for(r);
    }
    int32_t r = backend_lookup(svc, &params, key, value, sizeof value);
    if (r == 1)
        puts(value);
    return exit_for(r);
}
