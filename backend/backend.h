// The backend record: one loaded configuration and everything that serves
// from it, each part owned by its module, and the record's life (load,
// connect, close, free) in backend.cc. A module reads and writes another's
// part only through that module's functions; each header says what its
// module owns.
//
// Results: the Parts' functions keep their int32_t results (1 done or
// found, 0 not, -1 error), every other function a bool (true: done) or a
// pointer (null: failed); a failure is said in one warning before it
// returns.
#pragma once

#include "backend/cache.h"
#include "backend/config.h"
#include "backend/connect.h"
#include "backend/exec.h"
#include "backend/fetch.h"
#include "backend/listen.h"
#include "support/dict.h"

#include <cstdint>
#include <memory>

struct backend {
    dict config;              // key -> heap copy of its value text (config.cc)
    config_settings settings; // what the values say (config.cc)
    exec_request request;     // the request in progress (handlers.cc begins it)
    PGconn *conn;             // null while not connected (connect.cc)
    // Slot n: service 1 << n; FETCH_SLOT: the fetch statement. Each the
    // name the statement is prepared under ("" for the unnamed statement
    // with prepared statements off); null where nothing is prepared. The
    // text is always the configuration's. (connect.cc)
    char *statements[STATEMENT_SLOTS];
    retry_state retry;   // connect.cc
    source_list sources; // fetch.cc
    cache lookups;       // cache.cc
    listener listen;     // listen.cc
};

// The backend in service; null until start-up has loaded one.
extern backend *current_backend;
// Configuration path from the command line; update reloads from it.
extern const char *config_path;

// Reads the configuration file at path into a new, unconnected record
// owned by the caller (release with backend_free): stops at the file's
// first problem with its warning, warns of what it accepts but likely is
// a mistake. Null after a warning.
[[nodiscard]] backend *backend_load(const char *path);
// (Re)connects b from scratch and prepares every configured statement in
// one pipeline, under b's request, and starts the cache's listener beside
// it (a reconnect under a deadline leaves each statement to its first use,
// and the listener to the idle time). 1 when connected; 0 after a warning,
// with b not connected. Within reconnect_delay_ms of a failure it fails at
// once without touching the network, warning once per quiet time.
int32_t backend_connect(backend *b);
// Finishes the connection and the listener and frees every statement
// name; the configuration, the cache and the source list stay.
void backend_close(backend *b);
// Closes b, frees its configuration, cache and source list, and b itself.
void backend_free(backend *b);

struct backend_deleter {
    void operator()(backend *b) const noexcept { backend_free(b); }
};
// Owns a record under construction; empty when it holds none.
using backend_ptr = std::unique_ptr<backend, backend_deleter>;
