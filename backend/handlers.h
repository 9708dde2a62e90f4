// The request handlers that serve the protocol engine from current_backend
// (check, lookup, update; fetch is fetch.h's), the one place a request
// begins, the engine's idle handlers, and what a record says of korvane's
// own outputs. Each handler reads current_backend once and works on that
// record.
#pragma once

#include "proto/services.h"
#include "support/dict.h"

#include <cstdint>

struct backend;

// The one place a request begins, for every entry and handler: b's
// request gets its deadline, and what the last request left (an outage it
// found, what the host's wake-up saw) is cleared.
void backend_begin_request(backend *b);
// Loads and connects a new record from config_path and puts it in service;
// the old one serves on untouched when that fails, and every problem the
// checker finds in the file is logged. 1 or -1.
int32_t backend_update();
// 1 when the service's query returns a row for key, 0 when none, -1 on error.
int32_t backend_check(service_kind svc, dict *params, const char *key);
// Writes the service's reply value for key into buf. 1 found, 0 not found,
// -1 on error (buf may hold a partial value then).
int32_t backend_lookup(service_kind svc, dict *params, const char *key, char *buf, uint64_t size);
// The engine's idle handlers: the cache's listening connection is read
// while the host is idle; a wake-up that found it quiet spares the request
// it woke for another look.
int backend_idle_fd(int *timeout_ms, short *events);
void backend_idle(bool ready);
// Sets korvane's own outputs as b says: the repeat window of the log, and
// where and how often the metrics file is written; at start-up and after
// every update.
void backend_set_outputs(backend *b);
