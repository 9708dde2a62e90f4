// The statements' connection: making it and preparing the configured
// statements on it (connect.cc), running a statement with one reconnect
// and retry after a lost connection (query.cc), and what follows a
// failure: the quiet time, statements prepared when first used, and
// whether the request in progress found no database. It owns the record's
// conn, statements and retry; every call runs under the record's request.
//
// Results: the Parts' functions as they are (rows or null, 1 or 0); the
// rest true when done, false after a warning.
#pragma once

#include "backend/exec.h"

#include <cstdint>
#include <libpq-fe.h>

struct backend;

// What the statements' server is, as far as it has said: a primary, or a
// standby whose answers may lag behind the primary's commits.
enum server_role { SERVER_UNKNOWN, SERVER_PRIMARY, SERVER_STANDBY };

// The replay position of an answer that came from a primary: current.
inline constexpr uint64_t REPLAY_CURRENT = UINT64_MAX;

struct retry_state {
    int64_t reconnect_at;         // exec_now_ms() before which no attempt is made
    bool delay_logged;            // the quiet time in force has been logged
    bool prepare_on_use;          // reconnects prepare each statement when first run
    bool unavailable;             // the request in progress found no database
    uint32_t unconfigured_warned; // slots whose missing statement has been logged
    server_role role;             // of the connection in service, from its answers
};

// === in connect.cc ===
// Number of the next statement name, shared by every record; wraps at 2^32.
extern uint32_t stmt_counter;
// Within the quiet time after a failure, no attempt: the database was
// just found unable to answer, and every attempt could cost a deadline.
// True while it lasts, with b closed and the quiet time logged once.
bool connect_in_quiet_time(backend *b);
// Opens b's connection from its conninfo (b closed before); false after
// a warning.
bool connect_open(backend *b);
// Prepares every configured statement in one round trip, unless a
// reconnect under a deadline leaves each to its first use; then the quiet
// time ends. False after a warning.
bool connect_prepare(backend *b);
// After a failed attempt: counted, b given up; 0, the connect's result.
int32_t connect_failed(backend *b);
// Finishes the connection and frees every statement name.
void connect_release(backend *b);
// Gives b's connection up after a failed attempt or a timed-out request:
// the request found no database, the connection is closed and the quiet
// time, if any, starts.
void connect_give_up(backend *b);
// True when the slot's statement is configured; otherwise false after a
// warning, once per slot for the life of b, naming the key to set.
bool connect_configured(backend *b, int slot);
// True when b's statements may read a standby behind the primary: the
// server says it is in hot standby, or says nothing of it (a pooler
// between) and has not shown itself a primary yet. False without a
// connection.
bool connect_may_lag(const backend *b);
// A request begins: it has found no outage yet.
void connect_begin_request(backend *b);
// True when the request in progress found no database: the connection
// failed, was given up or lies in its quiet time.
bool connect_unavailable(const backend *b);
// Runs the slot's statement that a reconnect left to its first use: its
// Parse, Describe and execution in one round trip. True when it was
// prepared, with the execution's result in *res (as exec_prepared gives
// it); false after a warning when preparing failed, a request out of
// time having given b up.
bool connect_prepare_run(backend *b, int slot, const char *const *values, const exec_limit *rows,
                         const char *what, pg_result_ptr *res);

// === in query.cc ===
// True when a failed execution means the connection was lost: the
// connection is no longer usable, or the SQLSTATE is absent (no result)
// or of class 08.
bool backend_connection_lost(const PGconn *conn, const PGresult *res);
// The one way a statement is run: the one in b's slot, with key as its
// text parameter (none for the fetch slot), reconnecting and retrying once
// after a lost connection; `prefix` starts the reconnect warning. A
// request that runs out of time gives its connection up. Rows (at most
// the rows the reply is made of, status PGRES_TUPLES_OK or
// PGRES_SINGLE_TUPLE) or null, logged. Read b's connection anew after.
// With replayed, where the server may lag behind the primary the position
// it had replayed comes in the same round trip, one value more, into
// *replayed (REPLAY_CURRENT from a primary; 0 when unknown); nothing more
// is asked of a primary.
[[nodiscard]] PGresult *backend_run(backend *b, int slot, const char *key, const char *prefix,
                                    uint64_t *replayed = nullptr);
// backend_run of the service's statement on current_backend, for
// callers that hold no record.
[[nodiscard]] PGresult *backend_query(const char *key, int32_t svc);
