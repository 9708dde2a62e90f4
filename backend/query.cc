#include "backend/backend.h"
#include "support/log.h"

#include <bit>
#include <cstring>

int backend_slot(service_kind svc) {
    if (!std::has_single_bit(svc) || svc > SVC_MAILADDRMAP)
        return -1;
    return std::countr_zero(svc);
}

bool backend_connection_lost(const PGconn *conn, const PGresult *res) {
    // A server that ends the session (administrator command, shutdown) says
    // so with an SQLSTATE of class 57 before it closes; the connection is as
    // lost as with class 08, and only a reconnect heals it.
    if (PQstatus(conn) == CONNECTION_BAD)
        return true;
    const char *state = res != nullptr ? PQresultErrorField(res, PG_DIAG_SQLSTATE) : nullptr;
    return state == nullptr || strncmp(state, "08", 2) == 0;
}

namespace {

PGresult *exec_statement(const char *name, const char *key) {
    const char *values[1] = {key};
    return PQexecPrepared(current_backend->conn, name, 1, values, nullptr, nullptr, 0);
}

} // namespace

PGresult *backend_query(const char *key, int32_t svc) {
    int slot = backend_slot(static_cast<service_kind>(svc));
    if (slot < 0)
        return nullptr;

    for (int attempt = 0;; attempt++) {
        const char *name = current_backend->statements[slot];
        if (name == nullptr)
            return nullptr;
        pg_result_ptr res{exec_statement(name, key)};
        if (PQresultStatus(res.get()) == PGRES_TUPLES_OK)
            return res.release();
        if (!backend_connection_lost(current_backend->conn, res.get())) {
            warn_msg("warn: PQexecPrepared: %s", PQerrorMessage(current_backend->conn));
            return nullptr;
        }
        warn_msg("warn: korvane: trying to reconnect after error: %s",
                 PQerrorMessage(current_backend->conn));
        res.reset();
        // The reconnect prepares every statement under a new name; the loop
        // reads the slot again.
        int32_t connected = backend_connect(current_backend);
        if (attempt == 1) {
            warn_msg("warn: korvane: too many retries");
            return nullptr;
        }
        if (connected == 0)
            return nullptr;
    }
}
