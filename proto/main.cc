// korvane: a lookup-table backend for a mail server. The host starts it with
// the configuration file as its only argument and talks to it over the table
// protocol on stdin/stdout; everything that can fail at start-up ends the
// process before the host's first line is read.
#include "backend/backend.h"
#include "backend/grants.h"
#include "backend/handlers.h"
#include "proto/proto.h"
#include "support/log.h"
#include "support/stats.h"
#include "support/util.h"

#include <csignal>
#include <cstdlib>
#include <unistd.h>

namespace {

// SIGUSR1 asks for a record of the totals. The handler only marks it; the
// wait for the host, a poll or a plain read, wakes and writes it. Without
// SA_RESTART, so that the plain read wakes too: every call korvane and its
// libraries make retries one that a signal interrupted.
void listen_for_usr1() {
    struct sigaction usr1 {};
    usr1.sa_handler = stats_signal;
    usr1.sa_flags = 0;
    sigemptyset(&usr1.sa_mask);
    sigaction(SIGUSR1, &usr1, nullptr);
}

} // namespace

int main(int argc, char *argv[]) {
    // Before anything opens a descriptor; and a host that closes our output
    // ends us with the engine's own error line, not a silent signal death.
    sane_descriptors();
    signal(SIGPIPE, SIG_IGN);
    log_setup(1);
    log_set_verbosity(-1);

    // "+": options end at the first operand, as on BSD; glibc would permute.
    if (getopt(argc, argv, "+") != -1)
        die_msg("bad option");
    argc -= optind;
    argv += optind;
    if (argc != 1)
        die_msg("bogus argument(s)");
    config_path = argv[0];

    current_backend = backend_load(config_path);
    if (current_backend == nullptr)
        die_msg("error parsing config file");
    backend_set_outputs(current_backend);
    listen_for_usr1();
    // A silent database ends start-up within the deadline, before the
    // handshake, rather than holding the host.
    backend_begin_request(current_backend);
    if (backend_connect(current_backend) == 0)
        die_msg("could not connect");

    // Confined only now: start-up had to read and connect freely.
    grants_enter(current_backend, config_path);
    proto_set_update_handler(backend_update);
    proto_set_check_handler(backend_check);
    proto_set_lookup_handler(backend_lookup);
    proto_set_fetch_handler(backend_fetch);
    proto_set_idle_handler(backend_idle_fd, backend_idle);
    proto_run();
    exit(0);
}
