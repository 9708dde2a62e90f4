// korvane-query: answers one request with the backend code that serves the
// host, for mail admins checking a configuration or a table by hand.
//
//   korvane-query [-v] CONFIG check SERVICE KEY
//   korvane-query [-v] CONFIG lookup SERVICE KEY
//   korvane-query [-v] CONFIG fetch [COUNT]
//   korvane-query [-v] --check [--strict] CONFIG
//
// Exit status: 0 found (or --check clean), 1 not found (or --check found a
// problem), 2 error. Diagnostics go to stderr as korvane writes them; the
// findings of --check go to stdout, one per line.
#include "backend/backend.h"
#include "backend/handlers.h"
#include "backend/lint.h"
#include "proto/proto.h"
#include "support/compat.h"
#include "support/log.h"
#include "support/util.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <string>
#include <string_view>
#include <unistd.h>

namespace {

constexpr int EXIT_FOUND = 0;
constexpr int EXIT_NOT_FOUND = 1;
constexpr int EXIT_ERROR = 2;

void print_usage(FILE *to) {
    fprintf(to,
            "usage: %s [-v] CONFIG check|lookup SERVICE KEY | [-v] CONFIG fetch [COUNT] | "
            "--check [--strict] CONFIG | --help | --version\n",
            getprogname());
}

[[noreturn]] void usage() {
    print_usage(stderr);
    exit(EXIT_ERROR);
}

// Unlike the engine's mapping, an unknown name is a usage error here.
service_kind service_named(const char *name) {
    if (service_kind svc = service_from_name(name); svc != 0)
        return svc;
    std::string names;
    for (int slot = 0; slot < SERVICE_COUNT; slot++)
        names += std::string(slot == 0                   ? ""
                             : slot == SERVICE_COUNT - 1 ? " and "
                                                         : ", ") +
                 query_specs[slot].name.data();
    fprintf(stderr, "%s: unknown service %s; the services are %s\n", getprogname(), name,
            names.c_str());
    exit(EXIT_ERROR);
}

// The same words and exit statuses for the same outcomes, whatever the
// request: a found lookup prints its value, a found check "found".
// A database value on a terminal is shown escaped: it could hold
// terminal controls. Into a pipe it goes as the host would get it.
void print_value(const char *value) {
    static char shown[4 * PROTO_VALUE_SIZE];
    if (isatty(STDOUT_FILENO) == 1) {
        (void)escape_text(value, strlen(value), shown, sizeof shown);
        value = shown;
    }
    puts(value);
}

int answer(int32_t r, const char *value) {
    print_value(r == 1 ? value : r == 0 ? "not-found" : "error");
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
    backend_begin_request(current_backend);
    if (backend_connect(current_backend) == 0) {
        warn_msg("fatal: could not connect");
        exit(EXIT_ERROR);
    }
}

int fetch(const char *path, const char *count_text) {
    long count = 1;
    if (count_text != nullptr) {
        const char *error = nullptr;
        count = strtonum(count_text, 1, 1000000, &error);
        if (error != nullptr) {
            fprintf(stderr, "%s: COUNT is %s\n", getprogname(), error);
            return EXIT_ERROR;
        }
    }
    open_backend(path);
    static char value[PROTO_VALUE_SIZE];
    for (long i = 0; i < count; i++) {
        int32_t r = backend_fetch(SVC_SOURCE, nullptr, value, sizeof value);
        if (r != 1)
            return answer(r, value);
        print_value(value);
    }
    return EXIT_FOUND;
}

// Reads the options, which may come anywhere before "--", as with other
// tools. An exit status when an option answers by itself (help, version),
// else -1 with *check set for --check and *strict for --strict (warnings
// fail too).
int parse_options(int argc, char *argv[], bool *check, bool *strict) {
    constexpr option long_options[] = {{"check", no_argument, nullptr, 'c'},
                                       {"strict", no_argument, nullptr, 's'},
                                       {"help", no_argument, nullptr, 'h'},
                                       {"version", no_argument, nullptr, 'V'},
                                       {nullptr, 0, nullptr, 0}};
    for (int c; (c = getopt_long(argc, argv, "v", long_options, nullptr)) != -1;) {
        switch (c) {
        case 'v':
            log_set_verbosity(-1);
            break;
        case 'c':
            *check = true;
            break;
        case 's':
            *strict = true;
            break;
        case 'h':
            print_usage(stdout);
            return EXIT_FOUND;
        case 'V':
            printf("%s %s\n", getprogname(), KORVANE_VERSION);
            return EXIT_FOUND;
        default:
            usage();
        }
    }
    return -1;
}

} // namespace

int main(int argc, char *argv[]) {
    // Before anything opens a descriptor; and a host that closes our output
    // ends us with the engine's own error line, not a silent signal death.
    sane_descriptors();
    signal(SIGPIPE, SIG_IGN);
    log_setup(1);
    bool check = false, strict = false;
    if (int done = parse_options(argc, argv, &check, &strict); done >= 0)
        return done;
    int n = argc - optind;
    char **args = argv + optind;
    if (check)
        return n == 1 ? lint_file(args[0], true, stdout, strict) : (usage(), EXIT_ERROR);
    if (strict)
        usage();
    if (n < 2)
        usage();
    std::string_view action = args[1];
    if (action == "fetch" && n <= 3)
        return fetch(args[0], n == 3 ? args[2] : nullptr);
    if (n != 4 || (action != "check" && action != "lookup"))
        usage();
    service_kind svc = service_named(args[2]);
    open_backend(args[0]);
    static char value[PROTO_VALUE_SIZE];
    dict params{};
    if (action == "check")
        return answer(backend_check(svc, &params, args[3]), "found");
    return answer(backend_lookup(svc, &params, args[3], value, sizeof value), value);
}
