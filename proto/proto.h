// Table protocol engine: the whole conversation with the host on stdin/stdout.
//
// proto_run answers the "config|" handshake with the register block, then
// reads one "table|" request per line, cuts it in place, calls the handler
// registered for its type and writes one reply line, flushed at once. Every
// protocol violation, missing handler, unknown action or I/O failure ends the
// process with status 1 and one "prog: message" line on stderr (err/errx).
// A service that korvane does not serve is no violation: it answers error.
// Lines are read from descriptor 0 into a buffer of a fixed size; a request
// line longer than 64 KiB is read to its end in pieces and answers error
// for its id (check, lookup, fetch), with one warning naming its length.
// Nothing is allocated per request.
#pragma once

#include "proto/services.h"
#include "support/dict.h"

#include <cstdint>
#include <string>

inline constexpr uint64_t PROTO_VALUE_SIZE = 2048;

// Handler results: 1 found (update: done), 0 not found, anything else error
// (for update only -1 is an error). Lookup and fetch write the value into the
// buffer as NUL-terminated text before they return 1. The params dictionary
// is always empty. The key is valid only during the call.
using update_handler = int32_t (*)();
using check_handler = int32_t (*)(service_kind svc, dict *params, const char *key);
using lookup_handler = int32_t (*)(service_kind svc, dict *params, const char *key, char *buf,
                                   uint64_t size);
using fetch_handler = int32_t (*)(service_kind svc, dict *params, char *buf, uint64_t size);

// While it waits for the host's next line the engine can also watch one
// descriptor of the handlers': watch returns it (-1 for none) and sets
// *events to what to wait for (POLLIN unless it says otherwise) and
// *timeout_ms to the most it may wait (-1: no limit). on_idle(true) runs
// when the descriptor is ready or the time has passed, and watch is asked
// again; on_idle(false) runs when only the host's line woke the wait, so
// that the request it serves knows the descriptor was quiet just now.
// Lines already read into stdin's buffer are served first, without
// waiting. With nothing to watch and nothing due the engine waits in a
// plain read, which a signal (SIGUSR1, installed without SA_RESTART)
// interrupts.
using idle_watch = int (*)(int *timeout_ms, short *events);
using idle_handler = void (*)(bool ready);
void proto_set_idle_handler(idle_watch watch, idle_handler on_idle);

// Register before proto_run; null empties the slot again.
void proto_set_update_handler(update_handler h);
void proto_set_check_handler(check_handler h);
void proto_set_lookup_handler(lookup_handler h);
void proto_set_fetch_handler(fetch_handler h);

// Table name of the request being served, cut to 127 bytes; "" before any.
const char *proto_table_name();

// Maps a protocol service name (exact, case-sensitive) to its kind; 0 for a
// name korvane does not serve. A request for such a service answers error,
// with one warning per name.
service_kind service_from_name(const char *name);
// Protocol name of a single-bit service kind, or null for any other value.
const char *service_to_name(service_kind svc);
// Slot of a single-bit service kind (0..8), or -1 for any other value.
int service_slot(service_kind svc);
// The handshake's answer: a register line per service, then ready.
const std::string &proto_register_block();

// Serves the host until stdin ends, then returns 0. Returns in no other way.
int proto_run();
