// Running a statement, with one reconnect and retry; see connect.h.
#include "backend/backend.h"
#include "proto/proto.h"
#include "support/log.h"
#include "support/stats.h"

#include <cstdio>
#include <cstring>
#include <malloc.h>

bool backend_connection_lost(const PGconn *conn, const PGresult *res) {
    // A server that ends the session (administrator command, shutdown) says
    // so with an SQLSTATE of class 57 before it closes; the connection is as
    // lost as with class 08, and only a reconnect heals it.
    if (exec_lost(conn))
        return true;
    const char *state = res != nullptr ? PQresultErrorField(res, PG_DIAG_SQLSTATE) : nullptr;
    return state == nullptr || strncmp(state, "08", 2) == 0;
}

namespace {

// "running KEY" for a slot, the step a timeout names; made once per slot
// rather than on every request.
const char *run_label(int slot) {
    static char labels[STATEMENT_SLOTS][48];
    if (labels[slot][0] == '\0')
        snprintf(labels[slot], sizeof labels[slot], "running %s", query_specs[slot].config_key);
    return labels[slot];
}

// What one run of a statement gave: rows, a failure that ends the
// request (logged), or a lost connection that a reconnect may heal.
enum run_outcome { RUN_ROWS, RUN_FAILED, RUN_LOST };

// One statement as backend_run runs it: its slot, the key as its
// parameter, the step a timeout names and the rows a reply can use.
struct run_args {
    int slot;
    const char *values[1];
    int32_t nparams;
    const char *what;
    const exec_limit *rows;
    uint64_t *replayed; // where the standby's replay position goes; null: not asked
};

// What a statement's result means; a result cut short or a request out of
// time gives the connection up.
run_outcome outcome_of(backend *b, const PGresult *res) {
    if (b->request.cut) {
        // The rest of the result is unread, and libpq's buffer has grown
        // to the largest row: both go with the connection.
        backend_close(b);
        malloc_trim(0);
    }
    if (PQresultStatus(res) == PGRES_TUPLES_OK || PQresultStatus(res) == PGRES_SINGLE_TUPLE)
        return RUN_ROWS;
    if (b->request.expired) {
        // Whatever the server is doing, the request is over; the next
        // one starts on a new connection.
        connect_give_up(b);
        return RUN_FAILED;
    }
    if (backend_connection_lost(b->conn, res))
        return RUN_LOST;
    warn_msg("warn: PQexecPrepared: %s", res != nullptr && PQresultStatus(res) == PGRES_FATAL_ERROR
                                             ? PQresultErrorMessage(res)
                                             : PQerrorMessage(b->conn));
    return RUN_FAILED;
}

// The configuration's text of a slot's statement; null when it has none.
const char *sql_of(backend *b, int slot) {
    return static_cast<const char *>(dict_find(&b->config, query_specs[slot].config_key));
}

// The position a standby had replayed before the statement ran (null on
// a primary), asked first in the statement's own round trip, so that the
// statement's snapshot holds at least what it names.
constexpr char REPLAY_SQL[] =
    "SELECT CASE WHEN pg_is_in_recovery() THEN pg_last_wal_replay_lsn() END";

// The replay position a result of REPLAY_SQL gives: REPLAY_CURRENT for a
// primary (which b then knows it is), 0 when it says nothing readable.
uint64_t replayed_from(backend *b, const PGresult *res) {
    if (PQresultStatus(res) != PGRES_TUPLES_OK || PQntuples(res) != 1)
        return 0;
    if (PQgetisnull(res, 0, 0) != 0) {
        b->retry.role = SERVER_PRIMARY;
        return REPLAY_CURRENT;
    }
    unsigned hi = 0, lo = 0;
    if (sscanf(PQgetvalue(res, 0, 0), "%X/%X", &hi, &lo) != 2)
        return 0;
    b->retry.role = SERVER_STANDBY;
    return (uint64_t{hi} << 32) | lo;
}

// The statement as one pipeline after the replay position: its result in
// *res, or the first failure when the position's step failed.
void run_after_replay(backend *b, const run_args &a, const char *name, pg_result_ptr *res) {
    const exec_step steps[] = {
        {exec_step::PARAMS, nullptr, REPLAY_SQL, 0, nullptr, a.what, nullptr},
        b->settings.unprepared
            ? exec_step{exec_step::PARAMS, nullptr, sql_of(b, a.slot), a.nparams, a.values, a.what,
                        a.rows}
            : exec_step{exec_step::PREPARED, name, nullptr, a.nparams, a.values, a.what, a.rows},
        {exec_step::SYNC, nullptr, nullptr, 0, nullptr, a.what, nullptr}};
    pg_result_ptr results[3];
    (void)exec_pipeline(b->conn, steps, 3, results, b->request);
    *a.replayed = replayed_from(b, results[0].get());
    bool position = PQresultStatus(results[0].get()) == PGRES_TUPLES_OK;
    res->reset((position ? results[1] : results[0]).release());
}

// Runs the statement once: as prepared, as text with prepared statements
// off, or prepared on its first use after a reconnect under a deadline.
// Where its answer is to be kept from a server that may lag behind the
// primary, the replay position comes with it (0 when it cannot: kept
// nowhere).
run_outcome run_once(backend *b, const run_args &a, pg_result_ptr *res) {
    stats_count(STATS_STATEMENTS);
    bool lags = a.replayed != nullptr && connect_may_lag(b);
    if (a.replayed != nullptr)
        *a.replayed = lags ? 0 : REPLAY_CURRENT;
    if (const char *name = b->statements[a.slot]; name != nullptr) {
        if (lags)
            run_after_replay(b, a, name, res);
        else
            res->reset(b->settings.unprepared ? exec_params(b->conn, sql_of(b, a.slot), a.nparams,
                                                            a.values, a.what, b->request, a.rows)
                                              : exec_prepared(b->conn, name, a.nparams, a.values,
                                                              a.what, b->request, a.rows));
        return outcome_of(b, res->get());
    }
    if (!b->retry.prepare_on_use || b->conn == nullptr || sql_of(b, a.slot) == nullptr)
        return RUN_FAILED;
    // A statement prepared on first use may find the connection gone,
    // which heals like a lost connection under a prepared statement; a
    // request out of time has closed b.
    if (connect_prepare_run(b, a.slot, a.values, a.rows, a.what, res))
        return outcome_of(b, res->get());
    return b->request.expired || !exec_lost(b->conn) ? RUN_FAILED : RUN_LOST;
}

} // namespace

PGresult *backend_run(backend *b, int slot, const char *key, const char *prefix,
                      uint64_t *replayed) {
    // A service's reply is at most one value; its rows are read one at a
    // time and no more of them kept than the reply is made of. The fetch
    // statement's list is read whole.
    const query_spec &row = query_specs[slot];
    const exec_limit limit{row.joined, PROTO_VALUE_SIZE};
    const run_args a{
        slot, {key}, row.parameters, run_label(slot), row.kind != 0 ? &limit : nullptr, replayed};
    for (int attempt = 0;; attempt++) {
        pg_result_ptr res;
        run_outcome r = run_once(b, a, &res);
        if (r == RUN_ROWS)
            return res.release();
        if (r == RUN_FAILED)
            return nullptr;
        warn_msg("warn: %strying to reconnect after error: %s", prefix, PQerrorMessage(b->conn));
        stats_count(STATS_RECONNECTS);
        res.reset();
        // The reconnect renames every statement (or leaves it to its first
        // use); the next run reads the slot again.
        int32_t connected = backend_connect(b);
        if (attempt == 1) {
            b->retry.unavailable = true;
            warn_msg("warn: korvane: too many retries");
            return nullptr;
        }
        if (connected == 0)
            return nullptr;
    }
}

PGresult *backend_query(const char *key, int32_t svc) {
    int slot = service_slot(static_cast<service_kind>(svc));
    if (slot < 0 || current_backend == nullptr)
        return nullptr;
    return backend_run(current_backend, slot, key, "korvane: ");
}
