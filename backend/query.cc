#include "backend/backend.h"
#include "support/log.h"

#include <bit>
#include <cstdio>
#include <cstring>
#include <malloc.h>

int backend_slot(service_kind svc) {
    if (!std::has_single_bit(svc) || svc > SVC_MAILADDRMAP)
        return -1;
    return std::countr_zero(svc);
}

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
    static char labels[BACKEND_SLOTS][48];
    if (labels[slot][0] == '\0')
        snprintf(labels[slot], sizeof labels[slot], "running %s", backend_slot_key(slot));
    return labels[slot];
}

} // namespace

PGresult *backend_run(backend *b, int slot, const char *key, const char *prefix) {
    const char *what = run_label(slot);
    const char *values[1] = {key};
    int nparams = query_specs[slot].parameters;
    // A service's reply is at most one value; its rows are read one at a
    // time and no more of them kept than the reply is made of. The fetch
    // statement's list is read whole.
    service_kind svc = slot == BACKEND_FETCH_SLOT ? 0 : 1u << slot;
    const exec_limit limit{svc == SVC_ALIAS || svc == SVC_MAILADDRMAP, PROTO_VALUE_SIZE};
    const exec_limit *rows = svc != 0 ? &limit : nullptr;

    for (int attempt = 0;; attempt++) {
        pg_result_ptr res;
        bool ran = true;
        if (b->statements[slot] != nullptr) {
            const char *name = b->statements[slot];
            res.reset(b->unprepared ? exec_params(b->conn, name, nparams, values, what, rows)
                                    : exec_prepared(b->conn, name, nparams, values, what, rows));
        } else if (b->retry.prepare_on_use && b->conn != nullptr &&
                   dict_has(&b->config, backend_slot_key(slot)) != 0) {
            // A statement prepared on first use may find the connection
            // gone, which heals like a lost connection under a prepared
            // statement; a request out of time has closed b.
            ran = backend_prepare_run(b, slot, values, rows, what, &res);
            if (!ran && (exec_expired() || !exec_lost(b->conn)))
                return nullptr;
        } else {
            return nullptr;
        }
        if (ran) {
            if (exec_cut()) {
                // The rest of the result is unread, and libpq's buffer has
                // grown to the largest row: both go with the connection.
                backend_close(b);
                malloc_trim(0);
            }
            if (PQresultStatus(res.get()) == PGRES_TUPLES_OK ||
                PQresultStatus(res.get()) == PGRES_SINGLE_TUPLE)
                return res.release();
            if (exec_expired()) {
                // Whatever the server is doing, the request is over; the
                // next one starts on a new connection.
                backend_give_up(b);
                return nullptr;
            }
            if (!backend_connection_lost(b->conn, res.get())) {
                warn_msg("warn: PQexecPrepared: %s",
                         res && PQresultStatus(res.get()) == PGRES_FATAL_ERROR
                             ? PQresultErrorMessage(res.get())
                             : PQerrorMessage(b->conn));
                return nullptr;
            }
        }
        warn_msg("warn: %strying to reconnect after error: %s", prefix, PQerrorMessage(b->conn));
        res.reset();
        // The reconnect renames every statement (or leaves it to its first
        // use); the loop reads the slot again.
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
    int slot = backend_slot(static_cast<service_kind>(svc));
    if (slot < 0)
        return nullptr;
    return backend_run(current_backend, slot, key, "korvane: ");
}
