// The execution layer: every connection korvane makes and every command it
// sends, over asynchronous libpq, under the deadline of the request it is
// given. It knows nothing of korvane's records: a request is a value
// (exec_request) its caller passes to every call, and what became of it
// (out of time, a result cut short) is written there.
//
// Results: a libpq result or connection (null on failure), or a bool (true:
// done). When a request runs out of time a call returns null or false after
// one warning for the request (r.expired is then set); the caller gives the
// connection up, never waiting on a cancel. Connections are switched to
// non-blocking mode, so that neither sending nor closing can wait on a server
// that has stopped reading. Every connection's notices go through the log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <libpq-fe.h>
#include <memory>
#include <string>

struct pg_result_deleter {
    void operator()(PGresult *r) const noexcept { PQclear(r); }
};
using pg_result_ptr = std::unique_ptr<PGresult, pg_result_deleter>;

// Every connection is closed through exec_finish.
void exec_finish(PGconn *conn);
struct pg_conn_deleter {
    void operator()(PGconn *c) const noexcept { exec_finish(c); }
};
using pg_conn_ptr = std::unique_ptr<PGconn, pg_conn_deleter>;

// One request's deadline and what became of it. Zero-filled: no deadline,
// nothing happened yet.
struct exec_request {
    int32_t timeout_ms; // 0: no deadline
    int64_t deadline;   // exec_now_ms() by which it must end
    bool expired;       // it ran out of time (said in one warning)
    bool cut;           // the last limited result was not read to its end
};

// How much of a result a reply can use: with a limit, rows are read one
// at a time and only those kept that the reply is made of (the first, or
// for a joined reply the rows until the join of their first column
// reaches reply_size bytes); the rest are read and dropped, or, past a
// bound, left unread with r.cut set, for the caller to give the
// connection up.
struct exec_limit {
    bool join;
    uint64_t reply_size;
};

// One command of a pipeline: what it sends, with the fields its kind uses.
struct exec_step {
    enum kind_t { PREPARE, DESCRIBE, PREPARED, PARAMS, SYNC } kind;
    const char *name; // the statement of PREPARE, DESCRIBE, PREPARED
    const char *sql;  // PREPARE and PARAMS
    int32_t nparams;
    const char *const *values; // PREPARED and PARAMS
    const char *what;          // the step a timeout names
    const exec_limit *limit;   // PREPARED and PARAMS: rows read one at a time
};

// === in exec.cc ===
// Milliseconds of a clock that only moves forward.
int64_t exec_now_ms();
// A request whose deadline is ms from now, none when ms is 0.
exec_request exec_begin(int32_t ms);
// Marks r out of time, once, with the warning that names what it waited for.
void exec_expire(exec_request &r, const char *what);
// Sends a new connection's notices (and libpq's) through the log from its
// first message; a FATAL one, or one of class 57P or 08, marks it as
// ending. conn itself, or null.
PGconn *exec_watch(PGconn *conn);
// True when conn is gone or a FATAL notice said it is ending: libpq may
// have read the notice and not yet the end of the stream.
bool exec_lost(const PGconn *conn);
// Prepare, describe and execute, each waiting for its one result; `what`
// names the step in the timeout warning. Null when the command could not be
// sent, the connection broke or the deadline passed.
[[nodiscard]] PGresult *exec_prepare(PGconn *conn, const char *name, const char *sql,
                                     int32_t nparams, const char *what, exec_request &r);
[[nodiscard]] PGresult *exec_describe(PGconn *conn, const char *name, const char *what,
                                      exec_request &r);
[[nodiscard]] PGresult *exec_prepared(PGconn *conn, const char *name, int32_t nparams,
                                      const char *const *values, const char *what, exec_request &r,
                                      const exec_limit *limit = nullptr);
// A statement given as text with its parameters, in one round trip,
// nothing named on the server.
[[nodiscard]] PGresult *exec_params(PGconn *conn, const char *sql, int32_t nparams,
                                    const char *const *values, const char *what, exec_request &r,
                                    const exec_limit *limit = nullptr);
// A plain SQL command without parameters.
[[nodiscard]] PGresult *exec_command(PGconn *conn, const char *sql, const char *what,
                                     exec_request &r);
// Sends every step in one pipeline, one round trip, and reads each step's
// result into results[i] (nothing for a SYNC). An error aborts the steps
// up to the next SYNC, whose results then say PGRES_PIPELINE_ABORTED.
// True when every result was read and the connection is out of pipeline
// mode; false when sending failed, the connection broke, the deadline
// passed or a limited result was cut: results hold what was read, and the
// caller gives the connection up.
bool exec_pipeline(PGconn *conn, const exec_step *steps, size_t n, pg_result_ptr *results,
                   exec_request &r);
// Waits for conn's socket to be ready for events, by r's deadline or
// exec_now_ms() `until` (0: none), whichever comes first. False when time
// ran out.
bool exec_wait(PGconn *conn, short events, const char *what, int64_t until, exec_request &r);
// One more connection that every wait of a request moves on, so that its
// round trips overlap the request's own: watch gives its descriptor (-1:
// none) and the events it waits for; step runs when they arrive. Neither
// may wait or touch the connection being waited on. One at a time; a new
// one replaces the last, and clearing with another arg leaves it.
void exec_set_side(int (*watch)(void *arg, short *events), void (*step)(void *arg), void *arg);
void exec_clear_side(const void *arg);

// === in hosts.cc ===
// Connects under r's deadline (with libpq's blocking connect when there is
// none). With several hosts, or a host name to resolve, each host gets its
// own attempt: connect_timeout when set, else an equal share of the time
// left, within which at most its first four addresses are tried together;
// a host that fails or runs out of its time is skipped, and the next
// connect starts with the host that worked last. Every connection names to
// libpq the table's name as fallback_application_name and, unless a service
// is named, the user and password file libpq would find itself. The
// connection, to be checked with PQstatus, or null.
[[nodiscard]] PGconn *exec_connect(const char *conninfo, exec_request &r);
// Why the last exec_connect failed (conn: what it returned): libpq's
// message, or every host's failure when it went host by host; "" for a
// null connection that no attempt explains (out of memory).
const char *exec_connect_error(const PGconn *conn);
// The home directory libpq reads its files from (HOME, else the password
// database's), and the password file it reads for conninfo (its passfile,
// else PGPASSFILE, else ~/.pgpass); "" when there is none. Found once, as
// libpq finds them, before any sandbox.
std::string exec_home();
std::string exec_passfile(const char *conninfo);
// A connection of its own, not beside the statements': the attempt-th
// host of its conninfo (counted round the hosts, so that each attempt
// after a failure tries the next), a host name resolved by exec_now_ms()
// resolve_until (0: not now).
struct exec_target {
    uint32_t attempt;
    int64_t resolve_until;
};
// Starts, without waiting, a connection with conninfo's settings and its
// application_name (or fallback, or the table's name) with suffix
// appended; driven by exec_connect_step. Without own: no
// target_session_attrs, and null when conninfo names several hosts or a
// host name to resolve (libpq would resolve it without a bound), such a
// connection being started beside the statements' instead. With own: as
// exec_target says, its target_session_attrs kept; null with the reason in
// exec_connect_error, or with none when a name is not to be resolved now.
// Null without memory.
[[nodiscard]] PGconn *exec_connect_start(const char *conninfo, const char *suffix,
                                         const exec_target *own = nullptr);
// Starts, without waiting, a second connection to the server conn is
// connected to (the same address, so no name is resolved), with conn's
// settings and its application_name with suffix appended. Driven by
// exec_connect_step; null without memory.
[[nodiscard]] PGconn *exec_connect_beside(PGconn *conn, const char *suffix);
// Advances such a connect by one step if its socket is ready for what
// `state` (the last step's answer; PGRES_POLLING_WRITING at first) waits
// for, never waiting itself. The next state: OK, FAILED, or the event
// READING or WRITING to wait for.
PostgresPollingStatusType exec_connect_step(PGconn *conn, PostgresPollingStatusType state);
